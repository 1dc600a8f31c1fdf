// The Escanciano-Lobato test: mean, robust terms, penalty switch, lag selection, p-value.
#include "statistical_tests/escanciano_lobato/escanciano_lobato.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "numeric/gamma_distribution.hpp"
#include "statistical_tests/escanciano_lobato/escanciano_lobato_with_kernel.hpp"
#include "statistical_tests/escanciano_lobato/lag_selection.hpp"
#include "statistical_tests/escanciano_lobato/robust_terms.hpp"

namespace zorvane::statistical_tests::escanciano_lobato {
namespace {

// True when no lag k = 1 .. n can have tau_k == 0, decided in one pass.
//
// Every term of T_k is a product s_t s_{t+k} of two squared deviations
// s = (x - mean)(x - mean). With every s non-zero and s_min the smallest
// (NaN and infinity never compare below it), each term is NaN, infinite or,
// rounding being monotone, at least s_min s_min. A sum of such terms is NaN,
// infinite or at least s_min s_min, so tau_k = T_k / m with m <= n is NaN,
// infinite or at least (s_min s_min) / n. When that quotient does not
// underflow to zero, no tau_k is zero. (Lag n has no pairs: its tau is 0/0.)
bool robust_variances_nonzero(std::span<const double> x, double mean) noexcept {
  double smallest = std::numeric_limits<double>::infinity();
  for (const double value : x) {
    const double deviation = value - mean;
    const double square = deviation * deviation;
    if (square == 0.0) {
      return false;
    }
    smallest = square < smallest ? square : smallest;
  }
  return (smallest * smallest) / static_cast<double>(x.size()) > 0.0;
}

// Largest magnitudes in [kLowestUnscaled, kHighestUnscaled) are used as
// they are: with n < 2^53 values, sums of fourth powers of deviations stay
// below 2^470, and only deviations below 2^-300 of the largest magnitude
// could make a product of squares subnormal.
constexpr double kLowestUnscaled = 0x1p-100;
constexpr double kHighestUnscaled = 0x1p100;

// x * 2^e for every value: exact where the result is normal (a subnormal one
// rounds, twice where e lies beyond the normal exponents: 2^e is then no
// double and is applied in two steps).
std::vector<double> scaled_by_power_of_two(std::span<const double> x, int e) {
  const auto power = [](int k) {  // 2^k for -1022 <= k <= 1023, from its bits
    return std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52);
  };
  std::vector<double> y(x.size());
  if (e >= -1022 && e <= 1023) {
    const double factor = power(e);
    std::transform(x.begin(), x.end(), y.begin(), [factor](double v) { return v * factor; });
  } else {
    const int first = e / 2;
    const double factor1 = power(first);
    const double factor2 = power(e - first);
    std::transform(x.begin(), x.end(), y.begin(), [factor1, factor2](double v) { return (v * factor1) * factor2; });
  }
  return y;
}

// a * b = product + error exactly (Dekker, with Veltkamp's split), where
// neither the product nor the split overflows; no fused multiply-add.
struct ExactProduct {
  double product;
  double error;
};

ExactProduct exact_product(double a, double b) noexcept {
  const auto split = [](double v) {
    const double scaled = 0x1.0000002p+27 * v;  // 2^27 + 1
    const double high = scaled - (scaled - v);
    return std::pair{high, v - high};
  };
  const auto [a_high, a_low] = split(a);
  const auto [b_high, b_low] = split(b);
  const double product = a * b;
  const double error = (((a_high * b_high - product) + a_high * b_low) + a_low * b_high) + a_low * b_low;
  return {product, error};
}

// The exact mean less the rounded one, to a few ulps of itself: the exact
// sum is sum + sum_error, and sum - mean n is exact (the two are within a
// rounding of each other) once mean n is split into its exact parts.
double mean_correction(const ScannedSeries& series, double mean) noexcept {
  const auto n_f = static_cast<double>(series.values().size());
  const ExactProduct formed = exact_product(mean, n_f);
  return (((series.sum() - formed.product) - formed.error) + series.sum_error()) / n_f;
}

// The mean of |x_t - mean|, for a comparison only: four accumulators, so
// the pass is not bound by the latency of one chain of adds.
double mean_absolute_deviation(std::span<const double> x, double mean) noexcept {
  std::array<double, 4> sums{};
  std::size_t t = 0;
  for (; t + 4 <= x.size(); t += 4) {
    for (std::size_t lane = 0; lane < 4; ++lane) {
      sums[lane] += std::fabs(x[t + lane] - mean);
    }
  }
  for (; t < x.size(); ++t) {
    sums[0] += std::fabs(x[t] - mean);
  }
  return ((sums[0] + sums[1]) + (sums[2] + sums[3])) / static_cast<double>(x.size());
}

// Why tau_k came out zero: where some pair at lag k has two non-zero
// deviations, their product of squares underflowed.
ZeroVarianceCause zero_cause(std::span<const double> x, double mean, std::uint64_t lag) noexcept {
  for (std::size_t t = 0; t + lag < x.size(); ++t) {
    if (x[t] - mean != 0.0 && x[t + lag] - mean != 0.0) {
      return ZeroVarianceCause::OutOfRange;
    }
  }
  return ZeroVarianceCause::Exact;
}

// The answer about deviations from `mean`, as the formulas round it.
std::expected<TestOutcome, Refusal> answer_about(std::span<const double> x, double mean, std::uint64_t d, double q,
                                                 RobustTermsKernel kernel) {
  const std::uint64_t n = x.size();
  const auto n_f = static_cast<double>(n);
  // Lags beyond n have no pairs. A zero robust variance at a lag up to n is
  // reported before the refusal, so those lags are computed first, unless
  // one pass shows that none of them can be zero.
  if (d > n && robust_variances_nonzero(x, mean)) {
    return std::unexpected(LagBeyondSeries{n + 1, n});
  }
  // The vector is sized by the lags actually computed.
  const std::uint64_t last_lag = std::min(d, n);
  std::vector<double> rho_tilde_sq(static_cast<std::size_t>(last_lag) + 1, 0.0);
  if (const ZeroLag lag = kernel(x, mean, last_lag, rho_tilde_sq); lag != 0) {
    return std::unexpected(ZeroVariance{lag, zero_cause(x, mean, lag)});
  }
  if (d > n) {
    return std::unexpected(LagBeyondSeries{n + 1, n});
  }

  // d = 0 selects nothing and takes no logarithm
  const LagSelection selection = d == 0 ? LagSelection{0, -0.0, false} : select_lag(rho_tilde_sq, d, n_f, q);
  const double statistic = selection.sum * n_f;

  // Cannot fail for one degree of freedom; kept as the internal failure it
  // would be, should the construction ever change. Made once (its log-gamma
  // term is the same for every statistic); the initialisation is thread-safe.
  static const auto chi_square = numeric::ChiSquareDistribution::create(1.0);
  if (!chi_square) {
    throw std::logic_error("freedom = 1: " + std::string(numeric::to_string(chi_square.error())));
  }
  // 1 - cdf, as the reference forms it; no separate upper-tail function
  const double pvalue = 1.0 - chi_square->cdf(statistic);
  return TestOutcome{selection.p_tilde, statistic, pvalue};
}

// Whether two answers agree as far as rounding noise may move one: the same
// refusal, or the same p~ and statistics within 2^-10 of 1 + their size.
bool same_answer(const std::expected<TestOutcome, Refusal>& rounded,
                 const std::expected<TestOutcome, Refusal>& exact) noexcept {
  if (rounded.has_value() != exact.has_value()) {
    return false;
  }
  if (!rounded) {
    const auto* first = std::get_if<ZeroVariance>(&rounded.error());
    const auto* second = std::get_if<ZeroVariance>(&exact.error());
    return first != nullptr && second != nullptr && first->lag == second->lag;
  }
  return rounded->p_tilde == exact->p_tilde &&
         std::fabs(rounded->statistic - exact->statistic) <= 0x1p-10 * (1.0 + std::fabs(exact->statistic));
}

}  // namespace

ScannedSeries ScannedSeries::scan(std::span<const double> values) noexcept {
  // One accumulator from -0.0 in index order: the mean's bits depend on it.
  // The extremes and each add's exact rounding error (TwoSum) ride along:
  // they are off the add chain that bounds this loop. A NaN compares false
  // and is passed over.
  double sum = -0.0;
  double sum_error = 0.0;
  double smallest = std::numeric_limits<double>::infinity();
  double largest = -std::numeric_limits<double>::infinity();
  for (const double value : values) {
    const double next = sum + value;
    const double value_part = next - sum;
    sum_error = sum_error + ((sum - (next - value_part)) + (value - value_part));
    sum = next;
    smallest = value < smallest ? value : smallest;
    largest = value > largest ? value : largest;
  }
  bool has_nan = false;
  bool has_infinity = false;
  if (!std::isfinite(sum)) {
    for (const double value : values) {
      has_nan |= value != value;
      has_infinity |= value == std::numeric_limits<double>::infinity() ||
                      value == -std::numeric_limits<double>::infinity();
    }
  }
  return {values, sum, sum_error, smallest, largest, has_nan, has_infinity};
}

std::expected<TestOutcome, Refusal> run_escanciano_lobato(std::span<const double> series, std::uint64_t d, double q) {
  return run_escanciano_lobato(ScannedSeries::scan(series), d, q);
}

std::expected<TestOutcome, Refusal> run_escanciano_lobato(const ScannedSeries& series, std::uint64_t d, double q) {
  return run_escanciano_lobato_with(series, d, q, best_kernel(d));
}

std::expected<TestOutcome, Refusal> run_escanciano_lobato_with(const ScannedSeries& series, std::uint64_t d, double q,
                                                               RobustTermsKernel kernel) {
  const std::uint64_t length = series.values().size();
  const bool finite = !series.has_nan() && !series.has_infinity();
  // All equal: exact arithmetic has every deviation zero (one value has no pairs at lag 1)
  if (finite && length >= 2 && d >= 1 && series.smallest() == series.largest()) {
    return std::unexpected(ZeroVariance{1, ZeroVarianceCause::AllEqual});
  }
  // (an empty series has no magnitude: its extremes are the infinities)
  const double magnitude = length == 0 ? 1.0 : std::max(std::fabs(series.smallest()), std::fabs(series.largest()));
  if (finite && magnitude != 0.0 && (magnitude < kLowestUnscaled || magnitude >= kHighestUnscaled)) {
    const std::vector<double> scaled = scaled_by_power_of_two(series.values(), -std::ilogb(magnitude));
    return run_escanciano_lobato_with(ScannedSeries::scan(scaled), d, q, kernel);
  }
  const std::span<const double> x = series.values();
  const auto n_f = static_cast<double>(x.size());
  const double mean = series.sum() / n_f;
  auto answer = answer_about(x, mean, d, q, kernel);
  if (!finite || d > length) {
    return answer;
  }
  // The measured error of the mean shifts every deviation by the same
  // amount. Only where that shift is not tiny beside the typical deviation
  // can it move the answer; the range bounds the typical deviation from
  // below by range / n (one outlier among equal values), at no cost, and the
  // mean absolute deviation, one more pass, says it where that is not enough.
  const double correction = std::fabs(mean_correction(series, mean));
  if (!(correction * n_f > 0x1p-30 * (series.largest() - series.smallest())) ||
      !(correction > 0x1p-24 * mean_absolute_deviation(x, mean))) {
    return answer;
  }
  std::vector<double> deviations(x.size());
  const double signed_correction = mean_correction(series, mean);
  std::transform(x.begin(), x.end(), deviations.begin(),
                 [mean, signed_correction](double value) { return (value - mean) - signed_correction; });
  if (!same_answer(answer, answer_about(deviations, 0.0, d, q, kernel))) {
    return std::unexpected(ZeroVariance{1, ZeroVarianceCause::RoundingNoise});
  }
  return answer;
}

}  // namespace zorvane::statistical_tests::escanciano_lobato
