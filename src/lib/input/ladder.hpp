// Turns the caller's `data` object into a read-only contiguous float64 series
// backed by a NumPy array on which a read borrow is held.
#pragma once

#include "binding/error.hpp"
#include "lib/input/series_holder.hpp"

namespace zorvane::lib {

// The array form, the to_numpy(False) form and the sequence form, in that
// order. No form fits: TypeError "expected a 1-D numpy.ndarray,
// pandas.Series, or sequence of float64", with a note (Python 3.11+) on what
// was given. Memory exhausted while copying a sequence: MemoryError. An item
// whose reading raised a MemoryError or an interrupt: that exception.
// Internal failures (NumPy's table unavailable, a conflicting write borrow)
// throw binding::Panic.
[[nodiscard]] binding::Result<SeriesHolder> to_series_view(PyObject* data);

}  // namespace zorvane::lib
