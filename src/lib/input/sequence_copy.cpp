// The sequence form's copy: each item to float64 as float() would make it,
// stopping at the first item that does not convert.
#include "lib/input/sequence_copy.hpp"

#include <string_view>

#include "binding/threads.hpp"

namespace zorvane::lib {
namespace {

using binding::Error;
using binding::Object;

// One item as float64; nullopt when it does not convert (error discarded).
// A complex scalar of NumPy's converts to its real part when its imaginary
// part is zero, and not at all otherwise, as a Python complex does not.
binding::Result<std::optional<double>> item_value(PyObject* item) {
  if (PyFloat_CheckExact(item)) {
    return PyFloat_AS_DOUBLE(item);
  }
  if (is_numpy_complex(item)) {
    const Py_complex value = PyComplex_AsCComplex(item);
    if (value.real == -1.0 && PyErr_Occurred() != nullptr) {
      if (std::optional<Error> error = binding::take_trial_error()) {
        return std::unexpected(std::move(*error));
      }
      return std::nullopt;
    }
    if (value.imag != 0.0) {
      return std::nullopt;
    }
    return value.real;
  }
  const double value = PyFloat_AsDouble(item);
  // -1.0 is a failure only with an exception pending
  if (value == -1.0 && PyErr_Occurred() != nullptr) {
    if (std::optional<Error> error = binding::take_trial_error()) {
      return std::unexpected(std::move(*error));
    }
    return std::nullopt;
  }
  return value;
}

}  // namespace

bool is_numpy_complex(PyObject* item) noexcept {
  const std::string_view name = Py_TYPE(item)->tp_name;
  return name.starts_with("numpy.c") && (name.starts_with("numpy.complex") || name == "numpy.clongdouble");
}

std::unexpected<Error> out_of_memory_while_copying() {
  return std::unexpected(Error::lazy(PyExc_MemoryError, "out of memory while copying the data"));
}

// The length is read again at every step, since converting an item may run
// Python code that changes the list; no iterator or reference per float. A
// list is read inside its critical section, so that no other thread changes
// it between the length and the item (code run by a conversion may still).
CopyResult copy_list_or_tuple(PyObject* data, FloatBuffer& buffer) {
  const bool is_list = PyList_CheckExact(data);
  const binding::CriticalSection section(data);
  for (Py_ssize_t i = 0; i < (is_list ? PyList_GET_SIZE(data) : PyTuple_GET_SIZE(data)); ++i) {
    PyObject* item = is_list ? PyList_GET_ITEM(data, i) : PyTuple_GET_ITEM(data, i);
    double value = 0.0;
    if (PyFloat_CheckExact(item)) {
      value = PyFloat_AS_DOUBLE(item);
    } else {
      Object held = Object::borrow(item);  // the conversion may drop the list's reference
      binding::Result<std::optional<double>> converted = item_value(held.get());
      if (!converted) {
        return std::unexpected(std::move(converted.error()));
      }
      if (!*converted) {
        return ItemRefusal{static_cast<std::size_t>(i), std::move(held)};
      }
      value = **converted;
    }
    if (!buffer.push(value)) {
      return out_of_memory_while_copying();
    }
  }
  return std::nullopt;
}

namespace {

// Fetching item `index` raised: the refusal keeps the exception, unless it
// must propagate (binding::take_trial_error).
CopyResult refused_by_raise(std::size_t index) {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
    return std::unexpected(Error::fetch());
  }
  return ItemRefusal{index, Object(), Error::fetch().instance()};
}

}  // namespace

CopyResult copy_iterated(PyObject* data, FloatBuffer& buffer) {
  Object iterator = Object::steal(PyObject_GetIter(data));
  if (!iterator) {
    return refused_by_raise(0);
  }
  while (Object item = Object::steal(PyIter_Next(iterator.get()))) {
    binding::Result<std::optional<double>> value = item_value(item.get());
    if (!value) {
      return std::unexpected(std::move(value.error()));
    }
    if (!*value) {
      return ItemRefusal{buffer.size(), std::move(item)};
    }
    if (!buffer.push(**value)) {
      return out_of_memory_while_copying();
    }
  }
  if (PyErr_Occurred() != nullptr) {
    return refused_by_raise(buffer.size());
  }
  return std::nullopt;
}

}  // namespace zorvane::lib
