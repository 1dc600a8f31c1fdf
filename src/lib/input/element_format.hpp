// The one vocabulary of element formats: what NumPy's dtypes, Python's
// buffer format codes and Arrow's format strings each name, as the formats
// read from memory here; and the reading of such elements as float64, for
// the formats whose items convert to exactly those values when iterated.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

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

// The format a buffer's struct code names when it is a native code of one
// number (with or without '@'; null reads as "B"): what a memoryview's items
// are the Python ints and floats of. nullopt for every other code.
[[nodiscard]] std::optional<ElementFormat> buffer_element_format(const char* code) noexcept;

// The format of an Arrow format string of a flat integer or float ("c" to
// "L", "f", "g"); nullopt for every other one. Half floats are left out:
// what their items become differs between libraries. Arrow's booleans are
// packed bits, no element format (the Arrow reader handles them).
[[nodiscard]] std::optional<ElementFormat> arrow_element_format(std::string_view code) noexcept;

// Writes the `count` elements at `data`, `stride` bytes apart, to `out` as
// float64: each the value float() of the element's NumPy scalar gives (an
// integer rounded to nearest, ties to even; a bool as 0.0 or 1.0; a float16
// or float32 exactly).
void read_elements(const char* data, binding::numpy::npy_intp stride, std::size_t count, ElementFormat format,
                   double* out) noexcept;

}  // namespace zorvane::lib
