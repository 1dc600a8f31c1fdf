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
// own namespace (`Vec`: double or a GCC vector of doubles; `kWidth`: its lane
// count; `kMaxVectors`: vectors per block at most), so instantiations have
// distinct names and the linker cannot merge copies built for different
// instruction sets. No standard-library function is called here for the same
// reason: an out-of-line copy built with -mavx2 could otherwise be picked
// for the baseline path. (std::integer_sequence, used below, is a type that
// only drives compile-time expansion: it emits no code.)
#pragma once

#include <cstddef>
#include <cstring>
#include <utility>

namespace zorvane::statistical_tests::escanciano_lobato::blocked {

template <class Traits>
inline typename Traits::Vec load(const double* p) noexcept {
  if constexpr (Traits::kWidth == 1) {
    return *p;
  } else {
    typename Traits::Vec v;  // unaligned
    std::memcpy(&v, p, sizeof(v));
    return v;
  }
}

template <class Traits>
inline void store(double* p, const typename Traits::Vec& v) noexcept {
  if constexpr (Traits::kWidth == 1) {
    *p = v;
  } else {
    std::memcpy(p, &v, sizeof(v));
  }
}

template <class Traits>
inline typename Traits::Vec broadcast(double x) noexcept {
  if constexpr (Traits::kWidth == 1) {
    return x;
  } else {
    typename Traits::Vec v;
    for (int i = 0; i < Traits::kWidth; ++i) {
      v[i] = x;
    }
    return v;
  }
}

// t in [0, t_end) of a chunk whose deviations are w and s; g and t_acc hold
// the block's accumulators between chunks.
template <class Traits, int Vectors>
void block_pass(const double* w, const double* s, std::size_t first_lag, std::size_t t_end, double* g,
                double* t_acc) noexcept {
  using Vec = typename Traits::Vec;
  constexpr int kWidth = Traits::kWidth;
  Vec acc_g[Vectors];
  Vec acc_t[Vectors];
#pragma GCC unroll 8
  for (int v = 0; v < Vectors; ++v) {
    acc_g[v] = load<Traits>(g + v * kWidth);
    acc_t[v] = load<Traits>(t_acc + v * kWidth);
  }
  for (std::size_t t = 0; t < t_end; ++t) {
    const Vec wt = broadcast<Traits>(w[t]);
    const Vec st = broadcast<Traits>(s[t]);
    const double* wk = w + t + first_lag;
    const double* sk = s + t + first_lag;
#pragma GCC unroll 8
    for (int v = 0; v < Vectors; ++v) {
      // one add per lane and step, in increasing t: the reference order
      acc_g[v] = acc_g[v] + wt * load<Traits>(wk + v * kWidth);
      acc_t[v] = acc_t[v] + st * load<Traits>(sk + v * kWidth);
    }
  }
#pragma GCC unroll 8
  for (int v = 0; v < Vectors; ++v) {
    store<Traits>(g + v * kWidth, acc_g[v]);
    store<Traits>(t_acc + v * kWidth, acc_t[v]);
  }
}

template <class Traits, int... Vectors>
inline void dispatch(int vectors, std::integer_sequence<int, Vectors...>, const double* w, const double* s,
                     std::size_t first_lag, std::size_t t_end, double* g, double* t_acc) noexcept {
  static_cast<void>(
      ((vectors == Vectors + 1 ? (block_pass<Traits, Vectors + 1>(w, s, first_lag, t_end, g, t_acc), true) : false) ||
       ...));
}

template <class Traits>
void block_pass_any(int vectors, const double* w, const double* s, std::size_t first_lag, std::size_t t_end,
                    double* g, double* t_acc) noexcept {
  dispatch<Traits>(vectors, std::make_integer_sequence<int, Traits::kMaxVectors>{}, w, s, first_lag, t_end, g, t_acc);
}

}  // namespace zorvane::statistical_tests::escanciano_lobato::blocked
