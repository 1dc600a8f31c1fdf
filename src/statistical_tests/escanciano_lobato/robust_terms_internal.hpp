// What the per-instruction-set kernel files export to the chunk driver.
#pragma once

#include <cstddef>

namespace zorvane::statistical_tests::escanciano_lobato {

// The vector part of one lag block over one chunk: `vectors` registers of
// `width` lags starting at `first_lag`, for chunk-relative t in [0, t_end).
using BlockPass = void (*)(int vectors, const double* w, const double* s, std::size_t first_lag, std::size_t t_end,
                           double* g, double* t_acc) noexcept;

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
