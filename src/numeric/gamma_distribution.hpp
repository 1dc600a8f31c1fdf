// Gamma and chi-square distributions: construction and distribution function.
//
// The chi-square distribution with nu degrees of freedom is the gamma
// distribution with shape nu / 2 and rate 1 / 2; its distribution function
// at x is P(shape, rate * x), the regularized lower incomplete gamma function.
#pragma once

#include <cstdint>
#include <expected>
#include <ostream>
#include <string_view>

namespace zorvane::numeric {

// Why a gamma (or chi-square) distribution could not be constructed.
enum class GammaParameterError : std::uint8_t {
  ShapeInvalid = 0,
  RateInvalid = 1,
  ShapeAndRateInfinite = 2,
};

[[nodiscard]] std::string_view to_string(GammaParameterError kind) noexcept;
std::ostream& operator<<(std::ostream& out, GammaParameterError kind);

// Both parameters are greater than zero once constructed.
class GammaDistribution {
 public:
  [[nodiscard]] double shape() const noexcept { return shape_; }
  [[nodiscard]] double rate() const noexcept { return rate_; }

  // P(X <= x). A failure of the incomplete gamma function inside is a broken
  // invariant and throws std::logic_error whose message ends in ": <kind>".
  [[nodiscard]] double cdf(double x) const;

 private:
  friend class ChiSquareDistribution;
  GammaDistribution(double shape, double rate) noexcept;

  double shape_;
  double rate_;
  double log_gamma_shape_;  // the same for every x: computed once
};

class ChiSquareDistribution {
 public:
  [[nodiscard]] static std::expected<ChiSquareDistribution, GammaParameterError> create(double freedom) noexcept;

  [[nodiscard]] double freedom() const noexcept { return freedom_; }
  [[nodiscard]] const GammaDistribution& gamma() const noexcept { return gamma_; }
  [[nodiscard]] double cdf(double x) const { return gamma_.cdf(x); }

 private:
  ChiSquareDistribution(double freedom, GammaDistribution gamma) noexcept : freedom_(freedom), gamma_(gamma) {}

  double freedom_;
  GammaDistribution gamma_;
};

// |x - y| <= 2**-52, or same sign and bit patterns at most 4 apart.
[[nodiscard]] bool ulps_equal(double x, double y) noexcept;

}  // namespace zorvane::numeric
