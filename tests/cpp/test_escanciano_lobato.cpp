// The test computation on hand-checked series, bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "bits.hpp"
#include "numeric/exact_sum.hpp"
#include "statistical_tests/escanciano_lobato/escanciano_lobato.hpp"
#include "statistical_tests/escanciano_lobato/escanciano_lobato_with_kernel.hpp"
#include "statistical_tests/escanciano_lobato/lag_selection.hpp"

namespace zorvane::statistical_tests::escanciano_lobato {
namespace {

using zorvane::testing::bits;
using zorvane::testing::same_bits;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

std::vector<double> one_to_ten() {
  std::vector<double> x;
  for (int i = 1; i <= 10; ++i) {
    x.push_back(i);
  }
  return x;
}

TestOutcome outcome(const std::vector<double>& x, std::uint64_t d, double q) {
  const auto result = run_escanciano_lobato(x, d, q);
  EXPECT_TRUE(result.has_value());
  return result.value_or(TestOutcome{kMaxU64, 0.0, 0.0});
}

void expect_no_lag_selected(const TestOutcome& r) {
  EXPECT_EQ(r.p_tilde, 0u);
  EXPECT_EQ(bits(r.statistic), bits(-0.0));  // a negative zero
  EXPECT_EQ(bits(r.pvalue), bits(1.0));
}

std::uint64_t zero_variance_lag(const std::vector<double>& x, std::uint64_t d) {
  const auto result = run_escanciano_lobato(x, d, 2.4);
  EXPECT_FALSE(result.has_value());
  if (result.has_value() || !std::holds_alternative<ZeroVariance>(result.error())) {
    return 0;
  }
  return std::get<ZeroVariance>(result.error()).lag;
}

TEST(OneToTen, LagOneWithLogarithmicPenalty) {
  const TestOutcome r = outcome(one_to_ten(), 1, 2.4);
  EXPECT_EQ(r.p_tilde, 1u);
  EXPECT_TRUE(same_bits(r.statistic, 0x1.5d80e865ac7b9p+2));  // 5.4609929078014199
  EXPECT_TRUE(same_bits(r.pvalue, 0x1.3e98bb92d6cep-6));      // 0.019445594003042355
}

TEST(OneToTen, TwoLagsUnderEitherPenalty) {
  for (const double q : {2.4, 0.5}) {
    const TestOutcome r = outcome(one_to_ten(), 2, q);
    EXPECT_EQ(r.p_tilde, 2u) << q;
    EXPECT_TRUE(same_bits(r.statistic, 0x1.42b8430becc4fp+3)) << q;  // 10.08499290780142
    EXPECT_TRUE(same_bits(r.pvalue, 0x1.87db7f081c4p-10)) << q;      // 0.0014948173793778441
  }
  // A = sqrt(2.4 ln 10) ~ 2.3508 >= B ~ 2.3369; with q = 0.5, A ~ 1.0730 < B
  std::vector<double> slots{0.0, 0.546099290780142, 0.4624};
  EXPECT_TRUE(select_lag(slots, 2, 10.0, 2.4).logarithmic_penalty);
  EXPECT_FALSE(select_lag(slots, 2, 10.0, 0.5).logarithmic_penalty);
}

TEST(ZeroVariance, ReportsTheSmallestLag) {
  EXPECT_EQ(zero_variance_lag(std::vector<double>(10, 5.0), 3), 1u);
  // lag 1 pairs 1 with -1; at lag 2 every pair holds a zero
  EXPECT_EQ(zero_variance_lag({0.0, 1.0, -1.0, 0.0, 0.0, 0.0, 0.0}, 5), 2u);
}

TEST(ZeroVariance, EqualValuesWhoseMeanRoundsAway) {
  // n * v rounds, so the mean is not v and every deviation is the same tiny number
  for (const double v : {5.33, 3.7, 0.1, -2.9e-300, 1e300}) {
    for (const std::size_t n : {std::size_t{2}, std::size_t{10}, std::size_t{100}, std::size_t{250}}) {
      for (const std::uint64_t d : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{n} + 5}) {
        EXPECT_EQ(zero_variance_lag(std::vector<double>(n, v), d), 1u) << v << " n " << n << " d " << d;
      }
    }
  }
  // one value apart is a series like any other
  std::vector<double> x(250, 5.33);
  x[100] = 5.34;
  EXPECT_EQ(outcome(x, 2, 2.4).p_tilde, 1u);
}

// Each series against itself times 2^k: every intermediate scales exactly,
// so the outcome is the same bits for every k that keeps the values normal.
TEST(Scale, PowersOfTwoGiveTheSameBits) {
  std::uint64_t state = 0x5ca1e;
  const auto next = [&] {  // xorshift, values in (-2, 2)
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<double>(state >> 11) * 0x1p-51 - 2.0;
  };
  for (const std::size_t n : {std::size_t{2}, std::size_t{7}, std::size_t{50}, std::size_t{1000}}) {
    std::vector<double> x(n);
    for (double& v : x) v = next() + (n == 7 ? 0.5 * x[0] : 0.0);
    const auto base = run_escanciano_lobato(x, std::min<std::uint64_t>(n - 1, 6), 2.4);
    ASSERT_TRUE(base.has_value());
    for (int k = -1020; k <= 1020; ++k) {
      std::vector<double> y(x);
      bool normal = true;
      for (double& v : y) {
        v = std::ldexp(v, k);
        normal = normal && std::isnormal(v);
      }
      if (!normal) {
        continue;
      }
      const auto scaled = run_escanciano_lobato(y, std::min<std::uint64_t>(n - 1, 6), 2.4);
      ASSERT_TRUE(scaled.has_value()) << "n " << n << " k " << k;
      EXPECT_EQ(scaled->p_tilde, base->p_tilde) << "n " << n << " k " << k;
      EXPECT_TRUE(same_bits(scaled->statistic, base->statistic)) << "n " << n << " k " << k;
      EXPECT_TRUE(same_bits(scaled->pvalue, base->pvalue)) << "n " << n << " k " << k;
    }
  }
  // squares of +-1e-100 underflowed once, and made this a zero variance
  const TestOutcome tiny = outcome({1e-100, -1e-100, 1e-100, -1e-100}, 1, 2.4);
  const TestOutcome unit = outcome({1.0, -1.0, 1.0, -1.0}, 1, 2.4);
  EXPECT_EQ(tiny.p_tilde, unit.p_tilde);
  EXPECT_TRUE(same_bits(tiny.statistic, unit.statistic));
}

TEST(Degenerate, OneValue) { expect_no_lag_selected(outcome({3.25}, 1, 2.4)); }

TEST(Degenerate, DZeroTakesNoLogarithm) {
  expect_no_lag_selected(outcome(one_to_ten(), 0, 2.4));
  expect_no_lag_selected(outcome({}, 0, 2.4));
  // a NaN q would poison the switch, but d = 0 never reaches it
  expect_no_lag_selected(outcome(one_to_ten(), 0, std::numeric_limits<double>::quiet_NaN()));
}

TEST(Degenerate, InfinitiesMakeEveryTermNaN) {
  for (const double bad : {kInf, -kInf}) {
    std::vector<double> x = one_to_ten();
    x[4] = bad;
    expect_no_lag_selected(outcome(x, 3, 2.4));
  }
  std::vector<double> both = one_to_ten();
  both[2] = kInf;
  both[7] = -kInf;
  expect_no_lag_selected(outcome(both, 3, 2.4));
}

TEST(Degenerate, DEqualToNNeverSelectsLagN) {
  const std::vector<double> x{0.3, -1.2, 2.5, 0.7, -0.4, 1.9};
  const TestOutcome r = outcome(x, x.size(), 2.4);
  EXPECT_LT(r.p_tilde, x.size());
}

TEST(LagBeyondSeries, RefusedWithoutSizingByD) {
  for (const std::uint64_t d : {std::uint64_t{11}, std::uint64_t{1} << 40, kMaxU64}) {
    const auto result = run_escanciano_lobato(one_to_ten(), d, 2.4);
    ASSERT_FALSE(result.has_value()) << d;
    ASSERT_TRUE(std::holds_alternative<LagBeyondSeries>(result.error())) << d;
    EXPECT_EQ(std::get<LagBeyondSeries>(result.error()).lag, 11u);
    EXPECT_EQ(std::get<LagBeyondSeries>(result.error()).length, 10u);
  }
  // a zero variance at a lag up to n is still reported first
  EXPECT_EQ(zero_variance_lag(std::vector<double>(4, 1.0), kMaxU64), 1u);
  // the empty series has no lag 1
  const auto empty = run_escanciano_lobato({}, 1, 2.4);
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(std::get<LagBeyondSeries>(empty.error()).lag, 1u);
}

// d = n + 1 gives the outcome of computing every lag up to n first: the
// zero-variance lag when there is one, the refusal otherwise, whether or not
// the one-pass shortcut decides it.
struct BeyondCase {
  const char* name;
  std::vector<double> x;
};

class DBeyondN : public ::testing::TestWithParam<BeyondCase> {};

TEST_P(DBeyondN, SameOutcomeAsComputingEveryLag) {
  const std::vector<double>& x = GetParam().x;
  const auto full = run_escanciano_lobato_with(ScannedSeries::scan(x), x.size(), 2.4, kernel_for(KernelTarget::Reference));
  const auto beyond = run_escanciano_lobato(x, x.size() + 1, 2.4);
  ASSERT_FALSE(beyond.has_value());
  if (!full.has_value()) {
    ASSERT_TRUE(std::holds_alternative<ZeroVariance>(beyond.error()));
    EXPECT_EQ(std::get<ZeroVariance>(beyond.error()).lag, std::get<ZeroVariance>(full.error()).lag);
  } else {
    ASSERT_TRUE(std::holds_alternative<LagBeyondSeries>(beyond.error()));
    EXPECT_EQ(std::get<LagBeyondSeries>(beyond.error()).lag, x.size() + 1);
  }
}

std::vector<double> with(std::vector<double> x, std::size_t at, double value) {
  x[at] = value;
  return x;
}

const std::vector<double> kWiggle{0.3, -1.2, 2.5, 0.7, -0.4, 1.9, -2.2, 0.1};

INSTANTIATE_TEST_SUITE_P(
    Cases, DBeyondN,
    ::testing::Values(
        BeyondCase{"NoZeroDeviation", kWiggle},
        // 0.25 is the mean: one exact zero deviation, yet every lag pairs other values
        BeyondCase{"OneZeroDeviation", {0.25, 1.0, -0.5, 0.25, 1.0, -0.5, 0.25, 1.0, -0.5}},
        BeyondCase{"ZerosAtEveryOtherLag", {1.0, 0.0, -1.0, 0.0, 1.0, 0.0, -1.0, 0.0}},
        BeyondCase{"ConstantButOne", {2.0, 2.0, 2.0, 2.0, 2.0, 2.0, 2.0, 9.0}},
        // squared deviations near 1e-200 multiply to below the smallest subnormal
        BeyondCase{"ProductsUnderflow", {1e-100, -1e-100, 1e-100, -1e-100}},
        BeyondCase{"ProductsUnderflowButOne", {1e-100, -1e-100, 1.0, -1.0, 1e-100, -1e-100}},
        // products near 1e-316 are subnormal but not zero: tau_k divides by m
        BeyondCase{"ProductsSubnormal", {1e-79, -1e-79, 1e-79, -1e-79, 1e-79, -1e-79}},
        BeyondCase{"PositiveInfinity", with(kWiggle, 3, kInf)},
        BeyondCase{"NegativeInfinity", with(kWiggle, 0, -kInf)},
        BeyondCase{"BothInfinities", with(with(kWiggle, 2, kInf), 5, -kInf)},
        BeyondCase{"OneValue", {4.0}}),
    [](const ::testing::TestParamInfo<BeyondCase>& info) { return std::string(info.param.name); });

TEST(LagSelection, FirstMaximiserWinsTies) {
  // 2p penalty (A = sqrt(0.1 ln 8) < B = 2): L_1 = 0.5 * 8 - 2 = 2 = 0.75 * 8 - 4 = L_2
  const std::vector<double> slots{0.0, 0.5, 0.25};
  const LagSelection s = select_lag(slots, 2, 8.0, 0.1);
  EXPECT_FALSE(s.logarithmic_penalty);
  EXPECT_EQ(s.p_tilde, 1u);
  EXPECT_TRUE(same_bits(s.sum, 0.5));
}

TEST(LagSelection, AEqualToBTakesTheLogarithmicPenalty) {
  // n = 4, M = sqrt(0.25): B = 2 * 0.5 = 1 exactly; find q with sqrt(q ln 4) == 1 exactly
  const std::vector<double> slots{0.0, 0.25, 0.01};
  double q = 1.0 / std::log(4.0);
  for (int step = 0; step < 64 && std::sqrt(q * std::log(4.0)) != 1.0; ++step) {
    q = std::nextafter(q, std::sqrt(q * std::log(4.0)) < 1.0 ? kInf : 0.0);
  }
  ASSERT_EQ(std::sqrt(q * std::log(4.0)), 1.0);
  double below = q;
  while (std::sqrt(below * std::log(4.0)) >= 1.0) {
    below = std::nextafter(below, 0.0);
  }
  EXPECT_TRUE(select_lag(slots, 2, 4.0, q).logarithmic_penalty);
  EXPECT_FALSE(select_lag(slots, 2, 4.0, below).logarithmic_penalty);
}

TEST(LagSelection, NaNOnEitherSideOfTheSwitchGivesTwoP) {
  const std::vector<double> slots{0.0, 0.25, 0.01};
  EXPECT_FALSE(select_lag(slots, 2, 4.0, std::numeric_limits<double>::quiet_NaN()).logarithmic_penalty);
  // q = inf passes the constructor: A = inf >= B
  EXPECT_TRUE(select_lag(slots, 2, 4.0, kInf).logarithmic_penalty);
}

TEST(LagSelection, AllNaNSelectsNothing) {
  const std::vector<double> slots{0.0, std::numeric_limits<double>::quiet_NaN(),
                                  std::numeric_limits<double>::quiet_NaN()};
  const LagSelection s = select_lag(slots, 2, 5.0, 2.4);
  EXPECT_EQ(s.p_tilde, 0u);
  EXPECT_EQ(bits(s.sum), bits(-0.0));
}

// Subtracting a value the data sit beside is exact (Sterbenz), so exact
// arithmetic gives both series one answer; the shifted one has a mean that
// rounds harmlessly.
TEST(ExactMean, AnOffsetChangesNoAnswer) {
  const double c = 1234.5;
  const double up = std::nextafter(c, kInf);
  const double down = std::nextafter(c, 0.0);
  std::vector<std::vector<double>> families;
  // a constant with runs of 1-ulp artefacts and two outliers
  std::vector<double> artefacts(100, c);
  artefacts[30] = c + 1.0;
  artefacts[70] = std::nextafter(c - 1.0, kInf);
  for (std::size_t s = 2; s < 26; s += 4) {
    std::fill_n(artefacts.begin() + static_cast<std::ptrdiff_t>(s), 3, up);
    std::fill_n(artefacts.begin() + static_cast<std::ptrdiff_t>(s + 38), 3, down);
  }
  families.push_back(artefacts);
  // one spike of an ulp, and of a thousand
  for (const double spike : {1.0, 1000.0}) {
    std::vector<double> x(250, 5.33);
    x[100] = 5.33 + spike * std::ldexp(1.0, std::ilogb(5.33) - 52);
    families.push_back(x);
  }
  // integers on a large offset, each value apart by 8 ulps or more
  std::vector<double> counts(100);
  for (std::size_t t = 0; t < counts.size(); ++t) {
    counts[t] = 1e15 + static_cast<double>((t * 7919) % 11);
  }
  families.push_back(counts);
  for (const std::vector<double>& x : families) {
    const double offset = x.front();
    std::vector<double> shifted(x.size());
    std::transform(x.begin(), x.end(), shifted.begin(), [offset](double v) { return v - offset; });
    for (const std::uint64_t d : {1u, 3u, 10u}) {
      const auto direct = run_escanciano_lobato(x, d, 2.4);
      const auto reference = run_escanciano_lobato(shifted, d, 2.4);
      ASSERT_TRUE(direct.has_value());
      ASSERT_TRUE(reference.has_value());
      EXPECT_EQ(direct->p_tilde, reference->p_tilde);
      EXPECT_NEAR(direct->statistic, reference->statistic, 0x1p-30 * std::max(1.0, reference->statistic));
    }
  }
  // all equal has a cause of its own
  const auto equal = run_escanciano_lobato(std::vector<double>(250, 5.33), 3, 2.4);
  ASSERT_FALSE(equal.has_value());
  EXPECT_EQ(std::get<ZeroVariance>(equal.error()).cause, ZeroVarianceCause::AllEqual);
}

// Ties in exact arithmetic under the 2p penalty go to the smaller p
TEST(LagSelection, AnExactTieTakesTheSmallerLag) {
  const std::vector<double> a{0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1};
  const auto tied = run_escanciano_lobato(a, 3, 1.0);
  ASSERT_TRUE(tied.has_value());
  EXPECT_EQ(tied->p_tilde, 2u);
  const std::vector<double> b{0, 1, 1, 0, 0, 0, 0, 0, 1, 1, 0, 0};
  const auto other = run_escanciano_lobato(b, 3, 1.0);
  ASSERT_TRUE(other.has_value());
  EXPECT_EQ(other->p_tilde, 2u);
}

TEST(ExactSum, SumsAndMeansExactly) {
  numeric::ExactSum sum;
  for (const double v : {1e16, 1.0, -1e16, 0x1p-60, 3.0}) {
    sum.add(v);
  }
  EXPECT_EQ(sum.rounded(), 4.0 + 0x1p-60);
  // a halfway case settled by what lies below: 2^53 + 1 + 2^-60
  numeric::ExactSum halfway;
  for (const double v : {0x1p53, 1.0, 0x1p-60}) {
    halfway.add(v);
  }
  EXPECT_EQ(halfway.rounded(), 0x1p53 + 2.0);
  // (1/3-ish) the mean as two parts: three values whose mean is no double
  numeric::ExactSum three;
  for (const double v : {1.0, 1.0, 2.0}) {
    three.add(v);
  }
  const numeric::TwoPartMean mean = numeric::two_part_mean(three, 3);
  EXPECT_EQ(mean.hi, 4.0 / 3.0);
  EXPECT_NE(mean.lo, 0.0);
  EXPECT_LT(std::fabs(mean.lo), 0x1p-52);
  three.add_product(4.0 / 3.0, -3.0);
  EXPECT_FALSE(three.is_zero());
}

TEST(Scan, PartialSumsBoundTheRoundingError) {
  // 1 + 2^-60 rounds to 1 (an error of 2^-60); the partial sums 1, 1, 0 and
  // 2^-61 make the bound 2^-53 4 max |partial| = 2^-51; the fifth value
  // lies beyond the four lanes
  const std::vector<double> x{1.0, 0x1p-60, -1.0, 0x1p-61, -3.0};
  const auto scanned = ScannedSeries::scan(x);
  EXPECT_EQ(scanned.sum(), 0x1p-61 - 3.0);
  EXPECT_EQ(scanned.largest_partial_sum(), 3.0 - 0x1p-61);
  EXPECT_EQ(scanned.smallest(), -3.0);
  EXPECT_EQ(scanned.largest(), 1.0);
}

}  // namespace
}  // namespace zorvane::statistical_tests::escanciano_lobato
