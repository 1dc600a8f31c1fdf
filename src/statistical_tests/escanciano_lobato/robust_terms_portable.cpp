// The lag-blocked robust-terms kernel for portable scalar code: eight lags side by side, no vector instructions.
#include "statistical_tests/escanciano_lobato/robust_terms_blocked.hpp"
#include "statistical_tests/escanciano_lobato/robust_terms_internal.hpp"

namespace zorvane::statistical_tests::escanciano_lobato {
namespace portable_kernel {

struct Traits {
  using Vec = double;
  static constexpr int kWidth = 1;
  static constexpr int kMaxVectors = 8;
};

}  // namespace portable_kernel

const BlockKernel portable_block_kernel = {
    blocked::block_pass_any<portable_kernel::Traits>,
    portable_kernel::Traits::kWidth,
    portable_kernel::Traits::kMaxVectors,
};

}  // namespace zorvane::statistical_tests::escanciano_lobato
