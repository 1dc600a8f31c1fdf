// NumPy's C-API table: version check, core package name, capsule lookup.
#include "lib/input/numpy_api.hpp"

#include <cstdint>
#include <string>

#include "binding/error.hpp"
#include "binding/object.hpp"
#include "binding/once_cell.hpp"
#include "binding/panic.hpp"

namespace zorvane::lib {
namespace {

using binding::Error;
using binding::Object;

// Filled once the whole lookup has succeeded; a failure leaves it empty and
// the next call starts again.
binding::OnceCell<NumpyApi> api_cell;

[[noreturn]] void lookup_failure() {
  binding::panic("Failed to access NumPy array API capsule: " + binding::describe(Error::fetch()));
}

Object import(const char* name) {
  Object module = Object::steal(PyImport_ImportModule(name));
  if (!module) {
    lookup_failure();
  }
  return module;
}

Object attribute(const Object& owner, const char* name) {
  Object value = Object::steal(PyObject_GetAttrString(owner.get(), name));
  if (!value) {
    lookup_failure();
  }
  return value;
}

// "numpy._core" from NumPy 2 on, "numpy.core" before.
std::string core_package() {
  Object version = attribute(import("numpy"), "__version__");
  Object numpy_version_class = attribute(import("numpy.lib"), "NumpyVersion");
  Object parsed = Object::steal(PyObject_CallFunctionObjArgs(numpy_version_class.get(), version.get(), nullptr));
  if (!parsed) {
    lookup_failure();
  }
  Object major_object = attribute(parsed, "major");
  const unsigned long major = PyLong_AsUnsignedLong(major_object.get());
  if (major == static_cast<unsigned long>(-1) && PyErr_Occurred() != nullptr) {
    lookup_failure();
  }
  if (major > UINT8_MAX) {
    binding::panic("Failed to access NumPy array API capsule: NumPy major version " + std::to_string(major) +
                   " out of range");
  }
  return major >= 2 ? "numpy._core" : "numpy.core";
}

void** api_table(const std::string& multiarray) {
  Object module = import(multiarray.c_str());
  // Kept referenced until exit, so that the table stays valid.
  Object capsule = attribute(module, "_ARRAY_API");
  if (Py_TYPE(capsule.get()) != &PyCapsule_Type) {
    PyErr_SetString(PyExc_TypeError, "_ARRAY_API is not a PyCapsule object");
    lookup_failure();
  }
  const char* name = PyCapsule_GetName(capsule.get());
  if (name == nullptr && PyErr_Occurred() != nullptr) {
    lookup_failure();
  }
  void* table = PyCapsule_GetPointer(capsule.get(), name);
  if (table == nullptr) {
    lookup_failure();
  }
  static_cast<void>(capsule.release());  // leaked on purpose, see above
  return static_cast<void**>(table);
}

}  // namespace

const NumpyApi& numpy_api() {
  return api_cell.get_or_init([] {
    std::string core = core_package();
    std::string multiarray = core + ".multiarray";
    void** table = api_table(multiarray);
    auto descr_from_type = reinterpret_cast<binding::numpy::DescrFromType>(table[binding::numpy::kDescrFromTypeIndex]);
    Object float64 = Object::steal(descr_from_type(binding::numpy::kNpyDouble));
    if (!float64) {
      lookup_failure();
    }
    return NumpyApi{table, std::move(core), std::move(multiarray), std::move(float64)};
  });
}

}  // namespace zorvane::lib
