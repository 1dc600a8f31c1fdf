// Robust squared autocorrelations rho~^2_k of the Escanciano-Lobato test.
//
// For lag k with m = n - k pairs, u_t = x_t - mean and v_t = x_{t+k} - mean:
//   G_k = sum u_t v_t,  T_k = sum (u_t u_t)(v_t v_t),  t = 0 .. m-1,
// each one accumulator from -0.0 adding its terms in increasing t;
//   gamma_k = G_k / m,  tau_k = T_k / m,  rho~^2_k = (gamma_k gamma_k) / tau_k.
// Source: J. C. Escanciano and I. N. Lobato (2009), "An automatic Portmanteau
// test for serial correlation", Journal of Econometrics 151(2), 140-149.
//
// Several kernels compute the same bits: the straightforward loop (the
// reference) and a lag-blocked kernel built for the x86-64 baseline (SSE2),
// for AVX2, for AVX-512F, for aarch64's Advanced SIMD, and in portable scalar
// form. Which one runs is chosen once, at first use, by a short measurement
// on this CPU (kernel_choice()); every choice gives the same bits.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "statistical_tests/escanciano_lobato/interruption.hpp"

namespace zorvane::statistical_tests::escanciano_lobato {

// Smallest lag whose tau_k compares equal to zero, or 0 when there is none.
using ZeroLag = std::uint64_t;

// The sum of the deviations w_t = x_t - mean of a whole series, for the
// bound on the mean's rounding error, added in chunks of eight lanes (no
// particular order: a bound only). signed_sum is off the exact sum of the
// w_t by at most 2^-53 (longest_chain + chunks) sum |w_t|.
struct DeviationMoments {
  double signed_sum = 0.0;
  double longest_chain = 0.0;  // adds any term passes through, at most
  std::size_t chunks = 0;
  bool measured = false;       // every value was added

  // Adds x_t - mean for the `count` values from `x`.
  void add(const double* x, std::size_t count, double mean) noexcept;
  // Adds deviations already made.
  void add_made(const double* w, std::size_t count) noexcept;
};

enum class KernelTarget : std::uint8_t { Reference, Portable, Sse2, Avx2, Avx512, Neon };

[[nodiscard]] std::string_view to_string(KernelTarget target) noexcept;

struct BlockKernel;

// One way of computing the terms: writes rho~^2_k into slots[k] for
// k = 1 .. last_lag, in increasing k, and stops at the first lag whose robust
// variance term is zero (returning it; slots from that lag on are
// unspecified). Requires last_lag <= x.size() and slots.size() > last_lag.
// With an interruption, it counts each (t, k) pair as a unit of work and,
// once that says stop, returns 0 at once with the slots unspecified. Given
// `robust_sums` (of the slots' size), it also writes T_k there for each lag
// it finished, and given `moments`, it also fills them (the blocked kernels
// from the deviations of each chunk while they are in cache).
class RobustTermsKernel {
 public:
  RobustTermsKernel(KernelTarget target, const BlockKernel* blocked) noexcept : target_(target), blocked_(blocked) {}

  [[nodiscard]] ZeroLag operator()(std::span<const double> x, double mean, std::uint64_t last_lag,
                                   std::span<double> slots) const;
  [[nodiscard]] ZeroLag operator()(std::span<const double> x, double mean, std::uint64_t last_lag,
                                   std::span<double> slots, Interruption& interruption,
                                   std::span<double> robust_sums = {}, DeviationMoments* moments = nullptr) const;
  [[nodiscard]] KernelTarget target() const noexcept { return target_; }
  friend bool operator==(const RobustTermsKernel&, const RobustTermsKernel&) = default;

 private:
  KernelTarget target_;
  const BlockKernel* blocked_;  // null: the straightforward loop
};

// The targets this build has and this CPU can run, the reference first and
// the default vector kernel last.
[[nodiscard]] std::vector<KernelTarget> supported_targets();

// The kernel for a supported target (the reference for any other).
[[nodiscard]] RobustTermsKernel kernel_for(KernelTarget target) noexcept;

// Lag counts are chosen for in three classes: d <= 8, d <= 24 and beyond,
// each timed with blocks of about that many lags (8, 16, 48).
inline constexpr std::array<std::uint64_t, 3> kLagClassLimits = {8, 24, UINT64_MAX};
inline constexpr std::array<int, 3> kLagClassTimedLags = {8, 16, 48};

// What one vector kernel measured: nanoseconds per (t, k) pair of an
// in-cache block pass for each lag class.
struct KernelTiming {
  KernelTarget target;
  std::array<double, 3> pair_ns;
};

// The kernel chosen for each lag class, and why. The default is the target's
// preferred kernel (the last runnable one: AVX2 where the CPU has it); a
// kernel replaces it for a class only when it measured at most
// kChallengerShare of the default's time there, so that timings too close to
// call leave the default.
struct KernelChoice {
  std::array<KernelTarget, 3> target;
  std::vector<KernelTiming> timings;  // empty where there was nothing to choose from
  std::string reason;
  double measured_seconds;  // the measurement's cost
  double timing_seconds;    // the shortest that one timing lasted (0: nothing timed)
};
inline constexpr double kChallengerShare = 0.95;

// Measured once per process, at first use (about a millisecond: each timing
// lasts at least 100 ticks of the clock and 5 microseconds); never changes
// afterwards. Safe to call from any thread.
[[nodiscard]] const KernelChoice& kernel_choice();

// The choice among `timings` (of the runnable vector kernels, the default
// last) for lag class `lag_class`: the fastest kernel that beats the
// default's time by the share above, else the default.
[[nodiscard]] KernelTarget choose_target(std::span<const KernelTiming> timings, std::size_t lag_class) noexcept;

// The chosen kernel for `last_lag` lags.
[[nodiscard]] RobustTermsKernel best_kernel(std::uint64_t last_lag);
[[nodiscard]] KernelTarget best_target(std::uint64_t last_lag);

// The straightforward loop: one pass per sum per lag.
[[nodiscard]] ZeroLag robust_terms_reference(std::span<const double> x, double mean, std::uint64_t last_lag,
                                             std::span<double> slots) noexcept;
[[nodiscard]] ZeroLag robust_terms_reference(std::span<const double> x, double mean, std::uint64_t last_lag,
                                             std::span<double> slots, Interruption& interruption,
                                             std::span<double> robust_sums = {},
                                             DeviationMoments* moments = nullptr) noexcept;

// From the sums g[k - 1] = G_k and t[k - 1] = T_k: slots[k] = rho~^2_k for
// k = 1 .. last_lag, stopping at the first zero tau_k (returned); T_k into
// robust_sums[k] where that is given.
[[nodiscard]] ZeroLag finish_robust_terms(std::span<const double> g, std::span<const double> t, std::uint64_t n,
                                          std::uint64_t last_lag, std::span<double> slots,
                                          std::span<double> robust_sums = {}) noexcept;

}  // namespace zorvane::statistical_tests::escanciano_lobato
