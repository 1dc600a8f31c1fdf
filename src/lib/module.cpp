// PyInit_zorvane: the module tree zorvane -> statistical_tests -> EscancianoLobato,
// built once per process.
#include "binding/entry.hpp"
#include "binding/object.hpp"
#include "binding/once_cell.hpp"
#include "binding/panic.hpp"
#include "binding/threads.hpp"
#include "lib/result_type.hpp"

namespace zorvane::lib {
namespace {

using binding::Error;
using binding::Object;
using binding::Result;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "zorvane",
    "",  // a present, empty docstring
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr int kModuleApiVersion = 1013;

binding::OnceCell<Object> module_cell;
binding::OnceCell<Object> all_name_cell;

PyObject* all_name() {
  return all_name_cell
      .get_or_init([] {
        Object name = Object::steal(PyUnicode_InternFromString("__all__"));
        if (!name) {
          binding::panic_after_api_failure();
        }
        return name;
      })
      .get();
}

// Lists `name` in the module's __all__ (made when missing), then binds it.
Result<void> add_to_module(PyObject* module, PyObject* name, PyObject* value) {
  Object all = Object::steal(PyObject_GetAttr(module, all_name()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      return binding::fetched_error();
    }
    PyErr_Clear();  // no __all__ yet: start one
    all = Object::steal(PyList_New(0));
    if (!all || PyObject_SetAttr(module, all_name(), all.get()) != 0) {
      return binding::fetched_error();
    }
  } else if (!PyList_Check(all.get())) {
    return binding::type_error(std::string("'") + Py_TYPE(all.get())->tp_name + "' object cannot be converted to 'PyList'");
  }
  if (PyList_Append(all.get(), name) != 0) {
    PyErr_Clear();  // the panic's own message replaces it: a failed append here is an exhausted interpreter
    binding::panic("could not append __name__ to __all__");
  }
  all.reset();
  if (PyObject_SetAttr(module, name, value) != 0) {
    return binding::fetched_error();
  }
  return {};
}

Result<void> module_body(PyObject* module) {
  Object name = Object::steal(PyUnicode_FromString("statistical_tests"));
  if (!name) {
    return binding::fetched_error();
  }
  Object submodule = Object::steal(PyModule_NewObject(name.get()));
  name.reset();
  if (!submodule) {
    return binding::fetched_error();
  }
  // Every `statistical_tests.EscancianoLobato(x)` holds the submodule for a
  // moment: kept until exit, threads calling at once do not contend on its
  // count (made here, no other thread has seen it yet).
  binding::keep_until_exit(submodule.get());
  Result<PyTypeObject*> type = escanciano_lobato_type();
  if (!type) {
    return std::unexpected(std::move(type.error()));
  }
  Object class_name = Object::steal(PyUnicode_FromString("EscancianoLobato"));
  if (!class_name) {
    return binding::fetched_error();
  }
  if (auto added = add_to_module(submodule.get(), class_name.get(), reinterpret_cast<PyObject*>(*type)); !added) {
    return added;
  }
  Object submodule_name = Object::steal(PyModule_GetNameObject(submodule.get()));
  if (!submodule_name) {
    return binding::fetched_error();
  }
  return add_to_module(module, submodule_name.get(), submodule.get());
}

Result<Object> initialise() {
  if (module_cell.get() != nullptr) {
    return std::unexpected(Error::lazy(
        PyExc_ImportError,
        "zorvane may be initialized only once per interpreter process: modules built for CPython 3.8 or older "
        "cannot be initialized again"));
  }
  Object module = Object::steal(PyModule_Create2(&module_definition, kModuleApiVersion));
  if (!module) {
    return binding::fetched_error();
  }
#if defined(Py_GIL_DISABLED)
  // Every process-wide cell is filled by a compare-exchange, the borrow
  // registry has its own mutex, and no borrowed reference outlives the
  // object's owner: the module runs as well without the interpreter lock.
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) != 0) {
    return binding::fetched_error();
  }
#endif
  if (Result<void> body = module_body(module.get()); !body) {
    return std::unexpected(std::move(body.error()));
  }
  Object& kept = module_cell.get_or_init([&] { return module.clone(); });
  return kept.clone();
}

}  // namespace
}  // namespace zorvane::lib

PyMODINIT_FUNC PyInit_zorvane() { return zorvane::binding::enter(zorvane::lib::initialise); }
