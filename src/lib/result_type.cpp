// The EscancianoLobato type: docstrings, getters, deallocation, creation.
#include "lib/result_type.hpp"

#include <atomic>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "binding/entry.hpp"
#include "binding/object.hpp"
#include "binding/once_cell.hpp"
#include "binding/panic.hpp"
#include "binding/threads.hpp"

namespace zorvane::lib {
namespace {

using binding::Error;
using binding::Object;
using binding::Result;

constexpr const char* kClassName = "EscancianoLobato";
constexpr const char* kTextSignature = "(data, /, q=2.4, d=None)";
// Four lines, no final line feed; the backslashes are literal, line 3 ends
// in two spaces.
constexpr const char* kClassDoc =
    "Result of the Escanciano\u2013Lobato heteroscedasticity proxy \\(EL\\) test.\n"
    "\n"
    "Returned by [`statistical_tests.escanciano_lobato`].  \n"
    "The statistic is asymptotically \u03c7\u00b2(1) under the null.";

// The type object refers to this text instead of copying it, so it has
// static storage.
constexpr const char* kSpecName = "builtins.EscancianoLobato";

constexpr std::size_t kExclusiveFlag = std::numeric_limits<std::size_t>::max();

binding::OnceCell<std::string> doc_cell;
binding::OnceCell<PyTypeObject*> type_cell;

// Holds one shared read of a result object for the length of a getter.
class SharedRead {
 public:
  explicit SharedRead(ResultObject* self) : flag_(self->borrow_flag) {
    std::size_t seen = flag_.load(std::memory_order_relaxed);
    do {
      if (seen == kExclusiveFlag) {
        binding::panic("result object is exclusively borrowed");
      }
    } while (!flag_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed));
  }
  ~SharedRead() { flag_.fetch_sub(1, std::memory_order_release); }
  SharedRead(const SharedRead&) = delete;
  SharedRead& operator=(const SharedRead&) = delete;

 private:
  std::atomic<std::size_t>& flag_;
};

template <class Convert>
PyObject* read_property(PyObject* self, Convert convert) noexcept {
  return binding::enter([&]() -> Result<Object> {
    Result<PyTypeObject*> type = escanciano_lobato_type();
    if (!type) {
      return std::unexpected(std::move(type.error()));
    }
    if (Py_TYPE(self) != *type && !PyType_IsSubtype(Py_TYPE(self), *type)) {
      return binding::type_error(std::string("'") + Py_TYPE(self)->tp_name + "' object cannot be converted to '" +
                                 kClassName + "'");
    }
    auto* result = reinterpret_cast<ResultObject*>(self);
    SharedRead read(result);
    Object value = Object::steal(convert(*result));
    if (!value) {
      binding::panic_after_api_failure();
    }
    return value;
  });
}

PyObject* get_p_tilde(PyObject* self, void*) noexcept {
  return read_property(self, [](const ResultObject& r) { return PyLong_FromUnsignedLongLong(r.p_tilde); });
}
PyObject* get_statistic(PyObject* self, void*) noexcept {
  return read_property(self, [](const ResultObject& r) { return PyFloat_FromDouble(r.statistic); });
}
PyObject* get_pvalue(PyObject* self, void*) noexcept {
  return read_property(self, [](const ResultObject& r) { return PyFloat_FromDouble(r.pvalue); });
}

PyGetSetDef properties[] = {
    {"p_tilde", get_p_tilde, nullptr, "The selected lag \\(p\\) that maximizes the penalized statistic.", nullptr},
    {"statistic", get_statistic, nullptr, "The EL test statistic.", nullptr},
    {"pvalue", get_pvalue, nullptr, "The p-value of the EL test.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

void dealloc(PyObject* self) noexcept {
  binding::enter_void(
      [self] {
        PyTypeObject* type = Py_TYPE(self);
        type->tp_free(self);
        // Instances of heap types hold a reference to their type
        // (PyType_GenericAlloc took it); give it back.
        Py_DECREF(type);
      },
      "EscancianoLobato.__dealloc__");
}

// "EscancianoLobato(data, /, q=2.4, d=None)\n--\n\n" and the documentation.
const std::string& doc_slot_text() {
  return doc_cell.get_or_init([] { return std::string(kClassName) + kTextSignature + "\n--\n\n" + kClassDoc; });
}

Result<PyTypeObject*> create_type() {
  const std::string& doc = doc_slot_text();
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc.c_str())},
      {Py_tp_new, reinterpret_cast<void*>(escanciano_lobato_new)},
      {Py_tp_getset, properties},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
      {0, nullptr},
  };
  PyType_Spec spec = {kSpecName, sizeof(ResultObject), 0, Py_TPFLAGS_DEFAULT, slots};
  Object type = Object::steal(PyType_FromSpec(&spec));
  if (!type) {
    return binding::fetched_error();
  }
  // Keep the signature block in the doc slot whatever the interpreter copied.
  auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
  auto* copy = static_cast<char*>(PyObject_Malloc(doc.size() + 1));
  if (copy == nullptr) {
    return std::unexpected(Error::lazy(PyExc_MemoryError, "out of memory"));
  }
  std::memcpy(copy, doc.c_str(), doc.size() + 1);
  PyObject_Free(const_cast<char*>(type_object->tp_doc));
  type_object->tp_doc = copy;
  // Calls of the type go straight to the constructor (its tp_new still
  // serves EscancianoLobato.__new__): no argument tuple is made per call,
  // so many short tests leave the collector less to do.
  type_object->tp_vectorcall = escanciano_lobato_vectorcall;
  binding::keep_until_exit(type.get());  // made once, at import: no other thread has seen it yet
  // So are the properties' descriptors, which every `r.statistic` looks up
  // and holds for the call: threads reading results at once would otherwise
  // contend on their counts as on the type's.
  for (const PyGetSetDef* property = properties; property->name != nullptr; ++property) {
    // borrowed: the type's dict keeps it, and no other thread has the type yet
    if (PyObject* descriptor = PyDict_GetItemString(type_object->tp_dict, property->name); descriptor != nullptr) {
      binding::keep_until_exit(descriptor);
    }
  }
  return reinterpret_cast<PyTypeObject*>(type.release());  // kept until exit
}

}  // namespace

void initialise_result(ResultObject* result, std::uint64_t p_tilde, double statistic, double pvalue) noexcept {
  result->p_tilde = p_tilde;
  result->statistic = statistic;
  result->pvalue = pvalue;
  // an atomic is constructed, not assigned into raw memory; it needs no
  // destruction (its destructor is trivial)
  ::new (static_cast<void*>(&result->borrow_flag)) std::atomic<std::size_t>(0);
}

Result<PyTypeObject*> escanciano_lobato_type() {
  Result<PyTypeObject*> type = type_cell.get_or_try_init(create_type);
  if (!type) {
    Object cause = type.error().instance();
    return std::unexpected(Error::lazy(PyExc_RuntimeError, std::string("An error occurred while initializing class ") +
                                                               kClassName,
                                       std::move(cause)));
  }
  return *type;
}

}  // namespace zorvane::lib
