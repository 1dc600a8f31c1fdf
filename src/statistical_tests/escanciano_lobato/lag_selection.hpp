// Penalised lag selection of the Escanciano-Lobato test.
//
// With lambda = ln n, A = sqrt(q lambda) and B = sqrt(n) max_j sqrt(rho~^2_j),
// the penalty is pi(p) = p lambda when A >= B and 2p otherwise (also when A
// or B is NaN); p~ is the first p in 1 .. d that maximises
// L_p = (rho~^2_1 + ... + rho~^2_p) n - pi(p), and 0 when every L_p is NaN.
#pragma once

#include <cstdint>
#include <span>

namespace zorvane::statistical_tests::escanciano_lobato {

struct LagSelection {
  std::uint64_t p_tilde;
  double sum;                 // rho~^2_1 + ... + rho~^2_p~ from -0.0; -0.0 when p~ = 0
  bool logarithmic_penalty;   // which side of the penalty switch applied
  double criterion;           // L_p~ (-inf when p~ = 0)
};

// slots[0] is 0.0 and slots[k] = rho~^2_k for k = 1 .. d; requires d >= 1.
[[nodiscard]] LagSelection select_lag(std::span<const double> slots, std::uint64_t d, double n_f, double q) noexcept;

}  // namespace zorvane::statistical_tests::escanciano_lobato
