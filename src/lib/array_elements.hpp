// Reading a 1-D NumPy array's elements as float64 straight from memory, for
// the dtypes whose items convert to exactly those values when iterated.
#pragma once

#include <cstddef>
#include <optional>

#include "binding/numpy_abi.hpp"

namespace zorvane::lib {

enum class ElementKind : unsigned char { Bool, Signed, Unsigned, Float16, Float32, Float64 };

struct ElementFormat {
  ElementKind kind;
  std::size_t size;  // bytes per element
  bool swapped;      // stored in the other byte order than this machine's
};

// The format of a descriptor of bool, a signed or unsigned integer, float16,
// float32 or float64, in either byte order; nullopt for every other dtype
// (complex, object, long double, datetime, strings, structured and user
// dtypes), whose items are left to the interpreter's own conversion.
[[nodiscard]] std::optional<ElementFormat> plain_element_format(PyObject* descr) noexcept;

// Writes the `count` elements at `data`, `stride` bytes apart, to `out` as
// float64: each the value float() of the element's NumPy scalar gives (an
// integer rounded to nearest, ties to even; a bool as 0.0 or 1.0; a float16
// or float32 exactly).
void read_elements(const char* data, binding::numpy::npy_intp stride, std::size_t count, ElementFormat format,
                   double* out) noexcept;

}  // namespace zorvane::lib
