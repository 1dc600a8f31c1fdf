// PySliceContainer, the owner of a copied series' buffer, and the float64
// array made over such a buffer.
#pragma once

#include <optional>
#include <span>

#include "binding/object.hpp"
#include "lib/input/float_buffer.hpp"
#include "lib/input/numpy_api.hpp"
#include "lib/input/series_holder.hpp"

namespace zorvane::lib {

// Wraps the buffer's values in a new float64 array whose base, a
// PySliceContainer, takes the buffer over; a read borrow of it is the
// holder. Failures are internal failures (binding::Panic).
[[nodiscard]] SeriesHolder wrap_buffer(const NumpyApi& api, FloatBuffer& buffer);

// Values in memory that `exporter` exported through the buffer protocol
// (the export held by `export_owner`, which the holder takes over), read in place:
// a read-only array over them whose base is `exporter`, so that the borrow
// registry finds the memory's owner as it does for an array made over that
// memory, and a read borrow of it. nullopt when another module holds a write
// borrow on that memory (`export_owner` is left to the caller, who copies
// the values, as iterating `exporter` would read them).
[[nodiscard]] std::optional<SeriesHolder> wrap_exported_values(const NumpyApi& api, std::span<const double> values,
                                                               binding::Object& export_owner, PyObject* exporter);

// Wraps values in another owner's memory, read in place, in a new read-only
// float64 array whose base is `owner` (which keeps the memory alive until
// the array goes); a read borrow of it is the holder.
[[nodiscard]] SeriesHolder wrap_foreign_values(const NumpyApi& api, std::span<const double> values,
                                               binding::Object owner);

}  // namespace zorvane::lib
