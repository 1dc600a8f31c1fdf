// The one place that knows compilers and CPUs: which instruction set family
// the code is being compiled for, how to ask a compiler to inline or unroll,
// which optional instruction sets the CPU offers (at run time), and so which
// lag-blocked kernels this build may run.
//
// Kernel files test ZORVANE_X86_64 or ZORVANE_AARCH64 (target.hpp) once,
// around their whole content, and otherwise use only the macros below.
#pragma once

#include <cstdint>
#include <span>

#include "statistical_tests/escanciano_lobato/target.hpp"

// Always inlined: the vector helpers of the kernels must not become calls,
// which would pass vectors through memory.
// ZORVANE_ALWAYS_INLINE_LAMBDA goes between a lambda's parameters and body.
#if defined(_MSC_VER) && !defined(__clang__)
#define ZORVANE_ALWAYS_INLINE __forceinline
#define ZORVANE_ALWAYS_INLINE_LAMBDA [[msvc::forceinline]]
#else
#define ZORVANE_ALWAYS_INLINE inline __attribute__((always_inline))
#define ZORVANE_ALWAYS_INLINE_LAMBDA __attribute__((always_inline))
#endif

// Unroll the loop that follows completely (its trip count is a compile-time
// constant). MSVC unrolls such loops by itself and has no pragma for it.
#if defined(__clang__)
#define ZORVANE_UNROLL _Pragma("clang loop unroll(full)")
#elif defined(__GNUC__)
#define ZORVANE_UNROLL _Pragma("GCC unroll 16")
#else
#define ZORVANE_UNROLL
#endif

namespace zorvane::statistical_tests::escanciano_lobato {

enum class KernelTarget : std::uint8_t;
struct BlockKernel;

// Whether this x86-64 CPU runs AVX2 (AVX-512F) code and the operating system
// saves the 256-bit (512-bit and mask) registers, read from CPUID and XGETBV
// directly, with no help from a compiler runtime; false on other targets.
[[nodiscard]] bool cpu_has_avx2() noexcept;
[[nodiscard]] bool cpu_has_avx512f() noexcept;

struct TargetKernel {
  KernelTarget target;
  const BlockKernel* kernel;
};

// The vector kernels this build has for its target and this CPU can run,
// the default last (the portable scalar one is not among them).
[[nodiscard]] std::span<const TargetKernel> runnable_vector_kernels() noexcept;

}  // namespace zorvane::statistical_tests::escanciano_lobato
