// The note attached to the TypeError for data of an unaccepted kind: what was
// received and what to do about it. Made only on that failure path.
#pragma once

#include <string>

#include "lib/numpy_api.hpp"
#include "lib/sequence_copy.hpp"

namespace zorvane::lib {

// For example "got an array of shape (250, 1): use .ravel(), or pass one
// column, e.g. a[:, 0]" or "item 17 is None: drop or fill missing values
// first, e.g. s.dropna()". `refusal` is what the sequence form stopped at,
// null when `data` was no sequence. Never fails: a question about `data`
// that raises is left out of the note.
[[nodiscard]] std::string unaccepted_data_note(const NumpyApi& api, PyObject* data, const ItemRefusal* refusal);

}  // namespace zorvane::lib
