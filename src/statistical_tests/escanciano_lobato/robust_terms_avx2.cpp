// The lag-blocked robust-terms kernel for AVX2: four lags per register, up to
// 24 per block. This file alone is built for AVX2 (-mavx2 -mno-fma, or MSVC's
// /arch:AVX2, which contracts nothing under /fp:precise); it runs only where
// cpu_has_avx2() says so.
#include "statistical_tests/escanciano_lobato/platform.hpp"

#if defined(ZORVANE_X86_64)

#include <immintrin.h>

#include "statistical_tests/escanciano_lobato/robust_terms_blocked.hpp"

namespace zorvane::statistical_tests::escanciano_lobato {
namespace avx2_kernel {

struct Traits {
  using Vec = __m256d;
  static constexpr int kWidth = 4;
  static constexpr int kMaxVectors = 6;

  static ZORVANE_ALWAYS_INLINE Vec load(const double* p) noexcept { return _mm256_loadu_pd(p); }
  static ZORVANE_ALWAYS_INLINE void store(double* p, Vec v) noexcept { _mm256_storeu_pd(p, v); }
  static ZORVANE_ALWAYS_INLINE Vec broadcast(double x) noexcept { return _mm256_set1_pd(x); }
  static ZORVANE_ALWAYS_INLINE Vec add(Vec a, Vec b) noexcept { return _mm256_add_pd(a, b); }
  static ZORVANE_ALWAYS_INLINE Vec mul(Vec a, Vec b) noexcept { return _mm256_mul_pd(a, b); }
};

}  // namespace avx2_kernel

const BlockKernel avx2_block_kernel = blocked::kernel_of<avx2_kernel::Traits>();

}  // namespace zorvane::statistical_tests::escanciano_lobato

#endif  // ZORVANE_X86_64
