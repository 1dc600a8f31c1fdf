// Times the robust-terms kernels against the straightforward reference loop,
// per dispatch target, and prints one row per (n, d, target): median time,
// nanoseconds per (t, k) pair and the speed-up over the reference.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "statistical_tests/escanciano_lobato/escanciano_lobato.hpp"
#include "statistical_tests/escanciano_lobato/robust_terms.hpp"

namespace el = zorvane::statistical_tests::escanciano_lobato;

namespace {

double median_seconds(el::RobustTermsKernel kernel, const std::vector<double>& x, double mean, std::uint64_t d,
                      int repeats) {
  std::vector<double> slots(d + 1, 0.0);
  std::vector<double> times;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    const el::ZeroLag zero = kernel(x, mean, d, slots);
    const auto stop = std::chrono::steady_clock::now();
    if (zero != 0) std::abort();
    times.push_back(std::chrono::duration<double>(stop - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
  std::mt19937_64 rng(42);
  std::normal_distribution<double> normal;
  std::printf("%-10s %-5s %-10s %12s %12s %9s\n", "n", "d", "target", "ms", "ns/pair", "speed-up");
  for (const std::size_t n : {std::size_t{10'000}, std::size_t{1'000'000}, std::size_t{10'000'000}}) {
    if (quick && n > 1'000'000) continue;
    std::vector<double> x(n);
    for (auto& v : x) v = normal(rng);
    const double mean = el::ScannedSeries::scan(x).sum() / static_cast<double>(n);
    const auto default_d = static_cast<std::uint64_t>(std::pow(static_cast<double>(n), 0.2));
    for (const std::uint64_t d : {default_d, std::uint64_t{100}}) {
      const double pairs = static_cast<double>(d) * static_cast<double>(n) - static_cast<double>(d * (d + 1) / 2);
      const int repeats = n <= 10'000 ? 301 : (n <= 1'000'000 ? 11 : 3);
      double reference = 0.0;
      for (const el::KernelTarget target : el::supported_targets()) {
        const double seconds = median_seconds(el::kernel_for(target), x, mean, d, repeats);
        if (target == el::KernelTarget::Reference) reference = seconds;
        std::printf("%-10zu %-5llu %-10s %12.3f %12.3f %8.2fx\n", n, static_cast<unsigned long long>(d),
                    std::string(el::to_string(target)).c_str(), seconds * 1e3, seconds * 1e9 / pairs,
                    reference / seconds);
      }
    }
  }
  return 0;
}
