// The lag-blocked robust-terms kernel for aarch64: 128-bit Advanced SIMD
// (part of every ARMv8-A CPU), two lags per register, up to 20 per block.
#include "statistical_tests/escanciano_lobato/platform.hpp"

#if defined(ZORVANE_AARCH64)

#include <arm_neon.h>

#include "statistical_tests/escanciano_lobato/robust_terms_blocked.hpp"

namespace zorvane::statistical_tests::escanciano_lobato {
namespace neon_kernel {

// 32 vector registers: 20 accumulators, two broadcasts and the loads fit.
struct Traits {
  using Vec = float64x2_t;
  static constexpr int kWidth = 2;
  static constexpr int kMaxVectors = 10;

  static ZORVANE_ALWAYS_INLINE Vec load(const double* p) noexcept { return vld1q_f64(p); }
  static ZORVANE_ALWAYS_INLINE void store(double* p, Vec v) noexcept { vst1q_f64(p, v); }
  static ZORVANE_ALWAYS_INLINE Vec broadcast(double x) noexcept { return vdupq_n_f64(x); }
  // vaddq/vmulq, never vfmaq: the product is rounded before it is added
  static ZORVANE_ALWAYS_INLINE Vec add(Vec a, Vec b) noexcept { return vaddq_f64(a, b); }
  static ZORVANE_ALWAYS_INLINE Vec mul(Vec a, Vec b) noexcept { return vmulq_f64(a, b); }
};

}  // namespace neon_kernel

const BlockKernel neon_block_kernel = blocked::kernel_of<neon_kernel::Traits>();

}  // namespace zorvane::statistical_tests::escanciano_lobato

#endif  // ZORVANE_AARCH64
