// What the per-instruction-set kernel files export to the chunk driver.
#pragma once

#include <cstddef>

namespace zorvane::statistical_tests::escanciano_lobato {

// Deviations made while a block pass walks its chunk: at step t, w[t + ahead]
// = x[t + ahead] - mean and s[t + ahead] = its square, while t + ahead < end
// (x, w and s chunk-relative). A pass that makes none has end = 0.
struct Deviations {
  const double* x;
  double mean;
  std::size_t ahead;
  std::size_t end;
};

// The vector part of one lag block over one chunk: `vectors` registers of
// `width` lags starting at `first_lag`, for chunk-relative t in [0, t_end).
using BlockPass = void (*)(int vectors, double* w, double* s, std::size_t first_lag, std::size_t t_end, double* g,
                           double* t_acc, Deviations make) noexcept;

struct BlockKernel {
  BlockPass pass;
  int width;        // lags per register
  int max_vectors;  // registers per block at most
};

// Each defined only where its target is (platform.hpp).
extern const BlockKernel portable_block_kernel;
extern const BlockKernel sse2_block_kernel;
extern const BlockKernel avx2_block_kernel;
extern const BlockKernel avx512_block_kernel;
extern const BlockKernel neon_block_kernel;

}  // namespace zorvane::statistical_tests::escanciano_lobato
