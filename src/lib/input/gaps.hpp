// Where the missing values of a series stand: how many, the first, and how
// many lie inside it (between its first and last present value), counted
// from their positions in increasing order.
#pragma once

#include <cstddef>

namespace zorvane::lib {

struct Gaps {
  std::size_t count = 0;
  std::size_t first = 0;
  std::size_t inner = 0;
};

class GapCounter {
 public:
  // Positions strictly increasing.
  void missing_at(std::size_t at) noexcept {
    if (count_ == 0) {
      first_ = at;
    }
    run_ = count_ > 0 && at == last_ + 1 ? run_ + 1 : 1;
    leading_ = at == count_ ? count_ + 1 : leading_;  // every position before it was missing too
    last_ = at;
    ++count_;
  }

  [[nodiscard]] Gaps finish(std::size_t total) const noexcept {
    if (count_ == 0 || count_ == total) {
      return {count_, first_, 0};  // none, or nothing but gaps: none inside
    }
    const std::size_t trailing = last_ + 1 == total ? run_ : 0;
    return {count_, first_, count_ - leading_ - trailing};
  }

 private:
  std::size_t count_ = 0;
  std::size_t first_ = 0;
  std::size_t leading_ = 0;
  std::size_t last_ = 0;
  std::size_t run_ = 0;
};

}  // namespace zorvane::lib
