// Reading the values of the containers other libraries make (pandas over
// every dtype backend, polars, pyarrow, xarray, Python's buffers) from their
// memory, exactly as the conversion would read them through Python: each
// reader stands for a form of the conversion whose result it knows.
#pragma once

#include <optional>

#include "binding/error.hpp"
#include "lib/numpy_api.hpp"
#include "lib/sequence_copy.hpp"
#include "lib/series_holder.hpp"
#include "lib/series_values.hpp"

namespace zorvane::lib {

// What a known container holds: an array to read as a Series' values (in
// place or copied), values already read, or the first item that iterating
// the container would refuse (a missing value).
struct ContainerValues {
  SeriesValues array;
  std::optional<SeriesHolder> held;
  std::optional<ItemRefusal> refusal;
};

// In place of iterating `data`: its values when it is a container whose
// iteration is known to give them (the exact classes, or for pandas a
// Series subclass that customises none of its access), else nullopt and
// the container is iterated. The libraries are never imported here. An
// error only when memory runs out or an interrupt or MemoryError arrives.
[[nodiscard]] binding::Result<std::optional<ContainerValues>> container_values(const NumpyApi& api, PyObject* data);

// In place of `data.to_numpy(False)` for an exact pyarrow float64 Array or
// ChunkedArray: its values with a NaN for each missing one, as that call
// gives them; nullopt for anything else.
[[nodiscard]] binding::Result<std::optional<SeriesHolder>> arrow_float64_values(const NumpyApi& api, PyObject* data);

}  // namespace zorvane::lib
