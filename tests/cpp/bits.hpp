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

}  // namespace zorvane::testing
