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

// A series together with what one pass over it gives: the sum from -0.0 in
// index order (the mean's numerator), and whether any value is NaN or
// infinite. A NaN makes the sum NaN and an infinity makes it infinite or NaN,
// so a finite sum proves every value finite; only a sum that is not finite
// (which finite values can also reach, by overflow) costs a second pass. Only
// scan() makes one, so the sum always belongs to the values it travels with.
class ScannedSeries {
 public:
  [[nodiscard]] static ScannedSeries scan(std::span<const double> values) noexcept;

  [[nodiscard]] std::span<const double> values() const noexcept { return values_; }
  [[nodiscard]] double sum() const noexcept { return sum_; }
  [[nodiscard]] bool has_nan() const noexcept { return has_nan_; }
  [[nodiscard]] bool has_infinity() const noexcept { return has_infinity_; }

 private:
  ScannedSeries(std::span<const double> values, double sum, bool has_nan, bool has_infinity) noexcept
      : values_(values), sum_(sum), has_nan_(has_nan), has_infinity_(has_infinity) {}

  std::span<const double> values_;
  double sum_;
  bool has_nan_;
  bool has_infinity_;
};

// Pure and reentrant; reads the series only. Throws only on broken
// invariants of the p-value numerics (std::logic_error) or when the d + 1
// working values cannot be allocated (std::bad_alloc); the working vector is
// never sized by a d beyond n + 1.
//
// A d beyond n is refused with LagBeyondSeries, unless some lag up to n has a
// zero robust variance, which is reported first. When the data show in one
// pass that no such lag exists, the refusal comes without computing any lag.
[[nodiscard]] std::expected<TestOutcome, Refusal> run_escanciano_lobato(const ScannedSeries& series,
                                                                       std::uint64_t d, double q);

[[nodiscard]] std::expected<TestOutcome, Refusal> run_escanciano_lobato(std::span<const double> series,
                                                                       std::uint64_t d, double q);

}  // namespace zorvane::statistical_tests::escanciano_lobato
