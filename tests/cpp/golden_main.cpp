// Prints the golden file (one line per case of golden_cases.hpp); with
// --pvalues, the p-value of 200,000 statistics from 0 to 74 in hex, for
// comparing C libraries; with --series, each case's name, d, q and series
// (doubles as their bits in hex, tab-separated), for running the cases
// through the Python module.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "golden_cases.hpp"
#include "numeric/gamma_distribution.hpp"

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--pvalues") == 0) {
    const auto chi_square = zorvane::numeric::ChiSquareDistribution::create(1.0);
    if (!chi_square) {
      return 1;
    }
    for (int i = 0; i < 200000; ++i) {
      const double statistic = static_cast<double>(i) * 0.00037;
      const double pvalue = 1.0 - chi_square->cdf(statistic);
      std::printf("%016llx\n", static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(pvalue)));
    }
    return 0;
  }
  if (argc > 1 && std::strcmp(argv[1], "--series") == 0) {
    for (const auto& c : zorvane::testing::golden::cases()) {
      std::printf("%s\t%llu\t%s\t", c.name.c_str(), static_cast<unsigned long long>(c.d),
                  zorvane::testing::golden::hex(c.q).c_str());
      for (std::size_t i = 0; i < c.x.size(); ++i) {
        std::printf(i == 0 ? "%s" : " %s", zorvane::testing::golden::hex(c.x[i]).c_str());
      }
      std::printf("\n");
    }
    return 0;
  }
  for (const auto& c : zorvane::testing::golden::cases()) {
    std::printf("%s\n", zorvane::testing::golden::line(c).c_str());
  }
  return 0;
}
