// Bit-for-bit comparison of doubles for the tests: NaNs match any NaN
// (payloads are not fixed across commutative operands), zeros by sign.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <sstream>

namespace zorvane::testing {

inline std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

inline ::testing::AssertionResult same_bits(double actual, double expected) {
  if ((std::isnan(actual) && std::isnan(expected)) || bits(actual) == bits(expected)) {
    return ::testing::AssertionSuccess();
  }
  std::ostringstream out;
  out << std::setprecision(17) << actual << " (" << std::hexfloat << actual << ") is not " << std::defaultfloat
      << std::setprecision(17) << expected << " (" << std::hexfloat << expected << ")";
  return ::testing::AssertionFailure() << out.str();
}

#if defined(_WIN32)
// A p-value is 1 - F(statistic), and F goes through log and exp. Under the
// C libraries of Windows builds F can differ from glibc's in its last place,
// at most 2**-53 below 1, so a p-value may move by that much in absolute
// terms (measured by `make test-windows`: 5 of 200,000 with mingw-w64's GCC
// runtime, 362 with zig's, the Windows wheels' toolchain).
inline constexpr double kPvalueTolerance = 0x1p-52;  // two units of 2**-53, for margin
#else
inline constexpr double kPvalueTolerance = 0.0;  // bit for bit
#endif

// A p-value computed here against one recorded on x86-64 Linux: bit for bit,
// or within kPvalueTolerance.
inline ::testing::AssertionResult same_pvalue(double actual, double expected) {
  if (same_bits(actual, expected) || std::fabs(actual - expected) <= kPvalueTolerance) {
    return ::testing::AssertionSuccess();
  }
  return same_bits(actual, expected);
}

}  // namespace zorvane::testing
