// The lag-blocked robust-terms kernel for the x86-64 baseline: SSE2, two lags per register, eight per block.
#include "statistical_tests/escanciano_lobato/robust_terms_blocked.hpp"
#include "statistical_tests/escanciano_lobato/robust_terms_internal.hpp"

namespace zorvane::statistical_tests::escanciano_lobato {
namespace sse2_kernel {

struct Traits {
  using Vec = double __attribute__((vector_size(16)));
  static constexpr int kWidth = 2;
  static constexpr int kMaxVectors = 4;
};

}  // namespace sse2_kernel

const BlockKernel sse2_block_kernel = {
    blocked::block_pass_any<sse2_kernel::Traits>,
    sse2_kernel::Traits::kWidth,
    sse2_kernel::Traits::kMaxVectors,
};

}  // namespace zorvane::statistical_tests::escanciano_lobato
