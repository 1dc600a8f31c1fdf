// Times the robust-terms kernels against the straightforward reference loop,
// per dispatch target, and against a floor measured in the same run: one
// dependent add per value (the mean's sum, which runs in index order) plus,
// per (t, k) pair, the best time of a lag-block pass over data that stay in
// the first-level cache. Prints the floor's parts, then one row per (n, d,
// target) with the best time of its repeats, nanoseconds per pair, the speed-up over the
// reference and the ratio to the floor, and one row per (n, d) for the whole
// computation (scan, terms, selection, p-value) with the kernel chosen for d
// on this CPU, which it prints first with the measurement behind the choice.
//
//   zorvane_kernel_bench [--quick | --choice]
// --choice prints the kernel choice alone and exits.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "statistical_tests/escanciano_lobato/default_lag.hpp"
#include "statistical_tests/escanciano_lobato/escanciano_lobato.hpp"
#include "statistical_tests/escanciano_lobato/platform.hpp"
#include "statistical_tests/escanciano_lobato/robust_terms.hpp"
#include "statistical_tests/escanciano_lobato/robust_terms_internal.hpp"

namespace el = zorvane::statistical_tests::escanciano_lobato;

namespace {

template <class Fn>
double best_seconds(Fn&& fn, int repeats) {
  std::vector<double> times;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    const auto stop = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double>(stop - start).count());
  }
  std::sort(times.begin(), times.end());
  return times.front();  // the best: on a shared machine the least disturbed run
}

volatile double sink;

// Nanoseconds per add of one chain of dependent additions over 4096 values.
double dependent_add_ns() {
  std::vector<double> values(4096, 1e-9);
  const double seconds = best_seconds(
      [&] {
        double sum = -0.0;
        for (int pass = 0; pass < 16; ++pass) {
          for (const double v : values) sum = sum + v;
        }
        sink = sum;
      },
      201);
  return seconds * 1e9 / (16.0 * static_cast<double>(values.size()));
}

// Nanoseconds per (t, k) pair of one block of `vectors` registers over a
// window of 512 steps that stays in the first-level cache.
double in_cache_pass_ns(const el::BlockKernel& kernel, int vectors) {
  constexpr std::size_t kSteps = 512;
  const std::size_t lanes = static_cast<std::size_t>(vectors * kernel.width);
  std::vector<double> w(kSteps + lanes + 1, 0.5);
  std::vector<double> s(kSteps + lanes + 1, 0.25);
  std::vector<double> g(lanes, -0.0);
  std::vector<double> t(lanes, -0.0);
  const double seconds = best_seconds(
      [&] {
        for (int pass = 0; pass < 8; ++pass) kernel.pass(vectors, w.data(), s.data(), 1, kSteps, g.data(), t.data(), {});
      },
      201);
  sink = g[0] + t[0];
  return seconds * 1e9 / (8.0 * static_cast<double>(kSteps * lanes));
}

struct Ceiling {
  double add_ns;
  double pair_ns_16;   // blocks of about 16 lags
  double pair_ns_100;  // the largest blocks (as for about 100 lags)
};

Ceiling measure_ceiling() {
  Ceiling c{dependent_add_ns(), 1e9, 1e9};
  std::printf("floor parts: dependent add %.3f ns\n", c.add_ns);
  for (const el::TargetKernel& runnable : el::runnable_vector_kernels()) {
    const el::BlockKernel& k = *runnable.kernel;
    const int for_16 = std::min(k.max_vectors, std::max(1, 16 / k.width));
    const double p16 = in_cache_pass_ns(k, for_16);
    const double p100 = in_cache_pass_ns(k, k.max_vectors);
    std::printf("floor parts: %-7s in-cache pass %3d lags %.3f ns/pair, %3d lags %.3f ns/pair\n",
                std::string(el::to_string(runnable.target)).c_str(), for_16 * k.width, p16,
                k.max_vectors * k.width, p100);
    c.pair_ns_16 = std::min(c.pair_ns_16, p16);
    c.pair_ns_100 = std::min(c.pair_ns_100, p100);
  }
  return c;
}

double pairs_of(std::size_t n, std::uint64_t d) {
  return static_cast<double>(d) * static_cast<double>(n) - static_cast<double>(d * (d + 1) / 2);
}

// n dependent adds for the mean, and every pair at the best in-cache speed
// for blocks of that size.
double floor_seconds(const Ceiling& c, std::size_t n, std::uint64_t d) {
  const double pair_ns = d <= 24 ? c.pair_ns_16 : c.pair_ns_100;
  return (static_cast<double>(n) * c.add_ns + pairs_of(n, d) * pair_ns) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const bool quick = mode == "--quick";
  const el::KernelChoice& choice = el::kernel_choice();
  const std::string chosen = "d <= 8 " + std::string(el::to_string(choice.target[0])) + ", d <= 24 " +
                             std::string(el::to_string(choice.target[1])) + ", d > 24 " +
                             std::string(el::to_string(choice.target[2]));
  if (mode == "--choice") {  // the choice alone, for a count over fresh processes
    std::printf("%s\n", chosen.c_str());
    return 0;
  }
  std::printf("kernel chosen: %s (measured at first use in %.0f us, each timing at least %.1f us)\n", chosen.c_str(),
              choice.measured_seconds * 1e6, choice.timing_seconds * 1e6);
  std::printf("why: %s\n", choice.reason.c_str());
  const Ceiling ceiling = measure_ceiling();
  std::mt19937_64 rng(42);
  std::normal_distribution<double> normal;
  std::printf("%-10s %-5s %-10s %12s %12s %9s %9s\n", "n", "d", "target", "ms", "ns/pair", "speed-up", "/floor");
  for (const std::size_t n : {std::size_t{10'000}, std::size_t{1'000'000}, std::size_t{10'000'000}}) {
    if (quick && n > 1'000'000) continue;
    std::vector<double> x(n);
    for (auto& v : x) v = normal(rng);
    const el::ScannedSeries scanned = el::ScannedSeries::scan(x);
    const double mean = scanned.sum() / static_cast<double>(n);
    for (const std::uint64_t d : {std::uint64_t{6}, std::uint64_t{15}, std::uint64_t{25}, std::uint64_t{100}}) {
      const double pairs = pairs_of(n, d);
      const double floor = floor_seconds(ceiling, n, d);
      const int repeats = n <= 10'000 ? 301 : (n <= 1'000'000 ? 11 : 3);
      std::vector<double> slots(d + 1, 0.0);
      double reference = 0.0;
      for (const el::KernelTarget target : el::supported_targets()) {
        const el::RobustTermsKernel kernel = el::kernel_for(target);
        const double seconds = best_seconds(
            [&] {
              if (kernel(x, mean, d, slots) != 0) std::abort();
            },
            target == el::KernelTarget::Reference && n > 1'000'000 ? 1 : repeats);
        if (target == el::KernelTarget::Reference) reference = seconds;
        std::printf("%-10zu %-5llu %-10s %12.3f %12.3f %8.2fx %8.2fx\n", n, static_cast<unsigned long long>(d),
                    std::string(el::to_string(target)).c_str(), seconds * 1e3, seconds * 1e9 / pairs,
                    reference / seconds, seconds / floor);
      }
      const double whole = best_seconds(
          [&] {
            const auto outcome = el::run_escanciano_lobato(el::ScannedSeries::scan(x), d, 2.4);
            if (!outcome) std::abort();
            sink = outcome->statistic;
          },
          repeats);
      const std::string whole_name = "whole:" + std::string(el::to_string(el::best_target(d)));
      std::printf("%-10zu %-5llu %-10s %12.3f %12.3f %9s %8.2fx\n", n, static_cast<unsigned long long>(d),
                  whole_name.c_str(), whole * 1e3, whole * 1e9 / pairs, "", whole / floor);
    }
  }
  return 0;
}
