// Wide fixed-point arithmetic: the accurate path of exp and log.
//
// Series: e**r = sum r**n / n! (|r| <= 1: 1/n! < 2**-288 from n = 58 on);
// ln m = 2 atanh(s), s = (m - 1) / (m + 1), atanh s = sum s**(2k+1) / (2k+1)
// (|s| <= 1/3 on [1/2, 2]); ln 2 = 2 atanh(1/3). Every term truncates at most
// twice, a step of 2**-288, and a series has under 200 terms.
#include "numeric/wide_fixed.hpp"

#include <bit>
#include <cmath>
#include <cstddef>

namespace zorvane::numeric::wide {
namespace {

constexpr int kBits = kLimbs * 32;

bool bit(const Fixed& value, int index) noexcept {
  if (index < 0 || index >= kBits) {
    return false;
  }
  return ((value.limbs[static_cast<std::size_t>(index / 32)] >> (index % 32)) & 1U) != 0;
}

int highest_bit(const Fixed& value) noexcept {
  for (int limb = kLimbs - 1; limb >= 0; --limb) {
    const std::uint32_t word = value.limbs[static_cast<std::size_t>(limb)];
    if (word != 0) {
      return limb * 32 + 31 - std::countl_zero(word);
    }
  }
  return -1;
}

bool magnitude_less(const Fixed& a, const Fixed& b) noexcept {
  for (std::size_t limb = kLimbs; limb-- > 0;) {
    if (a.limbs[limb] != b.limbs[limb]) {
      return a.limbs[limb] < b.limbs[limb];
    }
  }
  return false;
}

Fixed magnitude_sum(const Fixed& a, const Fixed& b) noexcept {
  Fixed sum;
  std::uint64_t carry = 0;
  for (std::size_t limb = 0; limb < kLimbs; ++limb) {
    const std::uint64_t t = std::uint64_t{a.limbs[limb]} + b.limbs[limb] + carry;
    sum.limbs[limb] = static_cast<std::uint32_t>(t);
    carry = t >> 32;
  }
  return sum;
}

// a - b for |a| >= |b|
Fixed magnitude_difference(const Fixed& a, const Fixed& b) noexcept {
  Fixed difference;
  std::uint64_t borrow = 0;
  for (std::size_t limb = 0; limb < kLimbs; ++limb) {
    const std::uint64_t t = std::uint64_t{a.limbs[limb]} - b.limbs[limb] - borrow;
    difference.limbs[limb] = static_cast<std::uint32_t>(t);
    borrow = (t >> 32) & 1U;
  }
  return difference;
}

Fixed one() noexcept {
  Fixed value;
  value.limbs[kFractionBits / 32] = 1;
  return value;
}

}  // namespace

bool Fixed::is_zero() const noexcept {
  for (const std::uint32_t limb : limbs) {
    if (limb != 0) {
      return false;
    }
  }
  return true;
}

Fixed from_double(double value) noexcept {
  Fixed result;
  result.negative = std::signbit(value);
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value) & ~(std::uint64_t{1} << 63);
  const int biased = static_cast<int>(bits >> 52);
  if (bits == 0) {
    return result;
  }
  // value = significand * 2**(exponent), significand an integer below 2**53
  std::uint64_t significand = bits & ((std::uint64_t{1} << 52) - 1);
  int exponent = biased - 1075;
  if (biased == 0) {
    exponent = -1074;
  } else {
    significand |= std::uint64_t{1} << 52;
  }
  for (int b = 0; b < 53; ++b) {
    const int index = exponent + kFractionBits + b;
    if (((significand >> b) & 1U) != 0 && index >= 0 && index < kBits) {
      result.limbs[static_cast<std::size_t>(index / 32)] |= std::uint32_t{1} << (index % 32);
    }
  }
  return result;
}

double to_double(const Fixed& value, int exponent) noexcept {
  const std::uint64_t sign = value.negative ? std::uint64_t{1} << 63 : 0;
  const int top = highest_bit(value);
  if (top < 0) {
    return std::bit_cast<double>(sign);
  }
  // the leading bit weighs 2**lead
  const int lead = top - kFractionBits + exponent;
  if (lead > 1023) {
    return std::bit_cast<double>(sign | 0x7ff0000000000000ULL);
  }
  // significant bits the result keeps: 53, fewer below 2**-1022
  const int kept = lead >= -1022 ? 53 : lead + 1075;
  if (kept < 0) {
    return std::bit_cast<double>(sign);  // below half the smallest subnormal
  }
  std::uint64_t significand = 0;
  for (int b = 0; b < kept; ++b) {
    significand = (significand << 1) | (bit(value, top - b) ? 1U : 0U);
  }
  const int round_index = top - kept;
  bool sticky = false;
  for (int b = round_index - 1; b >= 0 && !sticky; --b) {
    sticky = bit(value, b);
  }
  // to nearest, ties to even
  if (bit(value, round_index) && (sticky || (significand & 1U) != 0)) {
    ++significand;
  }
  if (kept < 53) {
    // a subnormal's pattern is its significand; a carry into bit 52 makes 2**-1022
    return std::bit_cast<double>(sign | significand);
  }
  int biased = lead + 1023;
  if (significand == std::uint64_t{1} << 53) {
    significand >>= 1;
    ++biased;
    if (biased > 2046) {
      return std::bit_cast<double>(sign | 0x7ff0000000000000ULL);
    }
  }
  return std::bit_cast<double>(sign | ((static_cast<std::uint64_t>(biased) << 52) +
                                       (significand - (std::uint64_t{1} << 52))));
}

Fixed add(const Fixed& a, const Fixed& b) noexcept {
  if (a.negative == b.negative) {
    Fixed sum = magnitude_sum(a, b);
    sum.negative = a.negative;
    return sum;
  }
  if (magnitude_less(a, b)) {
    Fixed difference = magnitude_difference(b, a);
    difference.negative = b.negative;
    return difference;
  }
  Fixed difference = magnitude_difference(a, b);
  difference.negative = a.negative;
  return difference;
}

Fixed subtract(const Fixed& a, const Fixed& b) noexcept {
  Fixed negated = b;
  negated.negative = !b.negative;
  return add(a, negated);
}

Fixed multiply(const Fixed& a, const Fixed& b) noexcept {
  std::array<std::uint32_t, 2 * kLimbs> product{};
  for (std::size_t i = 0; i < kLimbs; ++i) {
    std::uint64_t carry = 0;
    for (std::size_t j = 0; j < kLimbs; ++j) {
      // at most (2**32 - 1)**2 + 2 (2**32 - 1) = 2**64 - 1
      const std::uint64_t t = std::uint64_t{a.limbs[i]} * b.limbs[j] + product[i + j] + carry;
      product[i + j] = static_cast<std::uint32_t>(t);
      carry = t >> 32;
    }
    product[i + kLimbs] = static_cast<std::uint32_t>(carry);
  }
  Fixed result;
  for (std::size_t limb = 0; limb < kLimbs; ++limb) {
    result.limbs[limb] = product[limb + kFractionBits / 32];
  }
  result.negative = a.negative != b.negative;
  return result;
}

Fixed multiply(const Fixed& a, std::uint32_t b) noexcept {
  Fixed result;
  std::uint64_t carry = 0;
  for (std::size_t limb = 0; limb < kLimbs; ++limb) {
    const std::uint64_t t = std::uint64_t{a.limbs[limb]} * b + carry;
    result.limbs[limb] = static_cast<std::uint32_t>(t);
    carry = t >> 32;
  }
  result.negative = a.negative;
  return result;
}

Fixed divide(const Fixed& a, std::uint32_t b) noexcept {
  Fixed result;
  std::uint64_t remainder = 0;
  for (std::size_t limb = kLimbs; limb-- > 0;) {
    const std::uint64_t current = (remainder << 32) | a.limbs[limb];
    result.limbs[limb] = static_cast<std::uint32_t>(current / b);
    remainder = current % b;
  }
  result.negative = a.negative;
  return result;
}

Fixed divide(const Fixed& a, const Fixed& b) noexcept {
  // restoring division of a * 2**288 by b, one quotient bit at a time; the
  // remainder stays below 2 b < 2**321, so one more limb holds it
  std::array<std::uint32_t, kLimbs + 1> remainder{};
  Fixed quotient;
  for (int index = kBits + kFractionBits - 1; index >= 0; --index) {
    std::uint32_t carry = bit(a, index - kFractionBits) ? 1U : 0U;
    for (std::uint32_t& limb : remainder) {
      const std::uint32_t next = limb >> 31;
      limb = (limb << 1) | carry;
      carry = next;
    }
    bool at_least = remainder[kLimbs] != 0;
    if (!at_least) {
      at_least = true;
      for (std::size_t limb = kLimbs; limb-- > 0;) {
        if (remainder[limb] != b.limbs[limb]) {
          at_least = remainder[limb] > b.limbs[limb];
          break;
        }
      }
    }
    if (at_least) {
      std::uint64_t borrow = 0;
      for (std::size_t limb = 0; limb <= kLimbs; ++limb) {
        const std::uint64_t subtrahend = limb < kLimbs ? b.limbs[limb] : 0U;
        const std::uint64_t t = std::uint64_t{remainder[limb]} - subtrahend - borrow;
        remainder[limb] = static_cast<std::uint32_t>(t);
        borrow = (t >> 32) & 1U;
      }
      if (index < kBits) {
        quotient.limbs[static_cast<std::size_t>(index / 32)] |= std::uint32_t{1} << (index % 32);
      }
    }
  }
  quotient.negative = a.negative != b.negative;
  return quotient;
}

namespace {

// sum_k s**(2k+1) / (2k+1) for |s| <= 1/3, with the sign of s
Fixed atanh(const Fixed& s) noexcept {
  const Fixed square = multiply(s, s);
  Fixed power = s;
  power.negative = false;
  Fixed sum;
  for (std::uint32_t k = 0; !power.is_zero(); ++k) {
    sum = add(sum, divide(power, 2 * k + 1));
    power = multiply(power, square);
  }
  sum.negative = s.negative && !sum.is_zero();
  return sum;
}

Fixed compute_ln2() noexcept { return multiply(atanh(divide(one(), 3U)), 2U); }

}  // namespace

const Fixed& ln2() noexcept {
  static const Fixed value = compute_ln2();  // initialised once, thread-safe
  return value;
}

Fixed exp(const Fixed& r) noexcept {
  // positive and negative terms apart, so that every partial sum stays positive
  Fixed magnitude = r;
  magnitude.negative = false;
  Fixed positive = one();
  Fixed negative;
  Fixed term = one();
  for (std::uint32_t n = 1; !term.is_zero(); ++n) {
    term = divide(multiply(term, magnitude), n);
    if (r.negative && n % 2 == 1) {
      negative = magnitude_sum(negative, term);
    } else {
      positive = magnitude_sum(positive, term);
    }
  }
  return magnitude_difference(positive, negative);
}

Fixed log(const Fixed& m) noexcept {
  Fixed unit = one();
  Fixed s = divide(subtract(m, unit), add(m, unit));
  return multiply(atanh(s), 2U);
}

}  // namespace zorvane::numeric::wide
