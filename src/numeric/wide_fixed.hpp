// Wide fixed-point arithmetic: the accurate path of exp and log.
//
// A value is an unsigned integer of ten 32-bit limbs read with 288 fraction
// bits: magnitudes below 2**32, steps of 2**-288. Products and quotients
// truncate (at most one step each); sums and differences are exact. Only
// 32 x 32 -> 64-bit integer products are used, so every compiler gives the
// same bits. Signs are carried beside the magnitude where a value can be
// negative.
//
// The evaluations below keep their error under 2**-270 absolute. The
// published worst cases of binary64 exp and log need about 2**-(53 + 66)
// relative (Lefevre and Muller, "Worst cases for correct rounding of the
// exponential and logarithmic functions", 2001), so rounding these values
// once gives the correctly rounded result.
#pragma once

#include <array>
#include <cstdint>

namespace zorvane::numeric::wide {

inline constexpr int kLimbs = 10;
inline constexpr int kFractionBits = 288;

struct Fixed {
  std::array<std::uint32_t, kLimbs> limbs{};  // least significant first
  bool negative = false;                      // the sign; magnitude operations ignore it

  [[nodiscard]] bool is_zero() const noexcept;
};

// Exact: a finite double whose bits lie between 2**-288 and 2**31.
[[nodiscard]] Fixed from_double(double value) noexcept;
// Correctly rounded (to nearest, ties to even) value * 2**exponent, with
// binary64's subnormals, overflow to infinity and the sign.
[[nodiscard]] double to_double(const Fixed& value, int exponent = 0) noexcept;

// Signed sum and difference, exact.
[[nodiscard]] Fixed add(const Fixed& a, const Fixed& b) noexcept;
[[nodiscard]] Fixed subtract(const Fixed& a, const Fixed& b) noexcept;
// Truncated product and quotients (magnitudes; the sign follows the operands).
[[nodiscard]] Fixed multiply(const Fixed& a, const Fixed& b) noexcept;
[[nodiscard]] Fixed multiply(const Fixed& a, std::uint32_t b) noexcept;
[[nodiscard]] Fixed divide(const Fixed& a, std::uint32_t b) noexcept;
[[nodiscard]] Fixed divide(const Fixed& a, const Fixed& b) noexcept;  // b nonzero, quotient below 2**32

// ln 2, computed once as 2 atanh(1/3).
[[nodiscard]] const Fixed& ln2() noexcept;
// e**r for |r| <= 1.
[[nodiscard]] Fixed exp(const Fixed& r) noexcept;
// ln m for m in [1/2, 2].
[[nodiscard]] Fixed log(const Fixed& m) noexcept;

}  // namespace zorvane::numeric::wide
