// The vector part of the lag-blocked robust-terms kernel, written once and
// compiled per instruction set.
//
// Lanes are lags: a block holds `vectors * kWidth` consecutive lags, and lane
// k accumulates G_k += w_t w_{t+k} and T_k += s_t s_{t+k} with
// w = x - mean and s = w * w, adding its terms in increasing t exactly as the
// straightforward loop does (one accumulator per sum, no split, no fused
// multiply-add), so every bit matches.
//
// Each target's translation unit instantiates it with a Traits type of its
// own namespace, which says how many lags a register holds (`kWidth`), how
// many registers a block uses at most (`kMaxVectors`), and how to load,
// store, broadcast, add and multiply its vector type `Vec` (intrinsics, which
// GCC, Clang and MSVC all compile; no compiler's vector extensions). The
// instantiations therefore have distinct names and the linker cannot merge
// copies built for different instruction sets. No standard-library function
// is called here for the same reason: an out-of-line copy built with AVX2
// could otherwise be picked for the baseline path. (std::integer_sequence,
// used below, is a type that only drives compile-time expansion: it emits no
// code.)
#pragma once

#include <cstddef>
#include <utility>

#include "statistical_tests/escanciano_lobato/platform.hpp"
#include "statistical_tests/escanciano_lobato/robust_terms_internal.hpp"

namespace zorvane::statistical_tests::escanciano_lobato::blocked {

// t in [0, t_end) of a chunk whose deviations are w and s; g and t_acc hold
// the block's accumulators between chunks. The deviations `make` asks for are
// written at each step, ahead of where any load of this pass reads, so that
// their throughput work overlaps the accumulators' chains of adds.
template <class Traits, int Vectors>
void block_pass(double* w, double* s, std::size_t first_lag, std::size_t t_end, double* g, double* t_acc,
                Deviations make) noexcept {
  using Vec = typename Traits::Vec;
  constexpr int kWidth = Traits::kWidth;
  Vec acc_g[Vectors];
  Vec acc_t[Vectors];
  ZORVANE_UNROLL
  for (int v = 0; v < Vectors; ++v) {
    acc_g[v] = Traits::load(g + v * kWidth);
    acc_t[v] = Traits::load(t_acc + v * kWidth);
  }
  const auto step = [&](std::size_t t) ZORVANE_ALWAYS_INLINE_LAMBDA {
    const Vec wt = Traits::broadcast(w[t]);
    const Vec st = Traits::broadcast(s[t]);
    const double* wk = w + t + first_lag;
    const double* sk = s + t + first_lag;
    ZORVANE_UNROLL
    for (int v = 0; v < Vectors; ++v) {
      // one add per lane and step, in increasing t: the reference order;
      // a separate multiply and add, never fused
      acc_g[v] = Traits::add(acc_g[v], Traits::mul(wt, Traits::load(wk + v * kWidth)));
      acc_t[v] = Traits::add(acc_t[v], Traits::mul(st, Traits::load(sk + v * kWidth)));
    }
  };
  // the steps that also make a deviation, then those that make none
  const std::size_t room = make.end > make.ahead ? make.end - make.ahead : 0;
  const std::size_t making = room < t_end ? room : t_end;  // no std::min here (see above)
  for (std::size_t t = 0; t < making; ++t) {
    const double deviation = make.x[t + make.ahead] - make.mean;
    w[t + make.ahead] = deviation;
    s[t + make.ahead] = deviation * deviation;
    step(t);
  }
  for (std::size_t t = making; t < t_end; ++t) {
    step(t);
  }
  ZORVANE_UNROLL
  for (int v = 0; v < Vectors; ++v) {
    Traits::store(g + v * kWidth, acc_g[v]);
    Traits::store(t_acc + v * kWidth, acc_t[v]);
  }
}

template <class Traits, int... Vectors>
inline void dispatch(int vectors, std::integer_sequence<int, Vectors...>, double* w, double* s,
                     std::size_t first_lag, std::size_t t_end, double* g, double* t_acc, Deviations make) noexcept {
  static_cast<void>(
      ((vectors == Vectors + 1 ? (block_pass<Traits, Vectors + 1>(w, s, first_lag, t_end, g, t_acc, make), true)
                               : false) ||
       ...));
}

template <class Traits>
void block_pass_any(int vectors, double* w, double* s, std::size_t first_lag, std::size_t t_end, double* g,
                    double* t_acc, Deviations make) noexcept {
  dispatch<Traits>(vectors, std::make_integer_sequence<int, Traits::kMaxVectors>{}, w, s, first_lag, t_end, g, t_acc,
                   make);
}

// The kernel a target's file exports: its block pass and block shape.
template <class Traits>
constexpr BlockKernel kernel_of() noexcept {
  return BlockKernel{block_pass_any<Traits>, Traits::kWidth, Traits::kMaxVectors};
}

}  // namespace zorvane::statistical_tests::escanciano_lobato::blocked
