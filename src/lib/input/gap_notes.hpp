// The note of a missing item that stopped the reading: how many missing
// items the data hold, where the first is, whether they lead, trail or stand
// inside the series, and how to drop them in the data's own library (as the
// note of NaN values says it, notes.hpp).
#pragma once

#include <optional>
#include <string>

#include "binding/error.hpp"
#include "lib/input/asked.hpp"
#include "lib/input/known_containers.hpp"
#include "lib/input/sequence_copy.hpp"

namespace zorvane::lib {

// nullopt when the refused item is no missing marker. The missing values are
// those the reader of memory found, or else the data are iterated once more
// to count them; where they will not be, the item alone is named. An error
// only for what must propagate.
[[nodiscard]] binding::Result<std::optional<std::string>> missing_value_note(Asked& asked, PyObject* data,
                                                                             const Library& library,
                                                                             const ItemRefusal& refusal);

}  // namespace zorvane::lib
