// Regularized lower incomplete gamma function, power series and continued fraction.
#include "numeric/incomplete_gamma.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

#include "numeric/elementary.hpp"
#include "numeric/log_gamma.hpp"

namespace zorvane::numeric {
namespace {

// Both loops stop once a step changes the result by at most this much
// relative to it: about 4.5 units of 2**-52, not the machine epsilon itself.
inline constexpr double kRelativeTolerance = 1e-15;
inline constexpr double kTiny = 1.1102230246251565e-15;          // 5 * 2**-52
inline constexpr double kMaxLog = -709.782712893384;             // -1024 * ln 2
inline constexpr double kBig = 4503599627370496.0;               // 2**52
inline constexpr double kBigInverse = 2.220446049250313e-16;     // 2**-52

// x^a e^-x / Gamma(a + 1) times the series sum_n x^n / ((a + 1) ... (a + n)).
double lower_series(double a, double x, double ax) noexcept {
  double r = a;
  double c = 1.0;
  double s = 1.0;
  do {
    r = r + 1.0;
    c = c * (x / r);  // the quotient first, then the product
    s = s + c;
  } while (c / s > kRelativeTolerance);
  return (numeric::exp(ax) * s) / a;
}

// 1 - Q(a, x), Q by its continued fraction (Cephes igamc).
double complement_by_continued_fraction(double a, double x, double ax) noexcept {
  double y = 1.0 - a;
  double z = (x + y) + 1.0;
  std::int32_t c = 0;
  double p3 = 1.0;
  double q3 = x;
  double p2 = x + 1.0;
  double q2 = z * x;
  double ans = p2 / q2;
  for (;;) {
    y = y + 1.0;
    z = z + 2.0;
    c = c + 1;
    const double yc = y * static_cast<double>(c);
    const double p = p2 * z - p3 * yc;
    const double q = q2 * z - q3 * yc;
    p3 = p2;
    p2 = p;
    q3 = q2;
    q2 = q;
    if (std::fabs(p) > kBig) {
      p3 = p3 * kBigInverse;
      p2 = p2 * kBigInverse;
      q3 = q3 * kBigInverse;
      q2 = q2 * kBigInverse;
    }
    if (q != 0.0) {
      // p and q as computed above, before any rescaling
      const double next = p / q;
      const double err = std::fabs((ans - next) / next);
      ans = next;
      if (err <= kRelativeTolerance) {
        break;
      }
    }
  }
  return 1.0 - numeric::exp(ax) * ans;
}

}  // namespace

std::string_view to_string(GammaArgumentError kind) noexcept {
  switch (kind) {
    case GammaArgumentError::AInvalid:
      return "AInvalid";
    case GammaArgumentError::XInvalid:
      return "XInvalid";
  }
  return "unknown";
}

std::ostream& operator<<(std::ostream& out, GammaArgumentError kind) { return out << to_string(kind); }

std::expected<double, GammaArgumentError> regularized_lower_gamma(double a, double x) noexcept {
  return regularized_lower_gamma(a, x, log_gamma(a));
}

std::expected<double, GammaArgumentError> regularized_lower_gamma(double a, double x, double log_gamma_a) noexcept {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  // NaN in, NaN out
  if (std::isnan(a) || std::isnan(x)) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  // outside the domain
  if (a <= 0.0 || a == kInfinity) {
    return std::unexpected(GammaArgumentError::AInvalid);
  }
  if (x <= 0.0 || x == kInfinity) {
    return std::unexpected(GammaArgumentError::XInvalid);
  }
  // a indistinguishable from zero
  if (std::fabs(a) <= kTiny) {
    return 1.0;
  }
  // x indistinguishable from zero
  if (std::fabs(x) <= kTiny) {
    return 0.0;
  }
  // ax = ln(x^a e^-x / Gamma(a)), left to right
  const double ax = (a * numeric::log(x) - x) - log_gamma_a;
  // x^a e^-x underflows: the answer is one of the limits
  if (ax < kMaxLog) {
    return a < x ? 1.0 : 0.0;
  }
  // power series
  if (x <= 1.0 || x <= a) {
    return lower_series(a, x, ax);
  }
  // complement by continued fraction
  return complement_by_continued_fraction(a, x, ax);
}

}  // namespace zorvane::numeric
