// The lag-blocked robust-terms kernel for the x86-64 baseline: SSE2, two lags per register, eight per block.
#include "statistical_tests/escanciano_lobato/platform.hpp"

#if defined(ZORVANE_X86_64)

#include <emmintrin.h>

#include "statistical_tests/escanciano_lobato/robust_terms_blocked.hpp"

namespace zorvane::statistical_tests::escanciano_lobato {
namespace sse2_kernel {

struct Traits {
  using Vec = __m128d;
  static constexpr int kWidth = 2;
  static constexpr int kMaxVectors = 4;

  static ZORVANE_ALWAYS_INLINE Vec load(const double* p) noexcept { return _mm_loadu_pd(p); }
  static ZORVANE_ALWAYS_INLINE void store(double* p, Vec v) noexcept { _mm_storeu_pd(p, v); }
  static ZORVANE_ALWAYS_INLINE Vec broadcast(double x) noexcept { return _mm_set1_pd(x); }
  static ZORVANE_ALWAYS_INLINE Vec add(Vec a, Vec b) noexcept { return _mm_add_pd(a, b); }
  static ZORVANE_ALWAYS_INLINE Vec mul(Vec a, Vec b) noexcept { return _mm_mul_pd(a, b); }
};

}  // namespace sse2_kernel

const BlockKernel sse2_block_kernel = blocked::kernel_of<sse2_kernel::Traits>();

}  // namespace zorvane::statistical_tests::escanciano_lobato

#endif  // ZORVANE_X86_64
