// What the module needs to run on an interpreter without the global lock:
// a mutex, a critical section on one object, and lookups that return strong
// references. On interpreters with the lock, the critical section is empty
// and the lookups are the classic calls under that lock.
#pragma once

#include <mutex>

#include "binding/error.hpp"
#include "binding/object.hpp"
#include "binding/panic.hpp"
#include "binding/python.hpp"

namespace zorvane::binding {

// A short mutual exclusion around plain C++ bookkeeping; no Python code may
// run while it is held. On a free-threaded interpreter it is CPython's own
// mutex, which detaches a waiting thread from the interpreter so that a
// stop-the-world pause (the collector's) never waits on it.
#if defined(Py_GIL_DISABLED)
class Mutex {
 public:
  void lock() noexcept { PyMutex_Lock(&mutex_); }
  void unlock() noexcept { PyMutex_Unlock(&mutex_); }

 private:
  PyMutex mutex_{};
};
#else
using Mutex = std::mutex;
#endif

// Holds the per-object lock of `object` for its lifetime on a free-threaded
// interpreter (the lock a list's own methods take); nothing elsewhere. Python
// code run inside may suspend it, as any blocking call does.
class CriticalSection {
 public:
#if defined(Py_GIL_DISABLED)
  explicit CriticalSection(PyObject* object) noexcept { PyCriticalSection_Begin(&section_, object); }
  ~CriticalSection() { PyCriticalSection_End(&section_); }
#else
  explicit CriticalSection(PyObject*) noexcept {}
#endif
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
#if defined(Py_GIL_DISABLED)
  PyCriticalSection section_;
#endif
};

// Marks an object that lives until the process ends (a type made from a
// spec, by this thread, before any other can see it) as immortal, so that
// threads using it at once do not contend on its reference count: each
// instance takes a reference to its type and gives it back. On 3.15 and
// later by the call for it, where it accepts the object (it refuses one
// with more than one reference). Otherwise, on the free-threaded builds
// (3.13 and 3.14 have no such call, and do not make such a type immortal
// themselves, as they do Python classes), by the rule of Py_SET_REFCNT that
// a count beyond 32 bits set by the owning thread makes an object immortal;
// the collector then no longer tracks it, as it does not CPython's own
// immortal objects. Elsewhere one thread runs at a time: the object stays
// counted.
inline void keep_until_exit(PyObject* object) noexcept {
#if PY_VERSION_HEX >= 0x030F0000
  if (PyUnstable_SetImmortal(object) != 0) {
    return;
  }
  // 3.15 refuses an object with more than one reference, as a type made
  // from a spec is: on a free-threaded build, the route of 3.13 and 3.14
#endif
#if defined(Py_GIL_DISABLED)
  if (!_Py_IsOwnedByCurrentThread(object)) {
    return;  // another thread may hold references already: leave it counted
  }
  if (PyObject_IS_GC(object) && PyObject_GC_IsTracked(object)) {
    PyObject_GC_UnTrack(object);
  }
  Py_SET_REFCNT(object, static_cast<Py_ssize_t>(UINT32_MAX) + 1);
#else
  (void)object;
#endif
}

// dict[key] as a strong reference, null when absent, or the error of the
// lookup (making the key can run out of memory).
inline Result<Object> dict_item(PyObject* dict, const char* key) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* found = nullptr;
  if (PyDict_GetItemStringRef(dict, key, &found) < 0) {
    return fetched_error();
  }
  return Object::steal(found);
#else
  // PyDict_GetItemString would swallow a failure to make the key
  Object name = Object::steal(PyUnicode_FromString(key));
  PyObject* found = name ? PyDict_GetItemWithError(dict, name.get()) : nullptr;  // borrowed: under the lock
  if (found == nullptr && PyErr_Occurred() != nullptr) {
    return fetched_error();
  }
  return Object::borrow(found);
#endif
}

// sys.modules[name] as a strong reference, null when the module has not been
// imported, or the error of the lookup.
inline Result<Object> imported_module(const char* name) { return dict_item(PyImport_GetModuleDict(), name); }

// type.__mro__ as a strong reference (None while the type is being made).
// Read through the type's own getter, which holds the type lock on a
// free-threaded interpreter: another thread assigning __bases__ replaces (and
// may free) the tuple in tp_mro. A metaclass cannot redirect it, as it could
// an attribute lookup.
inline Result<Object> method_resolution_order(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
  const Object type_dict = Object::steal(PyType_GetDict(&PyType_Type));  // tp_dict is null on static types
#else
  const Object type_dict = Object::borrow(PyType_Type.tp_dict);
#endif
  Result<Object> getter = dict_item(type_dict.get(), "__mro__");
  if (!getter) {
    return getter;
  }
  descrgetfunc get = *getter ? Py_TYPE(getter->get())->tp_descr_get : nullptr;
  if (get == nullptr) {
    panic("type.__mro__ is not a descriptor");
  }
  Object mro = Object::steal(get(getter->get(), reinterpret_cast<PyObject*>(type),
                                 reinterpret_cast<PyObject*>(Py_TYPE(type))));
  if (!mro) {
    return fetched_error();
  }
  if (mro.get() != Py_None && !PyTuple_Check(mro.get())) {
    panic("type.__mro__ returned no tuple");
  }
  return mro;
}

// PyType_IsSubtype, which reads tp_mro without the type lock: on a
// free-threaded interpreter, a class whose __bases__ can be assigned has its
// MRO read through the locked getter instead. A failure of that read (out of
// memory) answers false, its error cleared: the object is then taken for
// what it is not, and the conversion's next form decides.
inline bool is_subtype(PyTypeObject* type, PyTypeObject* base) {
#if defined(Py_GIL_DISABLED)
  if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && !PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE)) {
    Result<Object> mro = method_resolution_order(type);
    if (!mro) {
      return false;  // the Error's destructor drops the exception
    }
    if (mro->get() == Py_None) {
      return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro->get()); ++i) {
      if (PyTuple_GET_ITEM(mro->get(), i) == reinterpret_cast<PyObject*>(base)) {
        return true;
      }
    }
    return false;
  }
#endif
  return PyType_IsSubtype(type, base) != 0;
}

// dict.setdefault(key, value) as a strong reference to what the dict holds
// afterwards; null with an exception on failure.
inline Object dict_set_default(PyObject* dict, const char* key, PyObject* value) noexcept {
  Object name = Object::steal(PyUnicode_FromString(key));
  if (!name) {
    return {};
  }
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* stored = nullptr;
  if (PyDict_SetDefaultRef(dict, name.get(), value, &stored) < 0) {
    return {};
  }
  return Object::steal(stored);
#else
  return Object::borrow(PyDict_SetDefault(dict, name.get(), value));
#endif
}

}  // namespace zorvane::binding
