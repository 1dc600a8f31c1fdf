// The library against a plain, obviously correct loop, bit for bit, on seeded
// random series of many shapes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "bits.hpp"
#include "numeric/exact_sum.hpp"
#include "numeric/gamma_distribution.hpp"
#include "statistical_tests/escanciano_lobato/escanciano_lobato.hpp"
#include "statistical_tests/escanciano_lobato/escanciano_lobato_with_kernel.hpp"
#include "statistical_tests/escanciano_lobato/robust_terms.hpp"

namespace zorvane::statistical_tests::escanciano_lobato {
namespace {

using zorvane::testing::same_bits;

struct Expected {
  bool zero_variance = false;
  std::uint64_t lag = 0;
  std::uint64_t p_tilde = 0;
  double statistic = 0.0;
  double pvalue = 0.0;
};

// Written straight from the definition: fresh sums everywhere, O(n d + d^2).
// As exact arithmetic has it, two or more equal values have zero deviations,
// and the scale of the data does not matter: a series far from unit scale is
// brought to it by a power of two first (see escanciano_lobato.hpp).
Expected plain_loop(const std::vector<double>& x, std::uint64_t d, double q) {
  const std::size_t n = x.size();
  const bool finite = std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); });
  if (finite && n >= 2 && d >= 1 && std::all_of(x.begin(), x.end(), [&](double v) { return v == x[0]; })) {
    return Expected{true, 1, 0, 0.0, 0.0};
  }
  double largest = 0.0;
  for (const double v : x) largest = std::max(largest, std::fabs(v));
  if (finite && largest != 0.0 && (std::ilogb(largest) < -100 || std::ilogb(largest) > 99)) {
    std::vector<double> scaled(x);
    for (double& v : scaled) v = std::ldexp(v, -std::ilogb(largest));
    return plain_loop(scaled, d, q);
  }
  const double nf = static_cast<double>(n);
  double total = -0.0;
  for (std::size_t t = 0; t < n; ++t) total = total + x[t];
  const double mean = total / nf;

  std::vector<double> slot(d + 1, 0.0);
  for (std::uint64_t k = 1; k <= d; ++k) {
    const std::size_t m = n - k;
    double g = -0.0;
    double h = -0.0;
    for (std::size_t t = 0; t < m; ++t) g = g + (x[t] - mean) * (x[t + k] - mean);
    for (std::size_t t = 0; t < m; ++t) {
      const double u = x[t] - mean;
      const double v = x[t + k] - mean;
      h = h + (u * u) * (v * v);
    }
    const double gamma = g / static_cast<double>(m);
    const double tau = h / static_cast<double>(m);
    if (tau == 0.0) return Expected{true, k, 0, 0.0, 0.0};
    slot[k] = (gamma * gamma) / tau;
  }

  Expected e;
  double chosen_sum = -0.0;
  if (d > 0) {
    const double lambda = std::log(nf);
    double largest = 0.0;
    for (std::uint64_t j = 0; j <= d; ++j) {
      if (std::sqrt(slot[j]) > largest) largest = std::sqrt(slot[j]);
    }
    const bool logarithmic = std::sqrt(q * lambda) >= std::sqrt(nf) * largest;
    double best = -std::numeric_limits<double>::infinity();
    for (std::uint64_t p = 1; p <= d; ++p) {
      double s = -0.0;
      for (std::uint64_t j = 1; j <= p; ++j) s = s + slot[j];
      const double penalty = logarithmic ? static_cast<double>(p) * lambda : static_cast<double>(2 * p);
      const double l = s * nf - penalty;
      if (l > best) {
        best = l;
        e.p_tilde = p;
        chosen_sum = s;
      }
    }
  }
  e.statistic = chosen_sum * nf;
  e.pvalue = 1.0 - numeric::ChiSquareDistribution::create(1.0)->cdf(e.statistic);
  return e;
}

enum class Shape { Normal, HeavyTailed, AutoRegressive, ConstantStretches, Tiny, Huge, Integers };

std::vector<double> make_series(Shape shape, std::size_t n, std::mt19937_64& rng) {
  std::normal_distribution<double> normal(0.0, 1.0);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::vector<double> x(n);
  switch (shape) {
    case Shape::Normal:
      for (auto& v : x) v = 3.0 + 2.0 * normal(rng);
      break;
    case Shape::HeavyTailed:  // Cauchy
      for (auto& v : x) v = std::tan(3.141592653589793 * (uniform(rng) - 0.5));
      break;
    case Shape::AutoRegressive: {
      const double phi = 2.0 * uniform(rng) - 1.0;
      double prev = 0.0;
      for (auto& v : x) prev = v = phi * prev + normal(rng);
      break;
    }
    case Shape::ConstantStretches: {
      double level = normal(rng);
      for (auto& v : x) {
        if (uniform(rng) < 0.1) level = std::round(4.0 * normal(rng));
        v = level;
      }
      break;
    }
    case Shape::Tiny:
      for (auto& v : x) v = 1e-160 * normal(rng);
      break;
    case Shape::Huge:
      for (auto& v : x) v = 1e150 * normal(rng);
      break;
    case Shape::Integers:
      for (auto& v : x) v = std::floor(3.0 * uniform(rng));
      break;
  }
  return x;
}

void expect_matches(const std::vector<double>& x, std::uint64_t d, double q, const std::string& what,
                    std::optional<RobustTermsKernel> chosen = std::nullopt) {
  const RobustTermsKernel kernel = chosen.value_or(best_kernel(d));
  const Expected e = plain_loop(x, d, q);
  const auto r = run_escanciano_lobato_with(ScannedSeries::scan(x), d, q, kernel);
  if (e.zero_variance) {
    ASSERT_FALSE(r.has_value()) << what;
    ASSERT_TRUE(std::holds_alternative<ZeroVariance>(r.error())) << what;
    EXPECT_EQ(std::get<ZeroVariance>(r.error()).lag, e.lag) << what;
    return;
  }
  ASSERT_TRUE(r.has_value()) << what;
  EXPECT_EQ(r->p_tilde, e.p_tilde) << what;
  EXPECT_TRUE(same_bits(r->statistic, e.statistic)) << what;
  EXPECT_TRUE(same_bits(r->pvalue, e.pvalue)) << what;
}

std::string shape_name(const ::testing::TestParamInfo<Shape>& info) {
  constexpr const char* kNames[] = {"Normal", "HeavyTailed", "AutoRegressive", "ConstantStretches",
                                    "Tiny",   "Huge",        "Integers"};
  return kNames[static_cast<int>(info.param)];
}

class Differential : public ::testing::TestWithParam<Shape> {};

TEST_P(Differential, RandomSeriesBitForBit) {
  std::mt19937_64 rng(0x5eed0000u + static_cast<unsigned>(GetParam()));
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  for (int trial = 0; trial < 800; ++trial) {
    // lengths 1 .. ~3000, log-uniform so that short series are common
    const auto n = static_cast<std::size_t>(std::exp(uniform(rng) * std::log(3000.0))) + 1;
    const std::vector<double> x = make_series(GetParam(), n, rng);
    std::uint64_t d = 1 + static_cast<std::uint64_t>(uniform(rng) * std::min<double>(n, 40.0));
    if (trial % 10 == 0) d = n;  // the NaN slot at lag n
    const double q = trial % 3 == 0 ? 2.4 : std::exp(8.0 * uniform(rng) - 4.0);
    expect_matches(x, std::min<std::uint64_t>(d, n), q,
                   "trial " + std::to_string(trial) + " n " + std::to_string(n) + " d " + std::to_string(d));
    if (HasFatalFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, Differential,
                         ::testing::Values(Shape::Normal, Shape::HeavyTailed, Shape::AutoRegressive,
                                           Shape::ConstantStretches, Shape::Tiny, Shape::Huge, Shape::Integers),
                         shape_name);

}  // namespace
}  // namespace zorvane::statistical_tests::escanciano_lobato

namespace zorvane::statistical_tests::escanciano_lobato {
namespace {

// Every kernel this CPU runs, forced in turn, against the plain loop.
class EveryKernel : public ::testing::TestWithParam<KernelTarget> {
 protected:
  RobustTermsKernel kernel() const { return kernel_for(GetParam()); }
};

std::string target_name(const ::testing::TestParamInfo<KernelTarget>& info) {
  return std::string(to_string(info.param));
}

TEST_P(EveryKernel, LengthsAroundBlockAndChunkSizes) {
  std::mt19937_64 rng(0xb10c);
  for (const std::size_t n : {1, 2, 3, 5, 7, 8, 9, 16, 17, 23, 24, 25, 31, 33, 63, 65, 255, 1023, 1024, 1025, 1026,
                              1048, 1049, 2047, 2048, 2049, 3071, 3100, 5000}) {
    for (const Shape shape : {Shape::Normal, Shape::HeavyTailed, Shape::Integers}) {
      const std::vector<double> x = make_series(shape, n, rng);
      for (const std::uint64_t d : {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 24, 25, 47, 48, 49, 100, 101, 130}) {
        if (d > n) continue;
        expect_matches(x, d, 2.4, "n " + std::to_string(n) + " d " + std::to_string(d), kernel());
        if (HasFatalFailure()) return;
      }
      // d near n
      for (std::uint64_t back = 0; back < 4 && back < n; ++back) {
        expect_matches(x, n - back, 1.0, "n " + std::to_string(n) + " d n-" + std::to_string(back), kernel());
        if (HasFatalFailure()) return;
      }
    }
  }
}

// The sum of the deviations a kernel takes on its way lies within its
// stated bound of the exact sum.
TEST_P(EveryKernel, DeviationSumsStayWithinTheirBound) {
  std::mt19937_64 rng(0x5ca1e);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (const std::size_t n : {2, 9, 1023, 1025, 3000, 70000}) {
    std::vector<double> x(n);
    for (auto& v : x) v = 1e6 + normal(rng);
    const double mean = std::accumulate(x.begin(), x.end(), -0.0) / static_cast<double>(n);
    for (const std::uint64_t d : {1, 6, 25}) {
      if (d >= n) continue;
      std::vector<double> slots(d + 1);
      std::vector<double> sums(d + 1);
      DeviationMoments moments;
      Interruption never;
      ASSERT_EQ(kernel()(x, mean, d, slots, never, sums, &moments), 0u);
      ASSERT_TRUE(moments.measured);
      numeric::ExactSum difference;  // the computed sum less the exact one
      difference.add(moments.signed_sum);
      double absolute = 0.0;
      for (const double v : x) {
        difference.add(-(v - mean));
        absolute += std::fabs(v - mean);
      }
      const double bound = 0x1p-53 * (moments.longest_chain + static_cast<double>(moments.chunks)) * absolute;
      EXPECT_LE(std::fabs(difference.rounded()), bound) << "n " << n << " d " << d;
      EXPECT_GT(sums[1], 0.0);
    }
  }
}

// Values whose every add in a lane rounds up by 0.375 ulp: the error grows
// with the length of the lanes' chains, which the bound must count.
TEST_P(EveryKernel, DeviationSumsCountTheirChains) {
  std::vector<double> x(1000, 0.625 * 0x1p-52);
  std::fill_n(x.begin(), 8, 1.0);
  std::vector<double> slots(4);
  std::vector<double> sums(4);
  DeviationMoments moments;
  Interruption never;
  ASSERT_EQ(kernel()(x, 0.0, 3, slots, never, sums, &moments), 0u);
  numeric::ExactSum difference;  // the computed sum less the exact one
  difference.add(moments.signed_sum);
  for (const double v : x) {
    difference.add(-v);
  }
  const double absolute = std::accumulate(x.begin(), x.end(), 0.0);
  EXPECT_GT(std::fabs(difference.rounded()), 0x1p-53 * 64.0 * absolute);  // far past one add's worth
  EXPECT_LE(std::fabs(difference.rounded()),
            0x1p-53 * (moments.longest_chain + static_cast<double>(moments.chunks)) * absolute);
}

TEST_P(EveryKernel, ZeroVarianceAtTheFirstLag) {
  // Deviations vanish everywhere but at two points, so tau_k is zero at
  // exactly the lags that pair no two of them, lag 1 first.
  for (const std::size_t n : {40, 1030, 2100}) {
    for (const std::size_t spacing : {3, 5, 11, 17, 22}) {
      std::vector<double> x(n, 0.0);
      // mean stays exactly 0: +1 and -1 in equal numbers
      x[1] = 1.0;
      x[1 + spacing] = -1.0;
      for (const std::uint64_t d : {std::uint64_t{24}, std::uint64_t{30}, static_cast<std::uint64_t>(n)}) {
        const auto r = run_escanciano_lobato_with(ScannedSeries::scan(x), d, 2.4, kernel());
        expect_matches(x, d, 2.4, "n " + std::to_string(n) + " spacing " + std::to_string(spacing), kernel());
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(std::get<ZeroVariance>(r.error()).lag, 1u) << "lag 1 pairs no two non-zero deviations";
      }
    }
  }
}

TEST_P(EveryKernel, ZeroVarianceInsideABlock) {
  // A run of non-zero deviations and zeros elsewhere: tau_k is non-zero up
  // to the run's length and zero from there on, so the first zero lag lies
  // inside a block of lags, not at its start.
  for (const std::size_t n : {40, 1030, 2100}) {
    for (const std::size_t spacing : {3, 5, 11, 17, 22}) {
      std::vector<double> y(n, 0.0);
      for (std::size_t i = 0; i < spacing; ++i) y[2 + i] = (i % 2 == 0) ? 1.0 : -1.0;
      if (spacing % 2 == 1) y[2 + spacing] = -1.0;
      for (const std::uint64_t d : {std::uint64_t{40}, static_cast<std::uint64_t>(n)}) {
        expect_matches(y, d, 2.4, "run " + std::to_string(spacing), kernel());
        if (HasFatalFailure()) return;
        const auto r = run_escanciano_lobato_with(ScannedSeries::scan(y), d, 2.4, kernel());
        ASSERT_FALSE(r.has_value());
        EXPECT_GE(std::get<ZeroVariance>(r.error()).lag, spacing) << "the run pairs with itself up to its length";
      }
    }
  }
}

TEST_P(EveryKernel, RandomSeriesBitForBit) {
  std::mt19937_64 rng(0xd1ff);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  for (int trial = 0; trial < 400; ++trial) {
    const auto shape = static_cast<Shape>(trial % 7);
    const auto n = static_cast<std::size_t>(std::exp(uniform(rng) * std::log(4000.0))) + 1;
    const std::vector<double> x = make_series(shape, n, rng);
    const std::uint64_t d = 1 + static_cast<std::uint64_t>(uniform(rng) * std::min<double>(n, 150.0));
    expect_matches(x, std::min<std::uint64_t>(d, n), std::exp(6.0 * uniform(rng) - 3.0),
                   "trial " + std::to_string(trial), kernel());
    if (HasFatalFailure()) return;
  }
}

TEST_P(EveryKernel, NonFiniteValues) {
  std::mt19937_64 rng(0x1f);
  for (const double bad : {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                           1e308, -1e308}) {
    std::vector<double> x = make_series(Shape::Normal, 1500, rng);
    x[700] = bad;
    x[1400] = -bad;
    expect_matches(x, 30, 2.4, "bad " + std::to_string(bad), kernel());
  }
}

// A check that counts its calls and says stop from its `stop_at`-th on (0: never).
struct CountingCheck {
  int calls = 0;
  int stop_at = 0;
  static bool check(void* context) noexcept {
    auto* self = static_cast<CountingCheck*>(context);
    ++self->calls;
    return self->stop_at != 0 && self->calls >= self->stop_at;
  }
};

TEST_P(EveryKernel, AnInterruptionStopsAtItsCheckAndOtherwiseChangesNoBit) {
  std::mt19937_64 rng(0x1417);
  // 20,000 values at d = 600: some twelve million pairs, two checks or more
  const std::vector<double> x = make_series(Shape::Normal, 20'000, rng);
  const auto plain = run_escanciano_lobato_with(ScannedSeries::scan(x), 600, 2.4, kernel());
  ASSERT_TRUE(plain.has_value());
  CountingCheck going_on;
  Interruption never_stops(CountingCheck::check, &going_on);
  const auto checked = run_escanciano_lobato_with(ScannedSeries::scan(x), 600, 2.4, kernel(), never_stops);
  ASSERT_TRUE(checked.has_value());
  EXPECT_EQ(checked->p_tilde, plain->p_tilde);
  EXPECT_TRUE(same_bits(checked->statistic, plain->statistic));
  EXPECT_TRUE(same_bits(checked->pvalue, plain->pvalue));
  EXPECT_GE(going_on.calls, 2);
  for (const int stop_at : {1, 2}) {
    CountingCheck stopping{0, stop_at};
    Interruption interruption(CountingCheck::check, &stopping);
    const auto stopped = run_escanciano_lobato_with(ScannedSeries::scan(x), 600, 2.4, kernel(), interruption);
    ASSERT_FALSE(stopped.has_value());
    EXPECT_TRUE(std::holds_alternative<Interrupted>(stopped.error()));
    EXPECT_EQ(stopping.calls, stop_at) << "no check after the one that said stop";
  }
  // a short series is never asked about
  CountingCheck short_series{0, 1};
  Interruption unasked(CountingCheck::check, &short_series);
  const std::vector<double> y(x.begin(), x.begin() + 250);
  EXPECT_TRUE(run_escanciano_lobato_with(ScannedSeries::scan(y), 3, 2.4, kernel(), unasked).has_value());
  EXPECT_EQ(short_series.calls, 0);
}

INSTANTIATE_TEST_SUITE_P(Targets, EveryKernel, ::testing::ValuesIn(supported_targets()), target_name);

TEST(Interruption, TheScanStopsBetweenChunks) {
  const std::vector<double> x(3 * kUnitsBetweenChecks, 0.5);
  CountingCheck stopping{0, 1};
  Interruption interruption(CountingCheck::check, &stopping);
  EXPECT_FALSE(ScannedSeries::scan(x, interruption).has_value());
  EXPECT_EQ(stopping.calls, 1);
  CountingCheck going_on;
  Interruption never_stops(CountingCheck::check, &going_on);
  const std::optional<ScannedSeries> scanned = ScannedSeries::scan(x, never_stops);
  ASSERT_TRUE(scanned.has_value());
  EXPECT_TRUE(same_bits(scanned->sum(), ScannedSeries::scan(x).sum()));
  EXPECT_EQ(going_on.calls, 3);
}

TEST(KernelChoice, EveryLagClassGetsASupportedVectorKernel) {
  const std::vector<KernelTarget> targets = supported_targets();
  const KernelChoice& choice = kernel_choice();
  std::printf("kernel choice: %s\n", choice.reason.c_str());
  for (const std::uint64_t d : {1, 8, 9, 24, 25, 100, 10000}) {
    const KernelTarget chosen = best_target(d);
    EXPECT_NE(std::find(targets.begin(), targets.end(), chosen), targets.end()) << d;
    EXPECT_NE(chosen, KernelTarget::Reference) << d;
    EXPECT_EQ(best_kernel(d), kernel_for(chosen)) << d;
  }
  EXPECT_EQ(best_target(8), choice.target[0]);
  EXPECT_EQ(best_target(9), choice.target[1]);
  EXPECT_EQ(best_target(24), choice.target[1]);
  EXPECT_EQ(best_target(25), choice.target[2]);
  EXPECT_EQ(&kernel_choice(), &choice);  // once per process
  if (targets.size() > 3) {  // two vector kernels or more: each was timed
    EXPECT_EQ(choice.timings.size(), targets.size() - 2);
    for (const KernelTiming& timing : choice.timings) {
      for (const double ns : timing.pair_ns) {
        EXPECT_GT(ns, 0.0);
        EXPECT_LT(ns, 1e3);
      }
    }
  }
}

// The default (last) holds unless another took at most 95% of its time; of
// several such, the fastest wins; each lag class on its own.
TEST(KernelChoice, DefaultHoldsUnlessClearlyBeaten) {
  const std::vector<KernelTiming> timings = {
      {KernelTarget::Sse2, {0.30, 0.30, 0.30}},
      {KernelTarget::Avx512, {0.099, 0.094, 0.05}},
      {KernelTarget::Avx2, {0.10, 0.10, 0.10}},
  };
  EXPECT_EQ(choose_target(timings, 0), KernelTarget::Avx2);    // 1% faster: too close to call
  EXPECT_EQ(choose_target(timings, 1), KernelTarget::Avx512);  // 6% faster
  EXPECT_EQ(choose_target(timings, 2), KernelTarget::Avx512);
  const std::vector<KernelTiming> slower_wide = {
      {KernelTarget::Sse2, {0.09, 0.30, 0.30}},
      {KernelTarget::Avx512, {0.12, 0.08, 0.11}},
      {KernelTarget::Avx2, {0.10, 0.10, 0.10}},
  };
  EXPECT_EQ(choose_target(slower_wide, 0), KernelTarget::Sse2);
  EXPECT_EQ(choose_target(slower_wide, 1), KernelTarget::Avx512);
  EXPECT_EQ(choose_target(slower_wide, 2), KernelTarget::Avx2);
  const std::vector<KernelTiming> alone = {{KernelTarget::Neon, {0.2, 0.2, 0.2}}};
  EXPECT_EQ(choose_target(alone, 1), KernelTarget::Neon);
}

}  // namespace
}  // namespace zorvane::statistical_tests::escanciano_lobato
