// NumPy's masked arrays: values together with a mask of the items that are
// missing. Iterating one gives NaN for each masked item, while its memory
// holds whatever the slot held before it was masked; reading that memory as
// the data would test values the user marked as missing.
#pragma once

#include <optional>

#include "binding/error.hpp"
#include "lib/input/numpy_api.hpp"
#include "lib/input/series_holder.hpp"

namespace zorvane::lib {

// Whether `data` is a numpy.ma.MaskedArray (or a subclass). numpy.ma is never
// imported here: where it is not loaded, no masked array exists.
[[nodiscard]] binding::Result<bool> is_masked_array(PyObject* data);

// For a 1-D masked array of plain numbers (bool, integers, floats) with at
// least one item masked: its values copied, with a NaN in each masked slot,
// as iteration reads them (so the NaN check refuses them). nullopt for
// anything else, a masked array without a masked item among them, which is
// read as the array it is.
[[nodiscard]] binding::Result<std::optional<SeriesHolder>> masked_array_values(const NumpyApi& api, PyObject* data);

}  // namespace zorvane::lib
