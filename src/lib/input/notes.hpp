// The note attached to the TypeError for data of an unaccepted kind: what was
// received and what to do about it. Made only on that failure path.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "binding/error.hpp"

#include "lib/input/numpy_api.hpp"
#include "lib/input/sequence_copy.hpp"

namespace zorvane::lib {

// For example "got an array of shape (250, 1): use .ravel(), or pass one
// column, e.g. a[:, 0]" or "1 missing value (None), the first at position 17,
// at the start or end of the series: drop it, e.g. s.dropna()" (the missing
// values counted as gap_notes.hpp says). `refusal` is what the sequence form stopped at,
// null when `data` was no sequence. A question about `data` that raises an
// ordinary exception is left out of the note; an interrupt or a MemoryError
// is the error, to be raised in place of the refusal.
[[nodiscard]] binding::Result<std::string> unaccepted_data_note(const NumpyApi& api, PyObject* data,
                                                                const ItemRefusal* refusal);

enum class NonFinite : bool { Nan, Infinite };

// The note of the refusal of NaN (or infinite) `values` read from `data`: how
// many there are, where the first one is (with its index label, for a
// pandas Series), whether they only lead or trail the series, and how to
// drop them in `data`'s own library, e.g. "2 NaN values, the first at
// position 0 (index label '2024-01-02'), all at the start or end of the
// series: drop them, e.g. s.dropna()". An error only for what must
// propagate (an interrupt, MemoryError) while the label is looked up.
[[nodiscard]] binding::Result<std::string> non_finite_note(PyObject* data, std::span<const double> values,
                                                           NonFinite kind);

// The note of a d larger than the series: "d = 12, and data has 10 values".
[[nodiscard]] std::string lag_beyond_note(std::uint64_t d, std::uint64_t length);

}  // namespace zorvane::lib
