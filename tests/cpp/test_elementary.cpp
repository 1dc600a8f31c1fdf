// exp and log: correctly rounded on every platform, bit for bit against a
// table made once with MPFR; the fast paths' tables and error bounds checked
// against the wide fixed-point evaluation.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "bits.hpp"
#include "numeric/elementary.hpp"
#include "numeric/wide_fixed.hpp"

namespace zorvane::numeric {
namespace {

using zorvane::testing::same_bits;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct ElementaryCase {
  double x;
  double expected;
};

#include "elementary_cases.inc"

TEST(Elementary, ExpMatchesTheCorrectlyRoundedTable) {
  for (const ElementaryCase& c : kExpCases) {
    EXPECT_TRUE(same_bits(numeric::exp(c.x), c.expected)) << "exp(" << std::hexfloat << c.x << ")";
  }
}

TEST(Elementary, LogMatchesTheCorrectlyRoundedTable) {
  for (const ElementaryCase& c : kLogCases) {
    EXPECT_TRUE(same_bits(numeric::log(c.x), c.expected)) << "log(" << std::hexfloat << c.x << ")";
  }
}

// The accurate paths alone give the same table wherever they are defined.
TEST(Elementary, AccuratePathsMatchTheTable) {
  for (const ElementaryCase& c : kExpCases) {
    if (std::fabs(c.x) >= 0x1p-54 && std::fabs(c.x) <= 746.0) {
      EXPECT_TRUE(same_bits(elementary::exp_accurate(c.x), c.expected)) << "exp(" << std::hexfloat << c.x << ")";
    }
  }
  for (const ElementaryCase& c : kLogCases) {
    if (c.x > 0.0 && c.x != 1.0 && std::isfinite(c.x)) {
      EXPECT_TRUE(same_bits(elementary::log_accurate(c.x), c.expected)) << "log(" << std::hexfloat << c.x << ")";
    }
  }
}

TEST(Elementary, NaNArgumentsAndLogsOfNegativesGiveNaN) {
  EXPECT_TRUE(std::isnan(numeric::exp(-kNaN)));
  EXPECT_TRUE(std::isnan(numeric::log(-kNaN)));
  EXPECT_TRUE(std::isnan(numeric::log(-0x1p-1074)));
}

// |exact - (hi + lo) 2**exponent| relative to |hi|, measured in wide fixed point
double relative_error(const elementary::Approximation& a, const wide::Fixed& exact) {
  const wide::Fixed approximation = wide::add(wide::from_double(a.hi), wide::from_double(a.lo));
  const double difference = wide::to_double(wide::subtract(exact, approximation), 0);
  return std::fabs(difference) / std::fabs(a.hi);
}

// The rounding test's bounds hold with room: the largest error seen over
// random arguments stays under a quarter of the bound.
TEST(Elementary, FastPathsStayWithinTheirErrorBounds) {
  std::mt19937_64 random(42);
  std::uniform_real_distribution<double> reduced(-0.35, 0.35);
  std::uniform_real_distribution<double> first_octave(0.0, 0.69);
  double worst_exp = 0.0;
  for (int i = 0; i < 20000; ++i) {
    // exp over every table entry at k = 0, so that hi + lo is the value itself
    const double x = first_octave(random);
    if (std::fabs(x) < 0x1p-54) {
      continue;
    }
    const elementary::Approximation a = elementary::exp_fast(x);
    ASSERT_EQ(a.exponent, 0);
    worst_exp = std::max(worst_exp, relative_error(a, wide::exp(wide::from_double(x))));
  }
  std::uniform_real_distribution<double> near_one(0x1.6a09e667f3bcdp-1, 0x1.6a09e667f3bcdp+0);
  double worst_log = 0.0;
  for (int i = 0; i < 20000; ++i) {
    // log on [sqrt(1/2), sqrt 2], where e = 0 and the cancellation is largest
    const double x = i % 2 == 0 ? near_one(random) : 1.0 + std::ldexp(reduced(random), -(i % 40));
    if (x == 1.0) {
      continue;
    }
    worst_log = std::max(worst_log, relative_error(elementary::log_fast(x), wide::log(wide::from_double(x))));
  }
  EXPECT_LT(worst_exp, elementary::kExpErrorBound / 4) << std::hexfloat << worst_exp;
  EXPECT_LT(worst_log, elementary::kLogErrorBound / 4) << std::hexfloat << worst_log;
  EXPECT_GT(worst_exp, 0.0);
  EXPECT_GT(worst_log, 0.0);
}

TEST(Elementary, RoundingTestRefusesUndecidedSums) {
  const double one_up = std::nextafter(1.0, 2.0);
  EXPECT_TRUE(elementary::rounding_decided(1.5, 0x1p-60, 0x1p-65));
  EXPECT_FALSE(elementary::rounding_decided(1.5, 0x1p-53, 0x1p-65));               // a tie
  EXPECT_FALSE(elementary::rounding_decided(1.5, 0x1p-53 - 0x1p-110, 0x1p-65));    // within the bound of one
  EXPECT_FALSE(elementary::rounding_decided(1.0, -0x1p-54, 0x1p-65));              // below 1 the gap halves
  EXPECT_TRUE(elementary::rounding_decided(one_up, -0x1p-54, 0x1p-65));
  EXPECT_FALSE(elementary::rounding_decided(-1.5, -0x1p-53, 0x1p-65));
}

// Every table entry of the fast paths, recomputed in wide fixed point and rounded the generator's way.
void expect_double_double(const wide::Fixed& exact, double hi, double lo, const char* what, std::size_t index) {
  const double rounded_hi = wide::to_double(exact, 0);
  const double rounded_lo = wide::to_double(wide::subtract(exact, wide::from_double(rounded_hi)), 0);
  EXPECT_TRUE(same_bits(hi, rounded_hi)) << what << " entry " << index;
  EXPECT_TRUE(same_bits(lo, rounded_lo)) << what << " entry " << index;
}

TEST(Elementary, TablesAreTheRoundedValues) {
  for (std::size_t j = 0; j < elementary::exp2_table().size(); ++j) {
    // 2**(j/128) = e**(j ln2 / 128)
    const wide::Fixed argument = wide::divide(wide::multiply(wide::ln2(), static_cast<std::uint32_t>(j)), 128U);
    const auto [hi, lo] = elementary::exp2_table()[j];
    expect_double_double(wide::exp(argument), hi, lo, "2**(j/128)", j);
  }
  for (std::size_t i = 0; i < elementary::log_table().size(); ++i) {
    const auto [c, hi, lo] = elementary::log_table()[i];
    EXPECT_TRUE(same_bits(c, 256.0 / static_cast<double>(i + static_cast<std::size_t>(elementary::log_table_first())))) << "c, entry " << i;
    wide::Fixed minus_log = wide::log(wide::from_double(c));
    minus_log.negative = !minus_log.negative && !minus_log.is_zero();
    expect_double_double(minus_log, hi, lo, "-ln c", i);
  }
}

TEST(WideFixed, RoundsToNearestEvenWithSubnormalsAndOverflow) {
  const wide::Fixed one = wide::from_double(1.0);
  EXPECT_TRUE(same_bits(wide::to_double(one, -1074), 0x1p-1074));
  EXPECT_TRUE(same_bits(wide::to_double(one, -1075), 0.0));  // a tie at half the smallest subnormal: to even
  EXPECT_TRUE(same_bits(wide::to_double(wide::from_double(1.5), -1075), 0x1p-1074));
  EXPECT_TRUE(same_bits(wide::to_double(wide::from_double(0x1.fffffffffffffp0), 1023), 0x1.fffffffffffffp1023));
  EXPECT_TRUE(same_bits(wide::to_double(one, 1024), kInf));
  // 1 + 2**-53 is a tie: to the even 1; a step above it rounds up
  const wide::Fixed tie = wide::add(one, wide::from_double(0x1p-53));
  EXPECT_TRUE(same_bits(wide::to_double(tie, 0), 1.0));
  EXPECT_TRUE(same_bits(wide::to_double(wide::add(tie, wide::from_double(0x1p-280)), 0), 0x1.0000000000001p0));
  wide::Fixed negative = wide::from_double(-0x1.8p-1);
  EXPECT_TRUE(same_bits(wide::to_double(negative, 0), -0x1.8p-1));
  EXPECT_TRUE(same_bits(wide::to_double(wide::Fixed{}, 0), 0.0));
}

TEST(WideFixed, DivisionAndProductAgree) {
  const wide::Fixed a = wide::from_double(1.2345678901234567);
  const wide::Fixed b = wide::from_double(0.7654321);
  const wide::Fixed q = wide::divide(a, b);
  // q b is a within the truncation of q (one step times b) and of the product
  const wide::Fixed back = wide::multiply(q, b);
  EXPECT_LT(wide::to_double(wide::subtract(a, back), 288), 2.0);
  EXPECT_GE(wide::to_double(wide::subtract(a, back), 288), 0.0);
  EXPECT_TRUE(same_bits(wide::to_double(wide::ln2(), 0), 0x1.62e42fefa39efp-1));
}

}  // namespace
}  // namespace zorvane::numeric
