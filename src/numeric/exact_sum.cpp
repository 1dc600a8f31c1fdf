// Exact sums as nonoverlapping expansions.
#include "numeric/exact_sum.hpp"

#include <cstddef>

#include "numeric/error_free.hpp"

namespace zorvane::numeric {

using error_free::Pair;
using error_free::two_product;
using error_free::two_sum;

void ExactSum::add(double value) {
  // Each part absorbs the running value and passes its rounding error on;
  // nonzero errors stay as parts, in increasing magnitude.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < parts_.size(); ++i) {
    const Pair sum = two_sum(value, parts_[i]);
    if (sum.lo != 0.0) {
      parts_[kept++] = sum.lo;
    }
    value = sum.hi;
  }
  parts_.resize(kept);
  if (value != 0.0) {
    parts_.push_back(value);
  }
}

void ExactSum::add_product(double value, double factor) {
  const Pair product = two_product(value, factor);
  add(product.lo);
  add(product.hi);
}

void ExactSum::add(std::span<const double> values) {
  for (const double value : values) {
    add(value);
  }
}

double ExactSum::rounded() const noexcept {
  if (parts_.empty()) {
    return 0.0;
  }
  // From the largest part down, until a sum rounds; then a halfway case is
  // settled by the sign of what lies below.
  std::size_t i = parts_.size() - 1;
  double hi = parts_[i];
  double lo = 0.0;
  while (i > 0) {
    --i;
    const double x = hi;
    const double y = parts_[i];
    hi = x + y;
    lo = y - (hi - x);
    if (lo != 0.0) {
      break;
    }
  }
  if (i > 0 && ((lo < 0.0 && parts_[i - 1] < 0.0) || (lo > 0.0 && parts_[i - 1] > 0.0))) {
    const double y = lo * 2.0;
    const double x = hi + y;
    if (y == x - hi) {
      hi = x;
    }
  }
  return hi;
}

TwoPartMean two_part_mean(const ExactSum& sum, std::uint64_t n) {
  const auto n_f = static_cast<double>(n);
  const double hi = sum.rounded() / n_f;
  ExactSum remainder = sum;
  remainder.add_product(hi, -n_f);
  return {hi, remainder.rounded() / n_f};
}

}  // namespace zorvane::numeric
