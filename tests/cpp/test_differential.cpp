// The library against a plain, obviously correct loop, bit for bit, on seeded
// random series of many shapes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "bits.hpp"
#include "numeric/gamma_distribution.hpp"
#include "statistical_tests/escanciano_lobato/escanciano_lobato.hpp"

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
Expected plain_loop(const std::vector<double>& x, std::uint64_t d, double q) {
  const std::size_t n = x.size();
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

void expect_matches(const std::vector<double>& x, std::uint64_t d, double q, const std::string& what) {
  const Expected e = plain_loop(x, d, q);
  const auto r = run_escanciano_lobato(x, d, q);
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
