// The lag-blocked robust-terms kernel for AVX2: four lags per register, up to 24 per block (this file alone is built with -mavx2).
#include "statistical_tests/escanciano_lobato/robust_terms_blocked.hpp"
#include "statistical_tests/escanciano_lobato/robust_terms_internal.hpp"

namespace zorvane::statistical_tests::escanciano_lobato {
namespace avx2_kernel {

struct Traits {
  using Vec = double __attribute__((vector_size(32)));
  static constexpr int kWidth = 4;
  static constexpr int kMaxVectors = 6;
};

}  // namespace avx2_kernel

const BlockKernel avx2_block_kernel = {
    blocked::block_pass_any<avx2_kernel::Traits>,
    avx2_kernel::Traits::kWidth,
    avx2_kernel::Traits::kMaxVectors,
};

}  // namespace zorvane::statistical_tests::escanciano_lobato
