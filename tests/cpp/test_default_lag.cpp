// The integer default lag against glibc's pow, and the one-pass scan's NaN
// and infinity findings. Other C libraries' pow is not held to rounding
// correctly, which is why the default lag does not call it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <vector>

#include "statistical_tests/escanciano_lobato/default_lag.hpp"
#include "statistical_tests/escanciano_lobato/default_lag_table.hpp"
#include "statistical_tests/escanciano_lobato/escanciano_lobato.hpp"

namespace zorvane::statistical_tests::escanciano_lobato {
namespace {

#if defined(__GLIBC__)
#define SKIP_WITHOUT_GLIBC()
#else
#define SKIP_WITHOUT_GLIBC() GTEST_SKIP() << "compared with glibc's pow only"
#endif

std::uint64_t pow_lag(std::uint64_t n) {
  return static_cast<std::uint64_t>(std::pow(static_cast<double>(n), 0.2));
}

std::uint64_t fifth_power(std::uint64_t k) { return k * k * k * k * k; }

TEST(DefaultLag, EveryLengthUpToTenMillion) {
  SKIP_WITHOUT_GLIBC();
  std::uint64_t mismatches = 0;
  for (std::uint64_t n = 1; n <= 10'000'000; ++n) {
    if (default_lag(n) != pow_lag(n) && ++mismatches <= 5) {
      ADD_FAILURE() << "n = " << n << ": " << default_lag(n) << ", pow gives " << pow_lag(n);
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

TEST(DefaultLag, AroundFifthPowers) {
  SKIP_WITHOUT_GLIBC();
  for (std::uint64_t k = 2; k <= 1000; ++k) {
    for (const std::uint64_t n : {fifth_power(k) - 1, fifth_power(k), fifth_power(k) + 1}) {
      EXPECT_EQ(default_lag(n), pow_lag(n)) << "n = " << n;
    }
    EXPECT_EQ(default_lag(fifth_power(k)), k);
  }
}

// Each threshold from the table, and the length just below it, up to 2**64 - 1.
TEST(DefaultLag, StepsAtEveryTabulatedThreshold) {
  namespace table = default_lag_table;
  for (std::uint64_t k = table::kFirstShortK; k <= table::kLargestK; ++k) {
    const std::uint64_t threshold = fifth_power(k) - table::kShortfall[k - table::kFirstShortK];
    EXPECT_EQ(default_lag(threshold), k);
    EXPECT_EQ(default_lag(threshold - 1), k - 1);
  }
  EXPECT_EQ(default_lag(1), 1u);
  EXPECT_EQ(default_lag(std::numeric_limits<std::uint64_t>::max()), 7131u);
}

// glibc's pow is within 0.52 ulp, not always correctly rounded: just below
// three thresholds it returns k where pow(n, 0.2), computed with 300 bits,
// lies below the midpoint under k by about 1e-4 ulp (1234.99999999999988623
// for the first). The default lag follows the correctly rounded value.
TEST(DefaultLag, AgreesWithPowAtThresholdsBelowTwoToThe53) {
  SKIP_WITHOUT_GLIBC();
  namespace table = default_lag_table;
  const std::vector<std::uint64_t> glibc_rounds_up = {2872994456271868, 6633829097599984, 7052972171766351};
  std::vector<std::uint64_t> disagreements;
  for (std::uint64_t k = table::kFirstShortK; k <= table::kLargestK; ++k) {
    const std::uint64_t threshold = fifth_power(k) - table::kShortfall[k - table::kFirstShortK];
    // above 2**53 a double cannot tell neighbours apart
    if (threshold >= (std::uint64_t{1} << 53)) {
      break;
    }
    for (const std::uint64_t n : {threshold - 1, threshold}) {
      if (default_lag(n) != pow_lag(n)) {
        disagreements.push_back(n);
      }
    }
  }
  EXPECT_EQ(disagreements, glibc_rounds_up);
  EXPECT_EQ(pow_lag(std::numeric_limits<std::uint64_t>::max()), 7131u);
}

struct ScanCase {
  const char* name;
  std::vector<double> values;
  bool nan;
  bool infinity;
};

// Printed by name: printing the raw bytes would read the struct's padding.
void PrintTo(const ScanCase& c, std::ostream* out) { *out << c.name; }

class Scan : public ::testing::TestWithParam<ScanCase> {};

TEST_P(Scan, FindsNanAndInfinity) {
  const auto scanned = ScannedSeries::scan(GetParam().values);
  EXPECT_EQ(scanned.has_nan(), GetParam().nan);
  EXPECT_EQ(scanned.has_infinity(), GetParam().infinity);
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kMax = std::numeric_limits<double>::max();

INSTANTIATE_TEST_SUITE_P(
    Values, Scan,
    ::testing::Values(ScanCase{"finite", {1.0, -2.0, 3.5}, false, false},
                      ScanCase{"sum_overflows", {kMax, kMax, -1.0}, false, false},
                      ScanCase{"sum_overflows_both_ways", {kMax, kMax, -kMax, -kMax, -kMax}, false, false},
                      ScanCase{"plus_infinity", {1.0, kInf, 2.0}, false, true},
                      ScanCase{"minus_infinity", {1.0, 2.0, -kInf}, false, true},
                      ScanCase{"both_infinities", {kInf, -kInf}, false, true},
                      ScanCase{"nan", {1.0, kNan}, true, false},
                      ScanCase{"nan_and_infinity", {kInf, kNan, 1.0}, true, true},
                      ScanCase{"empty", {}, false, false}),
    [](const ::testing::TestParamInfo<ScanCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zorvane::statistical_tests::escanciano_lobato
