// The Escanciano-Lobato test: mean, robust terms, penalty switch, lag selection, p-value.
#include "statistical_tests/escanciano_lobato/escanciano_lobato.hpp"

#include <algorithm>
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

}  // namespace

ScannedSeries ScannedSeries::scan(std::span<const double> values) noexcept {
  // One accumulator from -0.0 in index order: the mean's bits depend on it.
  // The extremes ride along: their compares are off the add chain that
  // bounds this loop. A NaN compares false and is passed over.
  double sum = -0.0;
  double smallest = std::numeric_limits<double>::infinity();
  double largest = -std::numeric_limits<double>::infinity();
  for (const double value : values) {
    sum = sum + value;
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
  return {values, sum, smallest, largest, has_nan, has_infinity};
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
    return std::unexpected(ZeroVariance{1});
  }
  // (an empty series has no magnitude: its extremes are the infinities)
  const double magnitude = length == 0 ? 1.0 : std::max(std::fabs(series.smallest()), std::fabs(series.largest()));
  if (finite && magnitude != 0.0 && (magnitude < kLowestUnscaled || magnitude >= kHighestUnscaled)) {
    const std::vector<double> scaled = scaled_by_power_of_two(series.values(), -std::ilogb(magnitude));
    return run_escanciano_lobato_with(ScannedSeries::scan(scaled), d, q, kernel);
  }
  const std::span<const double> x = series.values();
  const std::uint64_t n = x.size();
  const auto n_f = static_cast<double>(n);
  const double mean = series.sum() / n_f;

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
    return std::unexpected(ZeroVariance{lag});
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

}  // namespace zorvane::statistical_tests::escanciano_lobato
