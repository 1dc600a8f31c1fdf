// Recognising plain NumPy arrays and plain pandas Series whose values can be
// read from memory exactly as iteration would read them.
#include "lib/series_values.hpp"

#include <array>
#include <optional>
#include <utility>

#include "binding/numpy_abi.hpp"
#include "binding/panic.hpp"
#include "binding/threads.hpp"

namespace zorvane::lib {
namespace {

using binding::Error;
using binding::Object;
using binding::Result;
namespace numpy = binding::numpy;

// pandas.Series, if pandas has been imported (it is never imported here).
Result<Object> loaded_series_class() {
  Result<Object> module = binding::imported_module("pandas.core.series");
  if (!module || !*module) {
    return module;
  }
  Object series = Object::steal(PyObject_GetAttrString(module->get(), "Series"));
  if (!series || !PyType_Check(series.get())) {
    if (std::optional<Error> error = binding::take_trial_error()) {
      return std::unexpected(std::move(*error));
    }
    return Object();  // a module in the making, or not pandas': no Series to recognise
  }
  return series;
}

// The names through which a Series is iterated, measured or converted, and
// `_values`, which its iteration reads.
constexpr std::array<const char*, 5> kSeriesAccess = {"__iter__", "__len__", "__getitem__", "to_numpy", "_values"};

// The exact Series class, or a subclass of it of which no class before
// Series in the method resolution order defines any of kSeriesAccess.
Result<bool> is_plain_series(PyObject* data) {
  PyTypeObject* type = Py_TYPE(data);
  Result<Object> series = loaded_series_class();
  if (!series || !*series) {
    return series ? Result<bool>(false) : std::unexpected(std::move(series.error()));
  }
  auto* series_type = reinterpret_cast<PyTypeObject*>(series->get());
  if (type == series_type) {
    return true;
  }
  // A subclass, or any other type: its MRO decides (read under the type's
  // lock, where PyType_IsSubtype would read it without).
  Result<Object> mro = binding::method_resolution_order(type);
  if (!mro || mro->get() == Py_None) {
    return mro ? Result<bool>(false) : std::unexpected(std::move(mro.error()));
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro->get()); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro->get(), i));
    if (base == series_type) {
      return true;
    }
    if (base->tp_dict == nullptr) {
      return false;  // a static built-in type (3.12+ keeps its dict elsewhere): iterate
    }
    for (const char* name : kSeriesAccess) {
      Result<Object> defined = binding::dict_item(base->tp_dict, name);
      if (!defined || *defined) {
        return defined ? Result<bool>(false) : std::unexpected(std::move(defined.error()));
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

Result<Object> plain_series_backing(PyObject* data) {
  if (PyList_CheckExact(data) || PyTuple_CheckExact(data)) {
    return Object();
  }
  if (Result<bool> plain = is_plain_series(data); !plain || !*plain) {
    return plain ? Result<Object>(Object()) : std::unexpected(std::move(plain.error()));
  }
  Object values = Object::steal(PyObject_GetAttrString(data, "_values"));
  if (!values) {
    if (std::optional<Error> error = binding::take_trial_error()) {
      return std::unexpected(std::move(*error));
    }
    return Object();  // trial conversion: iteration decides
  }
  return values;
}

}  // namespace zorvane::lib
