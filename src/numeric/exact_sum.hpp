// Exact sums of doubles, and the mean they give to twice double precision.
//
// The sum is kept as a nonoverlapping expansion: a few doubles, increasing
// in magnitude, whose exact sum is the sum of everything added so far.
// Each addition runs the error-free two-sum through the expansion (Shewchuk,
// "Adaptive precision floating-point arithmetic and fast robust geometric
// predicates", Discrete & Computational Geometry 18, 1997, grow-expansion
// with zero elimination). Data whose values share a few binades keep two or
// three parts; the worst case is bounded by the exponent range (about 40).
//
// Correct while no partial sum overflows; the caller keeps magnitudes well
// inside the range.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace zorvane::numeric {

class ExactSum {
 public:
  void add(double value);
  // The products value * factor, exactly (split products; no fused
  // multiply-add, so every compiler gives the same parts).
  void add_product(double value, double factor);
  void add(std::span<const double> values);

  // The sum rounded once to the nearest double (ties to even).
  [[nodiscard]] double rounded() const noexcept;
  [[nodiscard]] bool is_zero() const noexcept { return parts_.empty(); }

 private:
  std::vector<double> parts_;  // increasing magnitude, nonoverlapping, no zeros
};

// The exact mean sum / n as hi + lo: hi the double nearest the quotient of
// the rounded sum, lo the remainder's rounded quotient. |mean - (hi + lo)|
// is within a few units of 2^-104 |mean|, and where the exact mean is a
// double, hi + lo is exactly it (lo is then the exact difference, or zero).
struct TwoPartMean {
  double hi;
  double lo;
};
[[nodiscard]] TwoPartMean two_part_mean(const ExactSum& sum, std::uint64_t n);

}  // namespace zorvane::numeric
