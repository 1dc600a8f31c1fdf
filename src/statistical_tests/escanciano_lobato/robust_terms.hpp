// Robust squared autocorrelations rho~^2_k of the Escanciano-Lobato test.
//
// For lag k with m = n - k pairs, u_t = x_t - mean and v_t = x_{t+k} - mean:
//   G_k = sum u_t v_t,  T_k = sum (u_t u_t)(v_t v_t),  t = 0 .. m-1,
// each one accumulator from -0.0 adding its terms in increasing t;
//   gamma_k = G_k / m,  tau_k = T_k / m,  rho~^2_k = (gamma_k gamma_k) / tau_k.
// Source: J. C. Escanciano and I. N. Lobato (2009), "An automatic Portmanteau
// test for serial correlation", Journal of Econometrics 151(2), 140-149.
#pragma once

#include <cstdint>
#include <span>

namespace zorvane::statistical_tests::escanciano_lobato {

// Smallest lag whose tau_k compares equal to zero, or 0 when there is none.
using ZeroLag = std::uint64_t;

// Writes rho~^2_k into slots[k] for k = 1 .. last_lag, in increasing k, and
// stops at the first lag whose robust variance term is zero (returning it;
// slots from that lag on are unspecified). Requires last_lag <= x.size() and
// slots.size() > last_lag. The straightforward loop: one pass per sum.
[[nodiscard]] ZeroLag robust_terms_reference(std::span<const double> x, double mean, std::uint64_t last_lag,
                                             std::span<double> slots) noexcept;

}  // namespace zorvane::statistical_tests::escanciano_lobato
