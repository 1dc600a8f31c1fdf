// Values in memory, as every source describes them (NumPy arrays, Python's
// buffers, Arrow chunks), and the one place that reads such a description:
// in place, under a read borrow, where the memory is float64 that can be
// read as it is and nobody holds a write borrow on it; copied to float64
// otherwise, missing values found or written as NaN on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "binding/error.hpp"
#include "binding/object.hpp"
#include "lib/input/gaps.hpp"
#include "lib/input/element_format.hpp"
#include "lib/input/numpy_api.hpp"
#include "lib/input/series_holder.hpp"

namespace zorvane::lib {

// A run of values: `count` elements, `stride` bytes apart from `data` on
// (or, for packed bits, the bits from bit `bit_offset` of `data` on), and
// an Arrow validity bitmap (bit set: the value is there) whose bit
// `validity_offset` is the first element's; null when none is missing.
struct Chunk {
  const char* data;
  std::ptrdiff_t stride;
  std::size_t count;
  std::size_t bit_offset = 0;
  const std::uint8_t* validity = nullptr;
  std::size_t validity_offset = 0;
};

// What keeps the memory alive, and how a read in place holds it.
enum class Keeper : unsigned char {
  Array,    // `owner` is a 1-D NumPy array: it is the series, under a read borrow of its own
  Export,   // `owner` holds a buffer that `exporter` exported: an array over it whose base is `exporter`
  Foreign,  // `owner` keeps memory alive that no NumPy array knows (Arrow's chunks)
};

struct Memory {
  ElementFormat format;
  bool packed_bits;  // Arrow's booleans, eight to a byte
  std::vector<Chunk> chunks;
  Keeper keeper;
  binding::Object owner;
  PyObject* exporter = nullptr;  // Keeper::Export only
};

// What a missing value does: ends the reading at it, or reads as NaN.
enum class Missing : bool { Stop, AsNaN };

// The series, or (Missing::Stop) the position of the first missing value.
struct Placed {
  std::optional<SeriesHolder> held;
  std::size_t missing_at = 0;
  Gaps gaps = {};  // with missing_at: every missing value
};

// Reads `memory` in place or copies it. An error only when memory runs out
// while copying (MemoryError "out of memory while copying the data").
[[nodiscard]] binding::Result<Placed> place(const NumpyApi& api, Memory memory, Missing missing);

// What the array test does when another module holds a write borrow on the
// array: end the construction (the array and to_numpy forms), or decline, so
// that the values are copied as iteration would read them (a Series).
enum class OnConflict : bool { Panic, Decline };

// The array test: a 1-D float64 array with contiguous memory, read in place.
[[nodiscard]] std::optional<SeriesHolder> try_array(const NumpyApi& api, PyObject* candidate, OnConflict on_conflict);

// The memory of a 1-D NumPy array of a plain element format.
[[nodiscard]] Memory array_memory(binding::Object array, ElementFormat format);

}  // namespace zorvane::lib
