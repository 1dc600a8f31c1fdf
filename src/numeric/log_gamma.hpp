// Natural logarithm of the gamma function.
//
// Method: Lanczos approximation with g = 10.900511 and eleven coefficients,
// ln Gamma(x) = ln s + ln(2 sqrt(e/pi)) + (x - 1/2) ln((x - 1/2 + g) / e),
// s = c_0 + sum_k c_k / (x + k - 1); below 1/2 the reflection formula
// Gamma(x) Gamma(1 - x) = pi / sin(pi x) is applied to the same series.
// Every operation is written in the order that fixes the result bits; the
// build forbids contraction into fused multiply-adds.
#pragma once

namespace zorvane::numeric {

// Total: NaN gives NaN, no failure result.
[[nodiscard]] double log_gamma(double x) noexcept;

}  // namespace zorvane::numeric
