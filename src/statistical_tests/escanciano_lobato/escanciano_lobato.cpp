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

#include "numeric/exact_sum.hpp"
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

// What the answer is computed from: rho~^2_k in slots[k] and T_k in
// sums[k] for k = 1 .. last lag, on the stack up to 63 lags (the default d of
// every series below 64^5 values), allocated beyond.
class LagTerms {
 public:
  explicit LagTerms(std::uint64_t last_lag) : size_(static_cast<std::size_t>(last_lag) + 1) {
    if (size_ > kOnStack) {
      on_heap_.assign(2 * size_, 0.0);
    }
    slots()[0] = 0.0;  // lag 0 selects nothing; every other slot is written before it is read
  }
  [[nodiscard]] std::span<double> slots() noexcept { return storage().first(size_); }
  [[nodiscard]] std::span<double> sums() noexcept { return storage().subspan(size_, size_); }

 private:
  static constexpr std::size_t kOnStack = 64;
  std::span<double> storage() noexcept {
    return on_heap_.empty() ? std::span<double>(on_stack_) : std::span<double>(on_heap_);
  }
  std::size_t size_;
  std::array<double, 2 * kOnStack> on_stack_;  // NOLINT: left uninitialised (see above)
  std::vector<double> on_heap_;
};

// What bounds the answer's distance from exact arithmetic's: B bounds the
// distance between the mean the deviations were taken from and the exact
// one; W1 and W2 bound sum |a_t| and sum a_t^2 for the deviations a_t from
// the mean taken (exact differences).
struct ShiftBounds {
  double shift;
  double absolute_sum;
  double square_sum;
};

// How far exact arithmetic's L_p and S_p may lie from those of deviations
// about a mean that may be off by bounds.shift (infinite where no bound
// holds), from the robust sums T_k the kernel left.
//
// Let a_t be the deviations from the mean taken and e_t = a_t - s those from
// the exact mean, |s| <= B. For a lag with m pairs, in exact arithmetic:
//   G(e) - G(a) = -s sum (a_t + a_{t+k}) + m s^2, so |dG| <= 2 B W1 + m B^2;
//   the vector of products e_t e_{t+k} lies within 2 B sqrt(W2) + sqrt(m) B^2
//   of that of a_t a_{t+k} (the triangle inequality), and sqrt(T) is its
//   length, so |d sqrt(T)| <= D_T with D_T that bound.
// rho~_k = G / sqrt(m T), and |G(a)| <= sqrt(m T(a)) (Cauchy-Schwarz), so
//   |d rho~_k| <= eps_k = (|dG| / sqrt(m) + D_T) / (sqrt(T(a)) - D_T).
// sqrt(S_p) = sqrt(n) |(rho~_1 .. rho~_p)| then moves by at most
// E = sqrt(n sum eps_k^2), and S_p by 2 sqrt(S_d) E + E^2 (S_d >= S_p). The
// rounding of the kernel's sums is the same on either side and is left
// out; the computed T_k stands below the exact one by at most (m + 8)
// 2^-53 of it, allowed for by taking 2^-52. A lag without pairs is 0/0 on
// either side.
double shift_effect(const ShiftBounds& bounds, std::span<const double> slots, std::span<const double> sums,
                    std::uint64_t last_lag, double n_f) noexcept {
  constexpr double kNoBound = std::numeric_limits<double>::infinity();
  const double b = bounds.shift;
  if (b == 0.0) {
    return 0.0;
  }
  const double root_w2 = std::sqrt(bounds.square_sum);
  const auto n = static_cast<std::uint64_t>(n_f);
  const std::uint64_t lags = std::min(last_lag, n == 0 ? 0 : n - 1);
  double rho_sum = 0.0;
  for (std::uint64_t k = 1; k <= lags; ++k) {
    rho_sum += slots[k];
  }
  // 2^-40 covers the rounding of these few operations
  const double s_d = n_f * rho_sum * (1.0 + 0x1p-40);
  const auto effect_of = [s_d](double e) {
    const double effect = 2.0 * std::sqrt(s_d) * e + e * e;
    return effect == effect ? effect : kNoBound;
  };
  double eps_squares = 0.0;
  for (std::uint64_t k = 1; k <= lags; ++k) {
    const double m = n_f - static_cast<double>(k);
    const double root_m = std::sqrt(m);
    const double t_low = sums[k] * (1.0 - (m + 8.0) * 0x1p-52);
    const double d_t = 2.0 * b * root_w2 + root_m * b * b;
    const double d_g = 2.0 * b * bounds.absolute_sum / root_m + root_m * b * b;
    const double room = std::sqrt(t_low) - d_t;
    if (!(room > 0.0)) {
      return kNoBound;
    }
    const double eps = (d_g + d_t) / room;
    eps_squares += eps * eps;
  }
  return effect_of(std::sqrt(n_f * eps_squares) * (1.0 + 0x1p-40));
}

// Whether an effect that large keeps the selection within what the contract
// allows: every L_p and S_p within 2^-12 of the larger of 1 and the best L_p
// and the statistic, so that a p chosen instead of the exact one lies within
// 2^-10 of its criterion, and the statistic within 2^-10 of the exact one.
bool within_contract(double effect, const LagSelection& selection, double n_f) noexcept {
  const double scale = std::max(1.0, std::min(std::fabs(selection.criterion), selection.sum * n_f));
  return effect <= 0x1p-12 * scale;
}

// The bound above at its simplest, for every deviation at most w = range + B
// (so W1 <= n w, W2 <= n w^2) and at most n/2 lags (so m >= n/2): then
//   |dG| / sqrt(m) + D_T <= sqrt(n) B (5 w + 2 B) = sqrt(n) c,
//   D_T <= sqrt(n) B (2 w + B) = Z,
// and E <= sqrt(n d) sqrt(n) c / (sqrt(T_min) - Z). Asking E <= 2^-15 /
// max(1, sqrt(S_d)) makes 2 sqrt(S_d) E + E^2 below 2^-13 whatever the
// selection, and with A = 2^15 n sqrt(d) c it holds where
// A max(1, sqrt(S_d)) + Z <= sqrt(T_min), which (x + y)^2 <= 2 (x^2 + y^2)
// turns into a test without roots or quotients:
//   2 (A^2 max(1, S_d) + Z^2) <= T_min.
// A few operations per call: this is what ordinary data take.
bool quickly_harmless(double b, double w, std::span<const double> slots, std::span<const double> sums,
                      std::uint64_t last_lag, double n_f) noexcept {
  const auto lags = static_cast<double>(last_lag);
  if (!(2.0 * lags <= n_f)) {
    return false;
  }
  double rho_sum = 0.0;
  double smallest_sum = std::numeric_limits<double>::infinity();
  for (std::uint64_t k = 1; k <= last_lag; ++k) {
    rho_sum += slots[k];
    smallest_sum = sums[k] < smallest_sum ? sums[k] : smallest_sum;
  }
  const double c = b * (5.0 * w + 2.0 * b);
  const double a_squared = 0x1p30 * n_f * n_f * lags * c * c;
  const double z_squared = n_f * b * b * (2.0 * w + b) * (2.0 * w + b);
  const double s_d = n_f * rho_sum;
  // 2^-40 covers the rounding of these few operations
  const double needed = 2.0 * (a_squared * std::max(1.0, s_d) + z_squared) * (1.0 + 0x1p-40);
  return needed <= smallest_sum * (1.0 - (n_f + 8.0) * 0x1p-52);
}

// The first bound, from the scan alone: each of the sum's n adds rounds by
// at most 2^-53 of its result, so the sum is off by at most 2^-53 n times
// the largest partial sum, and the mean by 2^-53 that largest partial sum
// (2^-52 leaves room), besides the division's 2^-53 of the mean; every
// deviation is at most the range and B.
struct ScannedShift {
  double shift;   // B
  double widest;  // w: no deviation from the mean taken is larger
};

ScannedShift scanned_shift(const ScannedSeries& series, double mean) noexcept {
  const double shift =
      (0x1p-52 * series.largest_partial_sum() + 0x1p-53 * std::fabs(mean)) * (1.0 + 0x1p-40);
  return {shift, (series.largest() - series.smallest() + shift) * (1.0 + 0x1p-50)};
}

// The second, measured: in exact arithmetic the deviations' signed sum is n
// times the mean's error (the corrected two-pass algorithm measures the
// error so). The computed sum is off by at most 2^-53 (longest chain +
// chunks) sum |w|, and the deviations' own rounding by 2^-53 sum |w|
// (2^-52 for both leaves room), with |w_t| <= w as in the first bound.
ShiftBounds measured_bounds(const DeviationMoments& moments, const ScannedShift& scanned, double n_f) noexcept {
  const double absolute_sum = n_f * scanned.widest;
  const double error = 0x1p-52 * (moments.longest_chain + static_cast<double>(moments.chunks) + 1.0) * absolute_sum;
  const double shift = (std::fabs(moments.signed_sum) + error) / n_f * (1.0 + 0x1p-40);
  return ShiftBounds{shift, absolute_sum, absolute_sum * scanned.widest};
}

// The moments in a pass of their own, where the kernel did not take them.
std::optional<DeviationMoments> moments_of(std::span<const double> x, double mean, Interruption& interruption) noexcept {
  constexpr std::size_t kChunk = std::size_t{1} << 12;
  DeviationMoments moments;
  for (std::size_t begin = 0; begin < x.size(); begin += kChunk) {
    const std::size_t count = std::min(x.size() - begin, kChunk);
    moments.add(x.data() + begin, count, mean);
    if (interruption.advance(count)) {
      return std::nullopt;
    }
  }
  moments.measured = true;
  return moments;
}

// Whether the bound from the scan alone will likely fail, so that the kernel
// should take the moments on its way (a few percent of its time, against a
// pass of their own where they turn out to be needed): the quick test
// above, with T_min estimated as n (w / 8)^4 and S_d as d. A guess decides
// only the speed.
bool moments_likely_needed(const ScannedShift& scanned, std::uint64_t last_lag, double n_f) noexcept {
  const auto lags = static_cast<double>(last_lag);
  return scanned.shift * std::sqrt(n_f) * lags * 0x1p24 > scanned.widest;
}

// The exact sum of the values. Where they all lie within a factor two of the
// first, each difference from it is exact (Sterbenz), and all of them are
// multiples of the finest unit u of any value (2^-52 of the smallest
// magnitude's power of two); where those differences also add up to at most
// 2^52 u in magnitude, every partial sum of them is a multiple of u below
// 2^53 u, so their plain sum is exact too, and the sum is n x_0 plus it: one
// pass, as offset data take. Elsewhere each value goes through the expansion.
numeric::ExactSum exact_sum(const ScannedSeries& series) {
  const std::span<const double> x = series.values();
  numeric::ExactSum sum;
  if (x.empty()) {
    return sum;
  }
  const double first = x.front();
  const double low = series.smallest();
  const double high = series.largest();
  const bool near_first = first > 0.0   ? low >= 0.5 * first && high <= 2.0 * first
                          : first < 0.0 ? high <= 0.5 * first && low >= 2.0 * first
                                        : false;
  if (near_first) {
    const double smallest_magnitude = std::min(std::fabs(low), std::fabs(high));
    const double unit = std::ldexp(1.0, std::max(std::ilogb(smallest_magnitude) - 52, -1074));
    double total = 0.0;
    double magnitude = 0.0;
    for (const double value : x) {
      const double difference = value - first;
      total += difference;
      magnitude += std::fabs(difference);
    }
    if (magnitude <= 0x1p52 * unit) {
      sum.add_product(first, static_cast<double>(x.size()));
      sum.add(total);
      return sum;
    }
  }
  sum.add(x);
  return sum;
}

// The deviations from the exact mean, to about 2^-104 of it: the exact sum,
// hi + lo = sum / n, and (x - hi) - lo, whose first difference is exact
// wherever x lies within a factor two of hi. A value equal to the exact
// mean gives exactly zero where that mean is a double.
std::vector<double> accurate_deviations(std::span<const double> x, const numeric::ExactSum& sum) {
  const numeric::TwoPartMean mean = numeric::two_part_mean(sum, x.size());
  std::vector<double> deviations(x.size());
  std::transform(x.begin(), x.end(), deviations.begin(),
                 [mean](double value) { return (value - mean.hi) - mean.lo; });
  return deviations;
}

// Whether the value equals the exact mean sum / n: n value - sum == 0 exactly.
bool equals_exact_mean(double value, const numeric::ExactSum& sum, double n_f) {
  numeric::ExactSum difference = sum;
  difference.add_product(value, -n_f);
  return difference.is_zero();
}

// Why tau_k came out zero from accurate deviations: Exact where every pair
// at lag k holds a value equal to the exact mean, else the products of
// squares underflowed (or a deviation below 2^-104 of the mean was lost).
ZeroVarianceCause zero_cause(std::span<const double> x, const numeric::ExactSum& sum, std::uint64_t lag) {
  const auto n_f = static_cast<double>(x.size());
  for (std::size_t t = 0; t + lag < x.size(); ++t) {
    if (!equals_exact_mean(x[t], sum, n_f) && !equals_exact_mean(x[t + lag], sum, n_f)) {
      return ZeroVarianceCause::OutOfRange;
    }
  }
  return ZeroVarianceCause::Exact;
}

// The lag the robust terms select (d = 0 selects nothing and takes no
// logarithm).
LagSelection selection_from(std::span<const double> slots, std::uint64_t d, double n_f, double q) noexcept {
  return d == 0 ? LagSelection{0, -0.0, false, -0.0} : select_lag(slots, d, n_f, q);
}

// The answer for a selection: the lag, its statistic and p-value.
TestOutcome outcome_of(const LagSelection& selection, double n_f) {
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

TestOutcome answer_from(std::span<const double> slots, std::uint64_t d, double n_f, double q) {
  return outcome_of(selection_from(slots, d, n_f, q), n_f);
}

// The answer from deviations about the exact mean (see the header): every
// refusal is decided here, against exact arithmetic.
std::expected<TestOutcome, Refusal> accurate_answer(const ScannedSeries& series, std::uint64_t d, double q,
                                                    RobustTermsKernel kernel, Interruption& interruption) {
  const std::span<const double> x = series.values();
  const std::uint64_t n = x.size();
  const numeric::ExactSum sum = exact_sum(series);
  if (interruption.advance(n)) {
    return std::unexpected(Interrupted{});
  }
  const std::vector<double> deviations = accurate_deviations(x, sum);
  // Lags beyond n have no pairs. A zero robust variance at a lag up to n is
  // reported before the refusal, so those lags are computed first, unless
  // one pass shows that none of them can be zero.
  if (d > n) {
    const bool nonzero = robust_variances_nonzero(deviations, 0.0);
    if (interruption.advance(n)) {
      return std::unexpected(Interrupted{});
    }
    if (nonzero) {
      return std::unexpected(LagBeyondSeries{n + 1, n});
    }
  }
  const std::uint64_t last_lag = std::min(d, n);
  LagTerms terms(last_lag);
  const ZeroLag lag = kernel(deviations, 0.0, last_lag, terms.slots(), interruption);
  if (interruption.stopped()) {
    return std::unexpected(Interrupted{});
  }
  if (lag != 0) {
    return std::unexpected(ZeroVariance{lag, zero_cause(x, sum, lag)});
  }
  if (d > n) {
    return std::unexpected(LagBeyondSeries{n + 1, n});
  }
  return answer_from(terms.slots(), d, static_cast<double>(n), q);
}

// A series holding NaN or an infinity, as the formulas round it: every
// term NaN, so no lag is selected (callers refuse such data first).
std::expected<TestOutcome, Refusal> nonfinite_answer(const ScannedSeries& series, std::uint64_t d, double q,
                                                     RobustTermsKernel kernel, Interruption& interruption) {
  const std::span<const double> x = series.values();
  const std::uint64_t n = x.size();
  const double mean = series.sum() / static_cast<double>(n);
  if (d > n) {
    return std::unexpected(LagBeyondSeries{n + 1, n});
  }
  LagTerms terms(d);
  const ZeroLag lag = kernel(x, mean, d, terms.slots(), interruption);
  if (interruption.stopped()) {
    return std::unexpected(Interrupted{});
  }
  if (lag != 0) {
    return std::unexpected(ZeroVariance{lag, ZeroVarianceCause::OutOfRange});
  }
  return answer_from(terms.slots(), d, static_cast<double>(n), q);
}

}  // namespace

ScannedSeries ScannedSeries::scan(std::span<const double> values) noexcept {
  Interruption never;
  return *scan(values, never);
}

std::optional<ScannedSeries> ScannedSeries::scan(std::span<const double> values, Interruption& interruption) noexcept {
  // One accumulator from -0.0 in index order: the mean's bits depend on it.
  // The largest partial sum and the extremes ride along, each in four lanes
  // so that none of them forms a chain of its own beside the sum's (one
  // chain of maxima or minima per quantity halves the speed of the loop). A
  // NaN compares false and is passed over. The interruption is asked
  // between chunks of the one chain.
  constexpr std::size_t kChunk = std::size_t{1} << 16;
  constexpr std::size_t kLanes = 4;
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  double sum = -0.0;
  std::array<double, kLanes> partial{};
  std::array<double, kLanes> smallest{kInfinity, kInfinity, kInfinity, kInfinity};
  std::array<double, kLanes> largest{-kInfinity, -kInfinity, -kInfinity, -kInfinity};
  const auto step = [&](std::size_t lane, double value) {
    sum = sum + value;
    const double magnitude = std::fabs(sum);
    partial[lane] = magnitude > partial[lane] ? magnitude : partial[lane];
    smallest[lane] = value < smallest[lane] ? value : smallest[lane];
    largest[lane] = value > largest[lane] ? value : largest[lane];
  };
  for (std::size_t begin = 0; begin < values.size(); begin += kChunk) {
    const std::size_t end = std::min(values.size() - begin, kChunk) + begin;
    std::size_t t = begin;
    for (; t + kLanes <= end; t += kLanes) {
      for (std::size_t lane = 0; lane < kLanes; ++lane) {
        step(lane, values[t + lane]);
      }
    }
    for (; t < end; ++t) {
      step(0, values[t]);
    }
    if (interruption.advance(end - begin)) {
      return std::nullopt;
    }
  }
  const auto reduce = [](const std::array<double, kLanes>& lanes, auto pick) {
    return pick(pick(lanes[0], lanes[1]), pick(lanes[2], lanes[3]));
  };
  const auto larger = [](double a, double b) { return b > a ? b : a; };
  const auto smaller = [](double a, double b) { return b < a ? b : a; };
  const double largest_partial = reduce(partial, larger);
  const double least = reduce(smallest, smaller);
  const double most = reduce(largest, larger);
  bool has_nan = false;
  bool has_infinity = false;
  if (!std::isfinite(sum)) {
    for (const double value : values) {
      has_nan |= value != value;
      has_infinity |= value == std::numeric_limits<double>::infinity() ||
                      value == -std::numeric_limits<double>::infinity();
    }
  }
  return ScannedSeries{values, sum, largest_partial, least, most, has_nan, has_infinity};
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
  if (!finite) {
    return nonfinite_answer(series, d, q, kernel, interruption);
  }
  if (d > length) {
    return accurate_answer(series, d, q, kernel, interruption);
  }
  // The formulas as rounded, from the mean as rounded, wherever the bound
  // shows that the mean's rounding error cannot move the answer past 2^-12:
  // from the scan alone, else from the deviations' moments.
  const auto n_f = static_cast<double>(length);
  const double mean = series.sum() / n_f;
  const ScannedShift scanned = scanned_shift(series, mean);
  LagTerms terms(d);
  DeviationMoments moments;
  const ZeroLag lag = kernel(x, mean, d, terms.slots(), interruption, terms.sums(),
                             moments_likely_needed(scanned, d, n_f) ? &moments : nullptr);
  if (interruption.stopped()) {
    return std::unexpected(Interrupted{});
  }
  if (lag == 0) {
    const LagSelection selection = selection_from(terms.slots(), d, n_f, q);
    if (quickly_harmless(scanned.shift, scanned.widest, terms.slots(), terms.sums(), d, n_f)) {
      return outcome_of(selection, n_f);
    }
    const ShiftBounds bounds{scanned.shift, n_f * scanned.widest, n_f * scanned.widest * scanned.widest};
    if (within_contract(shift_effect(bounds, terms.slots(), terms.sums(), d, n_f), selection, n_f)) {
      return outcome_of(selection, n_f);
    }
    if (!moments.measured) {
      const std::optional<DeviationMoments> taken = moments_of(x, mean, interruption);
      if (!taken) {
        return std::unexpected(Interrupted{});
      }
      moments = *taken;
    }
    if (within_contract(shift_effect(measured_bounds(moments, scanned, n_f), terms.slots(), terms.sums(), d, n_f), selection,
                        n_f)) {
      return outcome_of(selection, n_f);
    }
  }
  return accurate_answer(series, d, q, kernel, interruption);
}

}  // namespace zorvane::statistical_tests::escanciano_lobato
