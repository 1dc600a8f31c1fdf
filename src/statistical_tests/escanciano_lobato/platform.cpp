// CPU feature detection (CPUID and XGETBV, read the same way by every
// compiler) and the table of vector kernels per target.
#include "statistical_tests/escanciano_lobato/platform.hpp"

#include <array>
#include <vector>

#include "statistical_tests/escanciano_lobato/robust_terms.hpp"
#include "statistical_tests/escanciano_lobato/robust_terms_internal.hpp"

#if defined(ZORVANE_X86_64) && defined(_MSC_VER) && !defined(__clang__)
#include <immintrin.h>
#include <intrin.h>
#elif defined(ZORVANE_X86_64)
#include <cpuid.h>
#endif

namespace zorvane::statistical_tests::escanciano_lobato {
namespace {

#if defined(ZORVANE_X86_64)

struct CpuidRegisters {
  std::uint32_t eax, ebx, ecx, edx;
};

#if defined(_MSC_VER) && !defined(__clang__)
CpuidRegisters cpuid(std::uint32_t leaf, std::uint32_t subleaf) noexcept {
  int r[4] = {};
  __cpuidex(r, static_cast<int>(leaf), static_cast<int>(subleaf));
  return {static_cast<std::uint32_t>(r[0]), static_cast<std::uint32_t>(r[1]), static_cast<std::uint32_t>(r[2]),
          static_cast<std::uint32_t>(r[3])};
}
std::uint64_t xgetbv0() noexcept { return _xgetbv(0); }
#else
CpuidRegisters cpuid(std::uint32_t leaf, std::uint32_t subleaf) noexcept {
  CpuidRegisters r{};
  __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
  return r;
}
// XGETBV with ECX = 0: the XCR0 register (the state the OS saves on a switch).
std::uint64_t xgetbv0() noexcept {
  std::uint32_t eax = 0;
  std::uint32_t edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<std::uint64_t>(edx) << 32) | eax;
}
#endif

struct CpuFeatures {
  bool avx2 = false;
  bool avx512f = false;
};

CpuFeatures detect() noexcept {
  constexpr std::uint32_t kOsxsave = 1u << 27;  // leaf 1 ECX: XGETBV usable
  constexpr std::uint32_t kAvx = 1u << 28;      // leaf 1 ECX
  constexpr std::uint32_t kAvx2 = 1u << 5;      // leaf 7 EBX
  constexpr std::uint32_t kAvx512f = 1u << 16;  // leaf 7 EBX
  constexpr std::uint64_t kXmmYmmState = 0x6;   // XCR0: SSE and AVX state
  constexpr std::uint64_t kZmmState = 0xe0;     // XCR0: opmask, ZMM0-15 upper halves, ZMM16-31
  CpuFeatures features;
  if (cpuid(0, 0).eax < 7) {
    return features;
  }
  const CpuidRegisters leaf1 = cpuid(1, 0);
  if ((leaf1.ecx & kOsxsave) == 0 || (leaf1.ecx & kAvx) == 0) {
    return features;
  }
  const std::uint64_t xcr0 = xgetbv0();
  if ((xcr0 & kXmmYmmState) != kXmmYmmState) {
    return features;
  }
  const CpuidRegisters leaf7 = cpuid(7, 0);
  features.avx2 = (leaf7.ebx & kAvx2) != 0;
  features.avx512f = features.avx2 && (leaf7.ebx & kAvx512f) != 0 && (xcr0 & kZmmState) == kZmmState;
  return features;
}

const CpuFeatures& features() noexcept {
  static const CpuFeatures detected = detect();  // once; thread-safe
  return detected;
}

#endif  // ZORVANE_X86_64

}  // namespace

#if defined(ZORVANE_X86_64)

bool cpu_has_avx2() noexcept { return features().avx2; }
bool cpu_has_avx512f() noexcept { return features().avx512f; }

std::span<const TargetKernel> runnable_vector_kernels() noexcept {
  static const std::vector<TargetKernel> runnable = [] {
    // The default last: AVX2, which no CPU here runs slower than the others.
    // AVX-512 gains where the CPU executes 512-bit operations at full width
    // and can lose where it splits them in two halves, so it replaces AVX2
    // only where it measures faster at first use (kernel_choice()).
    std::vector<TargetKernel> kernels{{KernelTarget::Sse2, &sse2_block_kernel}};
    if (cpu_has_avx512f()) {
      kernels.push_back({KernelTarget::Avx512, &avx512_block_kernel});
    }
    if (cpu_has_avx2()) {
      kernels.push_back({KernelTarget::Avx2, &avx2_block_kernel});
    }
    return kernels;
  }();
  return runnable;
}

#elif defined(ZORVANE_AARCH64)

bool cpu_has_avx2() noexcept { return false; }
bool cpu_has_avx512f() noexcept { return false; }

std::span<const TargetKernel> runnable_vector_kernels() noexcept {
  static const std::array<TargetKernel, 1> kernels = {{{KernelTarget::Neon, &neon_block_kernel}}};
  return kernels;
}

#else

bool cpu_has_avx2() noexcept { return false; }
bool cpu_has_avx512f() noexcept { return false; }

std::span<const TargetKernel> runnable_vector_kernels() noexcept { return {}; }

#endif

}  // namespace zorvane::statistical_tests::escanciano_lobato
