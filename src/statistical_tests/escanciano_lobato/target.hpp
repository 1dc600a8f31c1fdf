// Which instruction set family the code is compiled for: the one test of it,
// shared by platform.hpp and the build (CMakeLists.txt compiles this header
// to decide which kernel files get instruction-set flags), so it stays plain
// C++ that any language mode accepts.
//
// The target is what the compiler builds for, not the machine it runs on, so
// cross compilers and multi-architecture builds (macOS universal2) pick the
// right kernels.
#pragma once

#if defined(__x86_64__) || ((defined(_M_X64) || defined(_M_AMD64)) && !defined(_M_ARM64EC))
#define ZORVANE_X86_64 1
#elif defined(__aarch64__) || defined(_M_ARM64)
#define ZORVANE_AARCH64 1
#endif
