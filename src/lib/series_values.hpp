// Inputs whose items can be read from memory instead of iterated: exact 1-D
// NumPy arrays of plain dtypes, and plain pandas Series over such arrays.
#pragma once

#include <optional>

#include "binding/error.hpp"
#include "binding/object.hpp"
#include "lib/array_elements.hpp"
#include "lib/numpy_api.hpp"

namespace zorvane::lib {

// Iterating an exact 1-D NumPy array (no subclass, which could iterate
// differently) of a plain dtype gives scalars whose float() is the element's
// value: the format to read such an array from memory, else nullopt.
[[nodiscard]] std::optional<ElementFormat> plain_array_format(const NumpyApi& api, PyObject* data);

// A Series iterates as map(values.item, range(values.size)) when its
// `_values` is a NumPy array: each item is the Python int, float or bool of
// an element. So for a plain Series whose `_values` is an exact 1-D array of
// a plain dtype, reading that array gives what iteration would.
struct SeriesValues {
  binding::Object array;  // null: the Series (or whatever `data` is) must be iterated
  ElementFormat format;
};

// The `_values` of a plain pandas Series (the exact class, or a subclass
// that customises none of the ways a Series is iterated or converted), if
// pandas is loaded; pandas is never imported here. An error only when an
// interrupt or a MemoryError arrives while the Series is examined.
[[nodiscard]] binding::Result<binding::Object> plain_series_backing(PyObject* data);

}  // namespace zorvane::lib
