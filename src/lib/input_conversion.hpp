// Turns the caller's `data` object into a read-only contiguous float64 series
// backed by a NumPy array on which a read borrow is held.
#pragma once

#include <span>

#include "binding/borrow_registry.hpp"
#include "binding/error.hpp"
#include "binding/object.hpp"

namespace zorvane::lib {

// One array reference and one read borrow of it, released in that order's
// reverse (borrow first) by release() or, at the latest, the destructor.
class SeriesHolder {
 public:
  SeriesHolder(binding::Object array, const binding::BorrowApi& registry, std::span<const double> view) noexcept
      : array_(std::move(array)), registry_(&registry), view_(view) {}
  SeriesHolder(SeriesHolder&& other) noexcept
      : array_(std::move(other.array_)), registry_(other.registry_), view_(other.view_) {}
  SeriesHolder& operator=(SeriesHolder&&) = delete;
  SeriesHolder(const SeriesHolder&) = delete;
  SeriesHolder& operator=(const SeriesHolder&) = delete;
  ~SeriesHolder() { release(); }

  // Valid until release().
  [[nodiscard]] std::span<const double> view() const noexcept { return view_; }
  void release() noexcept;

 private:
  binding::Object array_;
  const binding::BorrowApi* registry_;
  std::span<const double> view_;
};

// The array form, the to_numpy(False) form and the sequence form, in that
// order. No form fits: TypeError "expected a 1-D numpy.ndarray,
// pandas.Series, or sequence of float64". Memory exhausted while copying a
// sequence: MemoryError. Internal failures (NumPy's table unavailable, a
// conflicting write borrow) throw binding::Panic.
[[nodiscard]] binding::Result<SeriesHolder> to_series_view(PyObject* data);

}  // namespace zorvane::lib
