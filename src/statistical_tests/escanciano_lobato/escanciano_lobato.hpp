// The Escanciano-Lobato heteroscedasticity-robust automatic portmanteau test.
//
// From a series x_0 .. x_{n-1}, the largest lag d and the switch constant q:
// the robust squared autocorrelations rho~^2_1 .. rho~^2_d, the number of
// lags p~ that maximises L_p = n (rho~^2_1 + ... + rho~^2_p) - pi(p), with
// pi(p) = p ln n when max_j sqrt(n) |rho~_j| <= sqrt(q ln n) and 2p otherwise,
// the statistic n (rho~^2_1 + ... + rho~^2_p~) and its chi-square(1) p-value.
// Source: J. C. Escanciano and I. N. Lobato (2009), Journal of Econometrics
// 151(2), 140-149.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <variant>

#include "statistical_tests/escanciano_lobato/robust_terms.hpp"

namespace zorvane::statistical_tests::escanciano_lobato {

struct TestOutcome {
  std::uint64_t p_tilde;
  double statistic;
  double pvalue;
};

// The robust variance term tau_k is exactly zero at this (smallest) lag.
struct ZeroVariance {
  std::uint64_t lag;
};

// d exceeds the series length: lag n + 1 would have no values to pair.
struct LagBeyondSeries {
  std::uint64_t lag;
  std::uint64_t length;
};

using Refusal = std::variant<ZeroVariance, LagBeyondSeries>;

// One pass over the series: the sum from -0.0 in index order (the mean's
// numerator) and whether any value is NaN. The sum is a chain of dependent
// additions, so the NaN test rides along for free.
struct SeriesScan {
  double sum;
  bool has_nan;
};

[[nodiscard]] SeriesScan scan_series(std::span<const double> series) noexcept;

// Pure and reentrant; reads the series only. Throws only on broken
// invariants of the p-value numerics (std::logic_error) or when the d + 1
// working values cannot be allocated (std::bad_alloc); the working vector is
// never sized by a d beyond n + 1.
[[nodiscard]] std::expected<TestOutcome, Refusal> run_escanciano_lobato(std::span<const double> series,
                                                                       std::uint64_t d, double q);

// The same, with the scan of this series already made (it must be the scan
// of exactly these values) and, for tests and benchmarks, a chosen kernel.
[[nodiscard]] std::expected<TestOutcome, Refusal> run_escanciano_lobato(std::span<const double> series,
                                                                       std::uint64_t d, double q,
                                                                       const SeriesScan& scan,
                                                                       RobustTermsKernel kernel = best_kernel());

}  // namespace zorvane::statistical_tests::escanciano_lobato
