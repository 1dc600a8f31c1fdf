// The lag-blocked robust-terms kernel for AVX-512F: eight lags per register,
// up to 48 per block. This file alone is built for AVX-512F (-mavx512f and,
// with GCC, -mno-fma; -ffp-contract=off keeps every multiply and add apart,
// as MSVC's /fp:precise does with /arch:AVX512); it runs only where
// cpu_has_avx512f() says so.
#include "statistical_tests/escanciano_lobato/platform.hpp"

#if defined(ZORVANE_X86_64)

#include <immintrin.h>

#include "statistical_tests/escanciano_lobato/robust_terms_blocked.hpp"

namespace zorvane::statistical_tests::escanciano_lobato {
namespace avx512_kernel {

struct Traits {
  using Vec = __m512d;
  static constexpr int kWidth = 8;
  static constexpr int kMaxVectors = 6;

  static ZORVANE_ALWAYS_INLINE Vec load(const double* p) noexcept { return _mm512_loadu_pd(p); }
  static ZORVANE_ALWAYS_INLINE void store(double* p, Vec v) noexcept { _mm512_storeu_pd(p, v); }
  static ZORVANE_ALWAYS_INLINE Vec broadcast(double x) noexcept { return _mm512_set1_pd(x); }
  static ZORVANE_ALWAYS_INLINE Vec add(Vec a, Vec b) noexcept { return _mm512_add_pd(a, b); }
  static ZORVANE_ALWAYS_INLINE Vec mul(Vec a, Vec b) noexcept { return _mm512_mul_pd(a, b); }
};

}  // namespace avx512_kernel

const BlockKernel avx512_block_kernel = blocked::kernel_of<avx512_kernel::Traits>();

}  // namespace zorvane::statistical_tests::escanciano_lobato

#endif  // ZORVANE_X86_64
