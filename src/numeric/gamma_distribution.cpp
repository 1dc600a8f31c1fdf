// Gamma and chi-square distributions: construction and distribution function.
#include "numeric/gamma_distribution.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "numeric/incomplete_gamma.hpp"
#include "numeric/log_gamma.hpp"

namespace zorvane::numeric {
namespace {

inline constexpr double kUlpsEpsilon = 2.220446049250313e-16;  // 2**-52
inline constexpr std::uint64_t kMaxUlps = 4;
inline constexpr double kChiSquareRate = 0.5;

}  // namespace

std::string_view to_string(GammaParameterError kind) noexcept {
  switch (kind) {
    case GammaParameterError::ShapeInvalid:
      return "ShapeInvalid";
    case GammaParameterError::RateInvalid:
      return "RateInvalid";
    case GammaParameterError::ShapeAndRateInfinite:
      return "ShapeAndRateInfinite";
  }
  return "unknown";
}

std::ostream& operator<<(std::ostream& out, GammaParameterError kind) { return out << to_string(kind); }

bool ulps_equal(double x, double y) noexcept {
  if (std::fabs(x - y) <= kUlpsEpsilon) {
    return true;
  }
  // a NaN has no sign and never matches
  if (std::isnan(x) || std::isnan(y) || std::signbit(x) != std::signbit(y)) {
    return false;
  }
  const auto bits_x = std::bit_cast<std::uint64_t>(x);
  const auto bits_y = std::bit_cast<std::uint64_t>(y);
  return (bits_x > bits_y ? bits_x - bits_y : bits_y - bits_x) <= kMaxUlps;
}

GammaDistribution::GammaDistribution(double shape, double rate) noexcept
    : shape_(shape), rate_(rate), log_gamma_shape_(log_gamma(shape)) {}

double GammaDistribution::cdf(double x) const {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  // below the support (both zeros; false for NaN)
  if (x <= 0.0) {
    return 0.0;
  }
  // degenerate distributions with an infinite rate
  if (ulps_equal(x, shape_) && rate_ == kInfinity) {
    return 1.0;
  }
  if (rate_ == kInfinity) {
    return 0.0;
  }
  // above the support
  if (x == kInfinity) {
    return 1.0;
  }
  const auto p = regularized_lower_gamma(shape_, x * rate_, log_gamma_shape_);
  if (!p) {
    throw std::logic_error("regularized lower gamma: " + std::string(to_string(p.error())));
  }
  return *p;
}

std::expected<ChiSquareDistribution, GammaParameterError> ChiSquareDistribution::create(double freedom) noexcept {
  const double shape = 0.5 * freedom;
  // false for NaN
  if (!(shape > 0.0)) {
    return std::unexpected(GammaParameterError::ShapeInvalid);
  }
  return ChiSquareDistribution(freedom, GammaDistribution(shape, kChiSquareRate));
}

}  // namespace zorvane::numeric
