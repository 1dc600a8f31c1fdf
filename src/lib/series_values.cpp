// Recognising plain NumPy arrays and plain pandas Series whose values can be
// read from memory exactly as iteration would read them.
#include "lib/series_values.hpp"

#include <array>

#include "binding/numpy_abi.hpp"
#include "binding/threads.hpp"

namespace zorvane::lib {
namespace {

using binding::Object;
namespace numpy = binding::numpy;

// pandas.Series, if pandas has been imported (it is never imported here).
Object loaded_series_class() {
  const Object module = binding::imported_module("pandas.core.series");
  if (!module) {
    return {};
  }
  Object series = Object::steal(PyObject_GetAttrString(module.get(), "Series"));
  if (!series || !PyType_Check(series.get())) {
    PyErr_Clear();  // a module in the making, or not pandas': no Series to recognise
    return {};
  }
  return series;
}

// The names through which a Series is iterated, measured or converted, and
// `_values`, which its iteration reads.
constexpr std::array<const char*, 5> kSeriesAccess = {"__iter__", "__len__", "__getitem__", "to_numpy", "_values"};

// The exact Series class, or a subclass of it of which no class before
// Series in the method resolution order defines any of kSeriesAccess.
bool is_plain_series(PyObject* data) {
  PyTypeObject* type = Py_TYPE(data);
  const Object series = loaded_series_class();
  if (!series) {
    return false;
  }
  auto* series_type = reinterpret_cast<PyTypeObject*>(series.get());
  if (type == series_type) {
    return true;
  }
  if (!PyType_IsSubtype(type, series_type) || type->tp_mro == nullptr) {
    return false;
  }
  const Object mro = Object::borrow(type->tp_mro);  // kept should __bases__ be assigned meanwhile
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
    if (base == series_type) {
      return true;
    }
    if (base->tp_dict == nullptr) {
      return false;  // a static built-in type (3.12+ keeps its dict elsewhere): iterate
    }
    for (const char* name : kSeriesAccess) {
      if (binding::dict_item(base->tp_dict, name)) {
        return false;
      }
    }
  }
  return false;
}

}  // namespace

std::optional<ElementFormat> plain_array_format(const NumpyApi& api, PyObject* data) {
  if (Py_TYPE(data) != api.array_type()) {
    return std::nullopt;
  }
  const numpy::ArrayFields* fields = numpy::fields(data);
  if (fields->nd != 1 || fields->data == nullptr) {
    return std::nullopt;
  }
  return plain_element_format(fields->descr);
}

SeriesValues plain_series_values(const NumpyApi& api, PyObject* data) {
  if (PyList_CheckExact(data) || PyTuple_CheckExact(data) || !is_plain_series(data)) {
    return {};
  }
  Object values = Object::steal(PyObject_GetAttrString(data, "_values"));
  if (!values) {
    PyErr_Clear();  // trial conversion: iteration decides
    return {};
  }
  const std::optional<ElementFormat> format = plain_array_format(api, values.get());
  if (!format) {
    return {};
  }
  return {std::move(values), *format};
}

}  // namespace zorvane::lib
