// Robust squared autocorrelations: the reference loop, the shared finishing
// step, and the choice of kernel by CPU.
#include "statistical_tests/escanciano_lobato/robust_terms.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <memory>

#include "statistical_tests/escanciano_lobato/platform.hpp"
#include "statistical_tests/escanciano_lobato/robust_terms_internal.hpp"

namespace zorvane::statistical_tests::escanciano_lobato {
namespace {

// Values per chunk: w and s of a chunk and of the d values after it stay in
// the first or second level cache.
inline constexpr std::size_t kChunk = 1024;
// Steps between making a deviation and its first load (see below).
inline constexpr std::size_t kLead = 64;

// G_k and T_k for k = 1 .. last_lag, the lags in blocks side by side in
// vector lanes, finished into slots (finish_robust_terms). Deviations w = x - mean and their
// squares are computed per chunk, so extra memory is O(kChunk + d), and no
// more than the series needs: a short series costs no chunk-sized scratch.
//
// The sums and the scratch share one block of memory, on the stack where it
// is small (a short series costs no allocation), else on the heap.
ZeroLag accumulate_blocked(const BlockKernel& kernel, std::span<const double> x, double mean, std::size_t last_lag,
                           std::span<double> slots, Interruption& interruption, std::span<double> robust_sums,
                           DeviationMoments* moments) {
  const std::size_t n = x.size();
  const auto width = static_cast<std::size_t>(kernel.width);
  // Spread the registers evenly over blocks, the larger blocks first, so
  // that only the last register holds padding lanes (25 lags in 4-lag
  // registers as blocks of 4 and 3 registers, not 2 x 4 with 7 lanes idle;
  // 100 lags as 5 x 5).
  const std::size_t total_vectors = (last_lag + width - 1) / width;
  const auto max_vectors = static_cast<std::size_t>(kernel.max_vectors);
  const std::size_t blocks = (total_vectors + max_vectors - 1) / max_vectors;
  const auto vectors_of_block = [&](std::size_t block) {
    return total_vectors / blocks + (block < total_vectors % blocks ? 1 : 0);
  };
  const std::size_t padded_lags = total_vectors * width;
  const std::size_t t_total = n - 1;  // lag 1 has the most pairs
  // Deviations of x[c0 .. c0 + chunk + padded_lags); the zeros past the end
  // of the series feed only padding lanes, whose sums are never read.
  const std::size_t chunk = std::min(kChunk, t_total);
  const std::size_t window = chunk + padded_lags;

  // Left uninitialised: every sum is set below, and every deviation is
  // written before it is read (as the passes need them, zeros past the series).
  constexpr std::size_t kOnStack = 640;  // doubles: 5 KiB
  alignas(64) std::array<double, kOnStack> on_stack;
  std::unique_ptr<double[]> on_heap;
  const std::size_t needed = 2 * padded_lags + 2 * window;
  if (needed > kOnStack) {
    on_heap.reset(new double[needed]);
  }
  double* const memory = on_heap ? on_heap.get() : on_stack.data();
  double* const g = memory;
  double* const t_acc = memory + padded_lags;
  double* const w = memory + 2 * padded_lags;
  double* const s = w + window;
  std::fill(g, g + 2 * padded_lags, -0.0);  // every sum starts at -0.0

  // w[j] = x[c0 + j] - mean and s[j] = w[j] w[j] for j in [from, to)
  const auto deviations = [&](std::size_t c0, std::size_t from, std::size_t to) {
    for (std::size_t j = from; j < to; ++j) {
      const double deviation = x[c0 + j] - mean;
      w[j] = deviation;
      s[j] = deviation * deviation;
    }
  };
  for (std::size_t c0 = 0; c0 < t_total; c0 += chunk) {
    const std::size_t c1 = std::min(c0 + chunk, t_total);
    const std::size_t filled = std::min(window, n - c0);
    std::fill(w + filled, w + window, 0.0);
    std::fill(s + filled, s + window, 0.0);
    // The first block's pass reads w and s up to t + lanes at step t. It is
    // given those up to index lanes + kLead and makes one more at each step:
    // kLead steps ahead of its first read, so that the scalar store has left
    // the store buffer before a vector load covers it (a load that overlaps
    // a pending smaller store cannot take its data from it and waits).
    const std::size_t ahead = std::min(vectors_of_block(0) * width + 1 + kLead, filled);
    deviations(c0, 0, ahead);
    std::size_t made = ahead;

    std::size_t first_lag = 1;
    for (std::size_t block = 0; block < blocks; ++block) {
      const std::size_t vectors = vectors_of_block(block);
      const std::size_t lanes = vectors * width;
      const std::size_t last_real = std::min(first_lag + lanes - 1, last_lag);
      double* gb = g + (first_lag - 1);
      double* tb = t_acc + (first_lag - 1);
      // vector part: every real lane of the block has pairs for t < n - last_real
      const std::size_t common_end = std::min(c1, n - last_real);
      const bool first_block = first_lag == 1;
      if (common_end > c0) {
        const Deviations make{x.data() + c0, mean, ahead, first_block ? filled : 0};
        kernel.pass(static_cast<int>(vectors), w, s, first_lag, common_end - c0, gb, tb, make);
        if (first_block) {
          made = std::min(filled, std::max(made, common_end - c0 + ahead));
        }
      }
      if (first_block) {
        deviations(c0, made, filled);  // the rest of the window, for the tails and later blocks
        if (moments != nullptr) {
          moments->add_made(w, c1 - c0);  // this chunk's own deviations, in cache
        }
      }
      // ragged tail: lanes with fewer pairs end early; each still adds in
      // increasing t, after its vector part
      const std::size_t tail_begin = std::max(c0, common_end);
      for (std::size_t k = first_lag; k <= last_real; ++k) {
        const std::size_t lane_end = std::min(c1, n - k);
        double gk = gb[k - first_lag];
        double tk = tb[k - first_lag];
        for (std::size_t t = tail_begin; t < lane_end; ++t) {
          gk = gk + w[t - c0] * w[t - c0 + k];
          tk = tk + s[t - c0] * s[t - c0 + k];
        }
        gb[k - first_lag] = gk;
        tb[k - first_lag] = tk;
      }
      first_lag += lanes;
      // (t, k) pairs of this block and chunk, counted between blocks: a
      // chunk of many lags is long
      if (interruption.advance((c1 - c0) * lanes)) {
        return 0;
      }
    }
  }
  if (moments != nullptr) {
    moments->add(x.data() + t_total, 1, mean);  // the last value starts no chunk
    moments->measured = true;
  }
  return finish_robust_terms({g, last_lag}, {t_acc, last_lag}, n, last_lag, slots, robust_sums);
}

ZeroLag robust_terms_blocked(const BlockKernel& kernel, std::span<const double> x, double mean,
                             std::uint64_t last_lag, std::span<double> slots, Interruption& interruption,
                             std::span<double> robust_sums, DeviationMoments* moments) {
  if (last_lag == 0) {
    return 0;
  }
  return accumulate_blocked(kernel, x, mean, static_cast<std::size_t>(last_lag), slots, interruption, robust_sums,
                            moments);
}

// tau_k = T_k / m and gamma_k = G_k / m for m pairs; zero tau stops.
inline bool finish_lag(double g, double t, std::uint64_t m, std::uint64_t k, std::span<double> slots,
                       std::span<double> robust_sums) noexcept {
  const auto m_f = static_cast<double>(m);
  const double gamma = g / m_f;
  const double tau = t / m_f;
  // either sign of zero; NaN (no pairs, or non-finite data) is not zero
  if (tau == 0.0) {
    return false;
  }
  slots[k] = (gamma * gamma) / tau;
  if (!robust_sums.empty()) {
    robust_sums[k] = t;
  }
  return true;
}

}  // namespace

ZeroLag robust_terms_reference(std::span<const double> x, double mean, std::uint64_t last_lag,
                               std::span<double> slots) noexcept {
  Interruption never;
  return robust_terms_reference(x, mean, last_lag, slots, never);
}

ZeroLag robust_terms_reference(std::span<const double> x, double mean, std::uint64_t last_lag,
                               std::span<double> slots, Interruption& interruption, std::span<double> robust_sums,
                               DeviationMoments* moments) noexcept {
  const std::size_t n = x.size();
  if (moments != nullptr) {
    moments->add(x.data(), n, mean);
    moments->measured = true;
  }
  for (std::uint64_t k = 1; k <= last_lag; ++k) {
    const std::size_t m = n - k;
    // Sums start at -0.0 so that an empty sum is -0.0; terms are added in
    // increasing t. Any other order changes the last bits. The two sums are
    // independent chains, so one pass serves both.
    double g = -0.0;
    double h = -0.0;
    for (std::size_t t = 0; t < m; ++t) {
      const double u = x[t] - mean;
      const double v = x[t + k] - mean;
      g = g + u * v;
      h = h + (u * u) * (v * v);  // not (u v)^2, which rounds differently
    }
    if (!finish_lag(g, h, m, k, slots, robust_sums)) {
      return k;
    }
    if (interruption.advance(m)) {
      return 0;
    }
  }
  return 0;
}

namespace {

// sum w_t over t < count, for w_t = deviation(t), in eight lanes held in
// named locals (accumulators in an array would go through memory, one
// store-to-load latency per add).
template <class Deviation>
void add_moments(DeviationMoments& moments, std::size_t count, Deviation deviation) noexcept {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0, s4 = 0.0, s5 = 0.0, s6 = 0.0, s7 = 0.0;
  std::size_t t = 0;
  for (; t + 8 <= count; t += 8) {
    s0 += deviation(t);
    s1 += deviation(t + 1);
    s2 += deviation(t + 2);
    s3 += deviation(t + 3);
    s4 += deviation(t + 4);
    s5 += deviation(t + 5);
    s6 += deviation(t + 6);
    s7 += deviation(t + 7);
  }
  for (; t < count; ++t) {
    s0 += deviation(t);
  }
  moments.signed_sum += ((s0 + s1) + (s2 + s3)) + ((s4 + s5) + (s6 + s7));
  // a term passes through its lane (count / 8 + 7 adds with the tail), the
  // three that join the lanes, and one add into the total per later chunk
  ++moments.chunks;
  moments.longest_chain = std::max(moments.longest_chain, static_cast<double>(count / 8 + 10));
}

}  // namespace

void DeviationMoments::add(const double* x, std::size_t count, double mean) noexcept {
  add_moments(*this, count, [x, mean](std::size_t t) { return x[t] - mean; });
}

void DeviationMoments::add_made(const double* w, std::size_t count) noexcept {
  add_moments(*this, count, [w](std::size_t t) { return w[t]; });
}

ZeroLag finish_robust_terms(std::span<const double> g, std::span<const double> t, std::uint64_t n,
                            std::uint64_t last_lag, std::span<double> slots, std::span<double> robust_sums) noexcept {
  for (std::uint64_t k = 1; k <= last_lag; ++k) {
    if (!finish_lag(g[k - 1], t[k - 1], n - k, k, slots, robust_sums)) {
      return k;
    }
  }
  return 0;
}

ZeroLag RobustTermsKernel::operator()(std::span<const double> x, double mean, std::uint64_t last_lag,
                                      std::span<double> slots) const {
  Interruption never;
  return (*this)(x, mean, last_lag, slots, never);
}

ZeroLag RobustTermsKernel::operator()(std::span<const double> x, double mean, std::uint64_t last_lag,
                                      std::span<double> slots, Interruption& interruption,
                                      std::span<double> robust_sums, DeviationMoments* moments) const {
  return blocked_ == nullptr
             ? robust_terms_reference(x, mean, last_lag, slots, interruption, robust_sums, moments)
             : robust_terms_blocked(*blocked_, x, mean, last_lag, slots, interruption, robust_sums, moments);
}

std::string_view to_string(KernelTarget target) noexcept {
  switch (target) {
    case KernelTarget::Reference:
      return "reference";
    case KernelTarget::Portable:
      return "portable";
    case KernelTarget::Sse2:
      return "sse2";
    case KernelTarget::Avx2:
      return "avx2";
    case KernelTarget::Avx512:
      return "avx512";
    case KernelTarget::Neon:
      return "neon";
  }
  return "unknown";
}

std::vector<KernelTarget> supported_targets() {
  std::vector<KernelTarget> targets{KernelTarget::Reference, KernelTarget::Portable};
  for (const TargetKernel& runnable : runnable_vector_kernels()) {
    targets.push_back(runnable.target);
  }
  return targets;
}

RobustTermsKernel kernel_for(KernelTarget target) noexcept {
  if (target == KernelTarget::Portable) {
    return {target, &portable_block_kernel};
  }
  for (const TargetKernel& runnable : runnable_vector_kernels()) {
    if (runnable.target == target) {
      return {target, runnable.kernel};
    }
  }
  return {KernelTarget::Reference, nullptr};
}

namespace {

using Clock = std::chrono::steady_clock;

// The clock's effective tick: the smallest step seen between two readings
// (1 ns or less on Linux; 100 ns where the clock counts in 100 ns units).
double clock_tick_seconds() {
  double tick = 1.0;
  for (int i = 0; i < 8; ++i) {
    const auto first = Clock::now();
    auto next = Clock::now();
    while (next == first) {
      next = Clock::now();
    }
    tick = std::min(tick, std::chrono::duration<double>(next - first).count());
  }
  return tick;
}

// A timing lasts at least this many ticks of the clock, so that the tick is
// under 1% of it, and at least kMinTimingSeconds, so that a timing is many
// passes long even where the clock ticks in nanoseconds.
inline constexpr double kMinTimingTicks = 100;
inline constexpr double kMinTimingSeconds = 5e-6;

// An in-cache block pass: `vectors` registers of `kernel` over a window of
// 256 steps that stays in the first-level cache.
class InCachePass {
 public:
  InCachePass(const BlockKernel& kernel, int vectors)
      : kernel_(kernel),
        vectors_(vectors),
        lanes_(static_cast<std::size_t>(vectors) * static_cast<std::size_t>(kernel.width)),
        w_(kSteps + lanes_ + 1, 0.5),
        s_(kSteps + lanes_ + 1, 0.25),
        g_(lanes_, -0.0),
        t_(lanes_, -0.0) {}

  // Seconds taken by `passes` passes.
  double seconds(int passes) {
    const auto start = Clock::now();
    for (int pass = 0; pass < passes; ++pass) {
      kernel_.pass(vectors_, w_.data(), s_.data(), 1, kSteps, g_.data(), t_.data(), {});
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
  }

  // The number of passes that lasts at least `min_seconds`, found by doubling.
  int passes_lasting(double min_seconds) {
    int passes = 4;
    while (seconds(passes) < min_seconds && passes < (1 << 20)) {
      passes *= 2;
    }
    return passes;
  }

  [[nodiscard]] double pair_ns(int passes, double seconds) const {
    return seconds * 1e9 / (static_cast<double>(passes) * static_cast<double>(kSteps * lanes_));
  }

 private:
  static constexpr std::size_t kSteps = 256;
  const BlockKernel& kernel_;
  int vectors_;
  std::size_t lanes_;
  std::vector<double> w_, s_, g_, t_;
};

std::string describe(std::span<const KernelTiming> timings, const std::array<KernelTarget, 3>& chosen) {
  if (timings.size() < 2) {
    return "the only vector kernel for this CPU";
  }
  std::string text = "in-cache ns/pair at 8, 16, 48 lags:";
  for (const KernelTiming& timing : timings) {
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, " %.3f %.3f %.3f", timing.pair_ns[0], timing.pair_ns[1],
                  timing.pair_ns[2]);
    text.append(" ").append(to_string(timing.target)).append(numbers).append(";");
  }
  const KernelTarget fallback = timings.back().target;
  text.append(" default ").append(to_string(fallback)).append(", replaced where another took at most 95% of its time:");
  for (std::size_t c = 0; c < chosen.size(); ++c) {
    text.append(c == 0 ? " d <= 8 " : (c == 1 ? ", d <= 24 " : ", d > 24 ")).append(to_string(chosen[c]));
  }
  return text;
}

KernelChoice measure_choice() {
  const auto start = Clock::now();
  const std::span<const TargetKernel> runnable = runnable_vector_kernels();
  KernelChoice choice{};
  if (runnable.empty()) {
    choice.target.fill(KernelTarget::Portable);
    choice.reason = "no vector kernel for this target: the portable one";
    return choice;
  }
  if (runnable.size() > 1) {
    // Rounds that time every kernel and class once each, the best of each
    // kept, so that a clock that a wide kernel lowers for a while weighs on
    // all of them alike. Each pass count is set in an untimed first round,
    // which also wakes the units each kernel uses: some CPUs run wide
    // operations slowly for a moment after a pause in their use.
    constexpr int kRounds = 8;
    const double min_seconds = std::max(kMinTimingTicks * clock_tick_seconds(), kMinTimingSeconds);
    std::vector<InCachePass> passes;
    std::vector<int> counts;
    for (const TargetKernel& candidate : runnable) {
      choice.timings.push_back(KernelTiming{candidate.target, {}});
      for (const int lags : kLagClassTimedLags) {
        const BlockKernel& kernel = *candidate.kernel;
        passes.emplace_back(kernel, std::clamp(lags / kernel.width, 1, kernel.max_vectors));
        counts.push_back(passes.back().passes_lasting(min_seconds));
      }
    }
    for (int round = 0; round < kRounds; ++round) {
      for (std::size_t k = 0; k < runnable.size(); ++k) {
        for (std::size_t c = 0; c < kLagClassTimedLags.size(); ++c) {
          InCachePass& pass = passes[k * kLagClassTimedLags.size() + c];
          const int count = counts[k * kLagClassTimedLags.size() + c];
          const double ns = pass.pair_ns(count, pass.seconds(count));
          double& best = choice.timings[k].pair_ns[c];
          best = round == 0 ? ns : std::min(best, ns);
        }
      }
    }
    choice.timing_seconds = min_seconds;
  }
  for (std::size_t c = 0; c < choice.target.size(); ++c) {
    choice.target[c] = choice.timings.empty() ? runnable.back().target : choose_target(choice.timings, c);
  }
  choice.reason = describe(choice.timings, choice.target);
  choice.measured_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return choice;
}

}  // namespace

KernelTarget choose_target(std::span<const KernelTiming> timings, std::size_t lag_class) noexcept {
  const KernelTiming& fallback = timings.back();
  const KernelTiming* best = &fallback;
  for (const KernelTiming& timing : timings) {
    if (timing.pair_ns[lag_class] <= kChallengerShare * fallback.pair_ns[lag_class] &&
        timing.pair_ns[lag_class] < best->pair_ns[lag_class]) {
      best = &timing;
    }
  }
  return best->target;
}

const KernelChoice& kernel_choice() {
  // Measured once; a static local is initialised by one thread while any
  // other waits, and never changes afterwards.
  static const KernelChoice choice = measure_choice();
  return choice;
}

KernelTarget best_target(std::uint64_t last_lag) {
  const KernelChoice& choice = kernel_choice();
  std::size_t c = 0;
  while (last_lag > kLagClassLimits[c]) {
    ++c;
  }
  return choice.target[c];
}

RobustTermsKernel best_kernel(std::uint64_t last_lag) { return kernel_for(best_target(last_lag)); }

}  // namespace zorvane::statistical_tests::escanciano_lobato
