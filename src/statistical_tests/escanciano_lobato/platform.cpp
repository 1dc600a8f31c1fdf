// CPU feature detection, with a GCC/Clang path and an MSVC path.
#include "statistical_tests/escanciano_lobato/platform.hpp"

#if defined(ZORVANE_X86_64) && defined(_MSC_VER) && !defined(__clang__)
#include <immintrin.h>
#include <intrin.h>
#endif

namespace zorvane::statistical_tests::escanciano_lobato {

#if defined(ZORVANE_X86_64) && defined(_MSC_VER) && !defined(__clang__)

bool cpu_has_avx2() noexcept {
  // CPUID leaf 1, ECX: bit 27 OSXSAVE (XGETBV usable), bit 28 AVX.
  // XCR0 bits 1 and 2: the operating system saves XMM and YMM state.
  // CPUID leaf 7 sub-leaf 0, EBX: bit 5 AVX2.
  constexpr int kOsxsave = 1 << 27;
  constexpr int kAvx = 1 << 28;
  constexpr unsigned long long kXmmYmmState = 0x6;
  constexpr int kAvx2 = 1 << 5;
  int registers[4] = {};  // EAX, EBX, ECX, EDX
  __cpuid(registers, 0);
  if (registers[0] < 7) {
    return false;
  }
  __cpuid(registers, 1);
  if ((registers[2] & kOsxsave) == 0 || (registers[2] & kAvx) == 0) {
    return false;
  }
  if ((_xgetbv(0) & kXmmYmmState) != kXmmYmmState) {
    return false;
  }
  __cpuidex(registers, 7, 0);
  return (registers[1] & kAvx2) != 0;
}

#elif defined(ZORVANE_X86_64)

bool cpu_has_avx2() noexcept {
  // The compiler's runtime checks CPUID and, for AVX, that the operating
  // system saves the YMM registers (XGETBV).
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}

#else

bool cpu_has_avx2() noexcept { return false; }

#endif

}  // namespace zorvane::statistical_tests::escanciano_lobato
