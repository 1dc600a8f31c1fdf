// The lag-blocked robust-terms kernel for portable scalar code: eight lags side by side, no vector instructions.
#include "statistical_tests/escanciano_lobato/robust_terms_blocked.hpp"

namespace zorvane::statistical_tests::escanciano_lobato {
namespace portable_kernel {

struct Traits {
  using Vec = double;
  static constexpr int kWidth = 1;
  static constexpr int kMaxVectors = 8;

  static ZORVANE_ALWAYS_INLINE Vec load(const double* p) noexcept { return *p; }
  static ZORVANE_ALWAYS_INLINE void store(double* p, Vec v) noexcept { *p = v; }
  static ZORVANE_ALWAYS_INLINE Vec broadcast(double x) noexcept { return x; }
  static ZORVANE_ALWAYS_INLINE Vec add(Vec a, Vec b) noexcept { return a + b; }
  static ZORVANE_ALWAYS_INLINE Vec mul(Vec a, Vec b) noexcept { return a * b; }
};

}  // namespace portable_kernel

const BlockKernel portable_block_kernel = blocked::kernel_of<portable_kernel::Traits>();

}  // namespace zorvane::statistical_tests::escanciano_lobato
