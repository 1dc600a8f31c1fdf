// The series holder: the array behind a series view and a read borrow of it.
#pragma once

#include <span>
#include <utility>

#include "binding/borrow_registry.hpp"
#include "binding/object.hpp"

namespace zorvane::lib {

// One array reference and one read borrow of it, released in that order's
// reverse (borrow first) by release() or, at the latest, the destructor;
// optionally the owner of the memory's export (`keep`), released last.
class SeriesHolder {
 public:
  SeriesHolder(binding::Object array, const binding::BorrowApi& registry, std::span<const double> view,
               binding::Object keep = {}) noexcept
      : array_(std::move(array)), keep_(std::move(keep)), registry_(&registry), view_(view) {}
  SeriesHolder(SeriesHolder&& other) noexcept
      : array_(std::move(other.array_)), keep_(std::move(other.keep_)), registry_(other.registry_),
        view_(other.view_) {}
  SeriesHolder& operator=(SeriesHolder&&) = delete;
  SeriesHolder(const SeriesHolder&) = delete;
  SeriesHolder& operator=(const SeriesHolder&) = delete;
  ~SeriesHolder() { release(); }

  // Valid until release().
  [[nodiscard]] std::span<const double> view() const noexcept { return view_; }
  void release() noexcept {
    if (array_) {
      binding::release_read_borrow(*registry_, array_.get());
      array_.reset();
    }
    keep_.reset();
  }

 private:
  binding::Object array_;
  binding::Object keep_;
  const binding::BorrowApi* registry_;
  std::span<const double> view_;
};

}  // namespace zorvane::lib
