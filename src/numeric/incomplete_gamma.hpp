// Regularized lower incomplete gamma function P(a, x) = gamma(a, x) / Gamma(a).
//
// Method (after Cephes igam/igamc): the power series
//   P(a, x) = x^a e^-x / Gamma(a + 1) * sum_n x^n / ((a + 1) ... (a + n))
// for x <= 1 or x <= a, otherwise 1 - Q(a, x) with Q from its continued
// fraction, rescaled by 2**-52 whenever a numerator passes 2**52. Both loops
// stop on a relative tolerance of 1e-15 and have no iteration limit.
// Sources: S. L. Moshier, Cephes Math Library, igam.c; Abramowitz and Stegun
// 6.5.29 and 6.5.31.
#pragma once

#include <cstdint>
#include <expected>
#include <ostream>
#include <string_view>

namespace zorvane::numeric {

// Why regularized_lower_gamma refused its arguments.
enum class GammaArgumentError : std::uint8_t {
  AInvalid = 0,
  XInvalid = 1,
};

[[nodiscard]] std::string_view to_string(GammaArgumentError kind) noexcept;
std::ostream& operator<<(std::ostream& out, GammaArgumentError kind);

// NaN in either argument gives NaN (a value, not an error).
[[nodiscard]] std::expected<double, GammaArgumentError> regularized_lower_gamma(double a, double x) noexcept;
// The same with log_gamma(a) computed once by the caller, for many x at one a.
[[nodiscard]] std::expected<double, GammaArgumentError> regularized_lower_gamma(double a, double x,
                                                                                double log_gamma_a) noexcept;

}  // namespace zorvane::numeric
