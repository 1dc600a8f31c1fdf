// Chi-square p-values, incomplete gamma and log-gamma, bit for bit.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <sstream>
#include <string>

#include "bits.hpp"
#include "numeric/gamma_distribution.hpp"
#include "numeric/incomplete_gamma.hpp"
#include "numeric/log_gamma.hpp"

namespace zorvane::numeric {
namespace {

using zorvane::testing::same_bits;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double chi_square_pvalue(double statistic) {
  const auto chi_square = ChiSquareDistribution::create(1.0);
  if (!chi_square.has_value()) {
    ADD_FAILURE() << "freedom = 1 refused";
    return std::numeric_limits<double>::quiet_NaN();
  }
  return 1.0 - chi_square->cdf(statistic);
}

// Parameter names by position: the default would print the cases' bytes,
// padding included.
template <class Case>
std::string case_name(const ::testing::TestParamInfo<Case>& info) {
  return "case" + std::to_string(info.index);
}

struct PValueCase {
  double statistic;
  double pvalue;
};

void PrintTo(const PValueCase& c, std::ostream* out) { *out << "s=" << c.statistic << " p=" << c.pvalue; }

class ChiSquarePValue : public ::testing::TestWithParam<PValueCase> {};

TEST_P(ChiSquarePValue, MatchesBitForBit) {
  EXPECT_TRUE(same_bits(chi_square_pvalue(GetParam().statistic), GetParam().pvalue));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ChiSquarePValue,
    ::testing::Values(
        PValueCase{-0.0, 1.0}, PValueCase{0.0, 1.0}, PValueCase{-3.5, 1.0}, PValueCase{-kInf, 1.0},
        // 0.5 s <= 5 * 2**-52 gives P = 0 exactly; the next double reaches the series
        PValueCase{2.220446049250313e-15, 1.0},
        PValueCase{0x1.4000000000001p-49, 0x1.fffffebd09fe5p-1},  // 0.99999996240239553
        PValueCase{0.5, 0x1.eb02147ce245ap-2},                    // 0.47950012218695337, series
        PValueCase{1.0, 0x1.44ed0bb7cb20ap-2},                    // 0.31731050786291404, series
        PValueCase{2.0, 0.15729920705028488},                     // series, x = 1 exactly
        PValueCase{0x1.0000000000001p+1, 0.15729920705028588},    // continued fraction just above 2
        PValueCase{3.841458820694124, 0.050000000000000044},
        PValueCase{10.0, 0x1.9a5c5e03484p-10},  // 0.0015654022580025018
        PValueCase{50.0, 0x1.b0cp-40},          // 1.5374368445009168e-12, not the exact tail 1.53746e-12
        PValueCase{70.0, 0x1p-53},              // smallest non-zero p-value
        PValueCase{70.13, 0x1p-53},
        PValueCase{70.1304, 0.0},  // 1 - e^ax ans rounds to 1
        PValueCase{1e6, 0.0},      // x above 712.49: the underflow shortcut
        PValueCase{kInf, 0.0}, PValueCase{kNaN, kNaN},
        // where glibc 2.36's exp or log misrounds, the p-value moves to the one that
        // correctly rounded functions give (glibc's last digits in the comments)
        PValueCase{2462 * 0.00037, std::bit_cast<double>(0x3fd5c059aec92c74ULL)},  // ...76
        PValueCase{3432 * 0.00037, std::bit_cast<double>(0x3fd0a082544ed782ULL)},  // ...84
        PValueCase{3952 * 0.00037, std::bit_cast<double>(0x3fcd0060e21d2e78ULL)},  // ...7c
        PValueCase{9624 * 0.00037, std::bit_cast<double>(0x3fae49be63b2a980ULL)}),  // ...70
    case_name<PValueCase>);

TEST(ChiSquareDistribution, RefusesShapesThatAreNotPositive) {
  for (const double freedom : {0.0, -0.0, -1.0, -kInf, kNaN}) {
    const auto distribution = ChiSquareDistribution::create(freedom);
    ASSERT_FALSE(distribution.has_value()) << freedom;
    EXPECT_EQ(distribution.error(), GammaParameterError::ShapeInvalid);
  }
  const auto one = ChiSquareDistribution::create(1.0);
  ASSERT_TRUE(one.has_value());
  EXPECT_TRUE(same_bits(one->gamma().shape(), 0.5));
  EXPECT_TRUE(same_bits(one->gamma().rate(), 0.5));
  EXPECT_TRUE(same_bits(one->freedom(), 1.0));
}

struct DomainCase {
  double a;
  double x;
  GammaArgumentError error;
};

void PrintTo(const DomainCase& c, std::ostream* out) { *out << "a=" << c.a << " x=" << c.x << ' ' << c.error; }

class RegularizedLowerGammaDomain : public ::testing::TestWithParam<DomainCase> {};

TEST_P(RegularizedLowerGammaDomain, Refuses) {
  const auto result = regularized_lower_gamma(GetParam().a, GetParam().x);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Table, RegularizedLowerGammaDomain,
                         ::testing::Values(DomainCase{0.0, 1.0, GammaArgumentError::AInvalid},
                                           DomainCase{-0.0, 1.0, GammaArgumentError::AInvalid},
                                           DomainCase{-2.0, 1.0, GammaArgumentError::AInvalid},
                                           DomainCase{kInf, 1.0, GammaArgumentError::AInvalid},
                                           // a is checked before x
                                           DomainCase{0.0, -1.0, GammaArgumentError::AInvalid},
                                           DomainCase{0.5, 0.0, GammaArgumentError::XInvalid},
                                           DomainCase{0.5, -0.0, GammaArgumentError::XInvalid},
                                           DomainCase{0.5, -1.0, GammaArgumentError::XInvalid},
                                           DomainCase{0.5, kInf, GammaArgumentError::XInvalid}),
                         case_name<DomainCase>);

TEST(RegularizedLowerGamma, SpecialValuesBeforeTheLoops) {
  EXPECT_TRUE(std::isnan(*regularized_lower_gamma(kNaN, 1.0)));
  EXPECT_TRUE(std::isnan(*regularized_lower_gamma(0.5, kNaN)));
  // NaN is checked before the domain
  EXPECT_TRUE(std::isnan(*regularized_lower_gamma(-1.0, kNaN)));
  EXPECT_TRUE(same_bits(*regularized_lower_gamma(1.1102230246251565e-15, 3.0), 1.0));
  EXPECT_TRUE(same_bits(*regularized_lower_gamma(0.5, 1.1102230246251565e-15), 0.0));
  // underflow shortcut: 1 when a < x, 0 otherwise
  EXPECT_TRUE(same_bits(*regularized_lower_gamma(0.5, 800.0), 1.0));
  EXPECT_TRUE(same_bits(*regularized_lower_gamma(2000.0, 1.0), 0.0));
}

TEST(GammaDistributionCdf, InfiniteArgumentAndUlpsEquality) {
  const auto chi_square = *ChiSquareDistribution::create(1.0);
  EXPECT_TRUE(same_bits(chi_square.cdf(kInf), 1.0));
  EXPECT_TRUE(same_bits(chi_square.cdf(-0.0), 0.0));
  EXPECT_TRUE(ulps_equal(0.5, 0.5 + 1e-16));
  EXPECT_TRUE(ulps_equal(1e300, std::nextafter(std::nextafter(1e300, kInf), kInf)));
  EXPECT_FALSE(ulps_equal(1e300, 1e300 * (1 + 1e-15)));
  EXPECT_TRUE(ulps_equal(-1e-300, 1e-300));  // within 2**-52 of each other
  EXPECT_FALSE(ulps_equal(kNaN, kNaN));
}

TEST(LogGamma, ReferencePoints) {
  EXPECT_TRUE(same_bits(log_gamma(0.5), 0x1.250d048e7a1bcp-1));  // 0.57236494292469997
  EXPECT_TRUE(same_bits(log_gamma(1.0), -4.440892098500626e-16));
  EXPECT_TRUE(same_bits(log_gamma(2.0), 0.0));
  // reflection side: ln Gamma(0.25) = 1.2880225246980774
  EXPECT_NEAR(log_gamma(0.25), 1.2880225246980774, 1e-13);
  EXPECT_NEAR(log_gamma(10.0), 12.801827480081469, 1e-12);
  EXPECT_TRUE(std::isnan(log_gamma(kNaN)));
}

}  // namespace
}  // namespace zorvane::numeric
