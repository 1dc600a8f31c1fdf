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
#include <optional>
#include <span>
#include <variant>

#include "statistical_tests/escanciano_lobato/interruption.hpp"

namespace zorvane::statistical_tests::escanciano_lobato {

struct TestOutcome {
  std::uint64_t p_tilde;
  double statistic;
  double pvalue;
};

// What the data show of a zero robust variance.
enum class ZeroVarianceCause : std::uint8_t {
  Exact,       // at that lag every pair holds a value equal to the mean
  AllEqual,    // every value is the same
  OutOfRange,  // products of squared deviations underflow: magnitudes too far apart
};

// The robust variance term tau_k is zero at this (smallest) lag: in exact
// arithmetic (Exact; AllEqual, reported at lag 1), or as float64 holds it
// (OutOfRange).
struct ZeroVariance {
  std::uint64_t lag;
  ZeroVarianceCause cause = ZeroVarianceCause::Exact;
};

// d exceeds the series length: lag n + 1 would have no values to pair.
struct LagBeyondSeries {
  std::uint64_t lag;
  std::uint64_t length;
};

// The caller's interruption said stop: the computation was left unfinished.
struct Interrupted {};

using Refusal = std::variant<ZeroVariance, LagBeyondSeries, Interrupted>;

// A series together with what one pass over it gives: the sum from -0.0 in
// index order (the mean's numerator), the largest magnitude of its partial
// sums (2^-53 n times that bounds the sum's rounding error, as each add
// rounds by at most 2^-53 of its result), the smallest and largest value (NaN
// passed over), and whether any value is NaN or infinite. A NaN makes the
// sum NaN and an infinity makes it infinite or NaN,
// so a finite sum proves every value finite; only a sum that is not finite
// (which finite values can also reach, by overflow) costs a second pass. Only
// scan() makes one, so the sum always belongs to the values it travels with.
class ScannedSeries {
 public:
  [[nodiscard]] static ScannedSeries scan(std::span<const double> values) noexcept;
  // Nothing where `interruption` said stop before the pass was done (each
  // value a unit of work).
  [[nodiscard]] static std::optional<ScannedSeries> scan(std::span<const double> values,
                                                         Interruption& interruption) noexcept;

  [[nodiscard]] std::span<const double> values() const noexcept { return values_; }
  [[nodiscard]] double sum() const noexcept { return sum_; }
  [[nodiscard]] double largest_partial_sum() const noexcept { return largest_partial_sum_; }
  [[nodiscard]] double smallest() const noexcept { return smallest_; }
  [[nodiscard]] double largest() const noexcept { return largest_; }
  [[nodiscard]] bool has_nan() const noexcept { return has_nan_; }
  [[nodiscard]] bool has_infinity() const noexcept { return has_infinity_; }

 private:
  ScannedSeries(std::span<const double> values, double sum, double largest_partial_sum, double smallest,
                double largest, bool has_nan, bool has_infinity) noexcept
      : values_(values),
        sum_(sum),
        largest_partial_sum_(largest_partial_sum),
        smallest_(smallest),
        largest_(largest),
        has_nan_(has_nan),
        has_infinity_(has_infinity) {}

  std::span<const double> values_;
  double sum_;
  double largest_partial_sum_;
  double smallest_;  // +inf and -inf for a series without a non-NaN value
  double largest_;
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
//
// Accuracy. For every finite series and every d and q, measured against
// exact arithmetic on the same float64 values (after the scaling below):
// - ZeroVariance (Exact or AllEqual) comes only where some tau_k is exactly
//   zero; OutOfRange only where float64 cannot hold the products of squares;
// - p~ is the exact p~. At an exact tie of two L_p the smaller p wins, as
//   the definition has it; where the exact best and runner-up differ by less
//   than 2^-10 max(1, |best|), either may be returned;
// - the statistic lies within 2^-10 max(1, statistic) of the exact one for
//   that p~ (in practice within a few units of 2^-40 of it);
// - the p-value is the chi-square(1) upper tail of the returned statistic.
// The one exception is a switch that exact arithmetic and the rounded
// terms decide differently: sqrt(n) max |rho~_j| within rounding of
// sqrt(q ln n).
//
// How. The formulas are evaluated from the mean as rounded (the sum in index
// order over n), and the mean's rounding error s shifts every deviation
// alike: a perfectly autocorrelated offset, harmless beside deviations much
// larger than it, decisive beside deviations of a few ulps among outliers or
// on a large offset. A proven bound on what s can move (from the scan, and
// where that is not enough from one measuring pass over the deviations)
// decides whether that answer stands, bit for bit; it stands for data within
// about 10^6 spreads of zero. Elsewhere, and for every refusal, the answer
// is computed again from deviations about the exact mean (the exact sum,
// hi + lo = sum / n, (x - hi) - lo), and a zero tau_k is confirmed against
// the exact mean before it is reported.
//
// Two further answers are fixed:
// - a series of two or more values that are all equal has zero variance at
//   lag 1;
// - the outcome does not depend on the scale of the data: a series whose
//   largest magnitude lies outside [2^-100, 2^100) is first multiplied by
//   the power of two that brings it into [1, 2), so that fourth powers of
//   deviations neither overflow nor underflow (a zero tau_k that is left,
//   with two non-zero deviations in a pair, has cause OutOfRange). A power of two scales every
//   intermediate exactly, so inside that range the data are used as they
//   are, and x * 2^k gives x's outcome bit for bit whenever both hold only
//   finite normal values.
[[nodiscard]] std::expected<TestOutcome, Refusal> run_escanciano_lobato(const ScannedSeries& series,
                                                                       std::uint64_t d, double q);

// The same, stopping with Interrupted, at the next chunk of work, once
// `interruption` says stop (the robust terms count each (t, k) pair as a unit
// of work, each pass over the series each value). An answer that is returned
// is the one the call without it gives, bit for bit.
[[nodiscard]] std::expected<TestOutcome, Refusal> run_escanciano_lobato(const ScannedSeries& series,
                                                                       std::uint64_t d, double q,
                                                                       Interruption& interruption);

[[nodiscard]] std::expected<TestOutcome, Refusal> run_escanciano_lobato(std::span<const double> series,
                                                                       std::uint64_t d, double q);

}  // namespace zorvane::statistical_tests::escanciano_lobato
