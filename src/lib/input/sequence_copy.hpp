// Copying the items of a sequence into a float64 buffer: by index for exact
// lists and tuples, by iteration for the rest.
#pragma once

#include <cstddef>
#include <optional>

#include "binding/error.hpp"
#include "binding/object.hpp"
#include "lib/input/element_format.hpp"
#include "lib/input/float_buffer.hpp"
#include "lib/input/gaps.hpp"

namespace zorvane::lib {

// Why the sequence form did not fit: the item at `index` did not convert
// (`item` holds it), or fetching it raised (`item` is null, `raised` holds
// the exception, when there was one, for the refusal to chain).
struct ItemRefusal {
  std::size_t index;
  binding::Object item;
  binding::Object raised = {};
  // where a reader of memory found the item missing: every missing value of
  // the series, from its validity (null: the note counts them itself)
  std::optional<Gaps> gaps = {};
};

// nullopt: every item was copied. A refusal: the form does not fit (the
// item's error is discarded). An error: memory ran out (MemoryError "out of
// memory while copying the data"), or reading an item raised a MemoryError
// or something that is not an Exception (KeyboardInterrupt, SystemExit),
// which propagates unchanged: the machine or the user asked to stop.
using CopyResult = binding::Result<std::optional<ItemRefusal>>;

// The error of a copy that ran out of memory: MemoryError "out of memory
// while copying the data".
[[nodiscard]] std::unexpected<binding::Error> out_of_memory_while_copying();

// Whether `item` is one of NumPy's complex scalars (complex64, complex128,
// clongdouble), by its type's name: float() of one drops its imaginary part
// with only a warning, so the copy reads it itself.
[[nodiscard]] bool is_numpy_complex(PyObject* item) noexcept;

// Exact lists and tuples, read by index as their iterators do.
[[nodiscard]] CopyResult copy_list_or_tuple(PyObject* data, FloatBuffer& buffer);

// Any other sequence, through its iterator.
[[nodiscard]] CopyResult copy_iterated(PyObject* data, FloatBuffer& buffer);

}  // namespace zorvane::lib
