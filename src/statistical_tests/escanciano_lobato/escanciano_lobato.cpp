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

// The deviations from the rounded mean, summed with and without their signs.
// In exact arithmetic the signed sum is n (exact mean - rounded mean): the
// shift that the mean's rounding error puts into every deviation, which the
// corrected two-pass algorithm measures this way. Its own rounding is at most
// about 2^-53 n times the absolute sum, far below what is asked of it. Four
// accumulators, in no particular order: a comparison only, and a pass the
// compiler can give to vectors.
struct DeviationSums {
  double signed_sum;
  double absolute_sum;
};

DeviationSums deviation_sums(std::span<const double> x, double mean) noexcept {
  constexpr std::size_t kLanes = 4;
  std::array<double, kLanes> signed_sums{};
  std::array<double, kLanes> absolute_sums{};
  std::size_t t = 0;
  for (; t + kLanes <= x.size(); t += kLanes) {
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      const double deviation = x[t + lane] - mean;
      signed_sums[lane] += deviation;
      absolute_sums[lane] += std::fabs(deviation);
    }
  }
  for (; t < x.size(); ++t) {
    const double deviation = x[t] - mean;
    signed_sums[0] += deviation;
    absolute_sums[0] += std::fabs(deviation);
  }
  return {(signed_sums[0] + signed_sums[1]) + (signed_sums[2] + signed_sums[3]),
          (absolute_sums[0] + absolute_sums[1]) + (absolute_sums[2] + absolute_sums[3])};
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
                                                 RobustTermsKernel kernel, Interruption& interruption) {
  const std::uint64_t n = x.size();
  const auto n_f = static_cast<double>(n);
  // Lags beyond n have no pairs. A zero robust variance at a lag up to n is
  // reported before the refusal, so those lags are computed first, unless
  // one pass shows that none of them can be zero.
  if (d > n) {
    const bool nonzero = robust_variances_nonzero(x, mean);
    if (interruption.advance(n)) {
      return std::unexpected(Interrupted{});
    }
    if (nonzero) {
      return std::unexpected(LagBeyondSeries{n + 1, n});
    }
  }
  // The working values are sized by the lags actually computed: on the
  // stack up to 63 lags (the default d of every series below 64^5 values),
  // allocated beyond.
  const std::uint64_t last_lag = std::min(d, n);
  constexpr std::size_t kOnStack = 64;
  std::array<double, kOnStack> on_stack{};
  std::vector<double> on_heap;
  const auto slots = static_cast<std::size_t>(last_lag) + 1;
  if (slots > kOnStack) {
    on_heap.assign(slots, 0.0);
  }
  const std::span<double> rho_tilde_sq = on_heap.empty() ? std::span<double>(on_stack).first(slots)
                                                         : std::span<double>(on_heap);
  const ZeroLag lag = kernel(x, mean, last_lag, rho_tilde_sq, interruption);
  if (interruption.stopped()) {
    return std::unexpected(Interrupted{});
  }
  if (lag != 0) {
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
  Interruption never;
  return *scan(values, never);
}

std::optional<ScannedSeries> ScannedSeries::scan(std::span<const double> values, Interruption& interruption) noexcept {
  // One accumulator from -0.0 in index order: the mean's bits depend on it.
  // The extremes and the bound on its rounding error ride along: they are
  // off the add chain that bounds this loop. A NaN compares false and is
  // passed over. The interruption is asked between chunks of the one chain.
  constexpr std::size_t kChunk = std::size_t{1} << 16;
  double sum = -0.0;
  double magnitudes = 0.0;
  double smallest = std::numeric_limits<double>::infinity();
  double largest = -std::numeric_limits<double>::infinity();
  for (std::size_t begin = 0; begin < values.size(); begin += kChunk) {
    const std::size_t end = std::min(values.size() - begin, kChunk) + begin;
    for (std::size_t t = begin; t < end; ++t) {
      const double value = values[t];
      sum = sum + value;
      magnitudes = magnitudes + std::fabs(sum);
      smallest = value < smallest ? value : smallest;
      largest = value > largest ? value : largest;
    }
    if (interruption.advance(end - begin)) {
      return std::nullopt;
    }
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
  return ScannedSeries{values, sum, magnitudes, smallest, largest, has_nan, has_infinity};
}

std::expected<TestOutcome, Refusal> run_escanciano_lobato(std::span<const double> series, std::uint64_t d, double q) {
  return run_escanciano_lobato(ScannedSeries::scan(series), d, q);
}

std::expected<TestOutcome, Refusal> run_escanciano_lobato(const ScannedSeries& series, std::uint64_t d, double q) {
  Interruption never;
  return run_escanciano_lobato_with(series, d, q, best_kernel(d), never);
}

std::expected<TestOutcome, Refusal> run_escanciano_lobato(const ScannedSeries& series, std::uint64_t d, double q,
                                                          Interruption& interruption) {
  return run_escanciano_lobato_with(series, d, q, best_kernel(d), interruption);
}

std::expected<TestOutcome, Refusal> run_escanciano_lobato_with(const ScannedSeries& series, std::uint64_t d, double q,
                                                               RobustTermsKernel kernel) {
  Interruption never;
  return run_escanciano_lobato_with(series, d, q, kernel, never);
}

std::expected<TestOutcome, Refusal> run_escanciano_lobato_with(const ScannedSeries& series, std::uint64_t d, double q,
                                                               RobustTermsKernel kernel, Interruption& interruption) {
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
    const std::optional<ScannedSeries> rescanned = ScannedSeries::scan(scaled, interruption);
    if (!rescanned) {
      return std::unexpected(Interrupted{});
    }
    return run_escanciano_lobato_with(*rescanned, d, q, kernel, interruption);
  }
  const std::span<const double> x = series.values();
  const auto n_f = static_cast<double>(x.size());
  const double mean = series.sum() / n_f;
  auto answer = answer_about(x, mean, d, q, kernel, interruption);
  if (!finite || d > length || interruption.stopped()) {
    return answer;
  }
  // The rounding error of the mean shifts every deviation by the same
  // amount. Only where that shift is not tiny beside the typical deviation
  // can it move the answer. First a bound, at no cost: the sum's error is at
  // most 2^-53 of its partial sums' magnitudes (2^-52 leaves room for the
  // rounding of that sum itself), the division's at most 2^-53 of the mean,
  // and the range bounds the typical deviation from below by range / n (one
  // outlier among equal values). A shift below 2^-20 of the typical
  // deviation moves the answer by some 2^-20 of itself, far inside the 2^-10
  // that would refuse it.
  const double range = series.largest() - series.smallest();
  const double bound = 0x1p-52 * series.partial_sum_magnitudes() + 0x1p-53 * std::fabs(mean) * n_f;
  if (!(bound > 0x1p-20 * range)) {
    return answer;
  }
  // Then the shift itself, measured, against the range and against the mean
  // absolute deviation.
  const DeviationSums sums = deviation_sums(x, mean);
  if (interruption.advance(x.size())) {
    return std::unexpected(Interrupted{});
  }
  if (!(std::fabs(sums.signed_sum) > 0x1p-20 * range) ||
      !(std::fabs(sums.signed_sum) > 0x1p-20 * sums.absolute_sum)) {
    return answer;
  }
  // The answer about deviations from the exact mean: where it differs, the
  // rounding noise moved the answer.
  const double shift = sums.signed_sum / n_f;  // the exact mean less the rounded one
  std::vector<double> deviations(x.size());
  std::transform(x.begin(), x.end(), deviations.begin(), [mean, shift](double value) { return (value - mean) - shift; });
  const auto exact = answer_about(deviations, 0.0, d, q, kernel, interruption);
  if (interruption.stopped()) {
    return std::unexpected(Interrupted{});
  }
  if (!same_answer(answer, exact)) {
    return std::unexpected(ZeroVariance{1, ZeroVarianceCause::RoundingNoise});
  }
  return answer;
}

}  // namespace zorvane::statistical_tests::escanciano_lobato
