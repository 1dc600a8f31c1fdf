// The default largest lag, d = floor(n ** 0.2), in integers.
#pragma once

#include <cstdint>

namespace zorvane::statistical_tests::escanciano_lobato {

// floor(pow(double(n), 0.2)) as a correctly rounded pow gives it, for every
// n >= 1 (1 to 7131), computed without floating point so that it cannot
// depend on a C library's pow.
[[nodiscard]] std::uint64_t default_lag(std::uint64_t n) noexcept;

}  // namespace zorvane::statistical_tests::escanciano_lobato
