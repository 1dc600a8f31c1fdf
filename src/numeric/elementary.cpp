// Correctly rounded exponential and natural logarithm in binary64.
//
// exp: x = (128 k + j) ln2/128 + r, |r| <= ln2/256 + 2**-60 < 2**-8.5, and
//   e**x = 2**k * 2**(j/128) * e**r, the table entry a double-double, e**r by
//   its Taylor polynomial to r**7/7! (the omitted terms < 2**-83).
// log: x = 2**e m, m in [sqrt(1/2), sqrt 2], c = 256/i rounded for
//   i = round(256 m), r = m c - 1 exactly as a double-double, |r| < 2**-8.5,
//   and ln x = e ln 2 - ln c + ln(1 + r), ln(1 + r) by its series to r**11
//   (the omitted terms < 2**-93 |r|).
// Error of the fast paths, term by term (u = 2**-53; each rounded operation
// errs by at most u of its result; magnitudes from |r| < 2**-8.5):
// exp, relative to the result t e**r (t = 2**(j/128) in [1, 2)):
//   - reduction: kd * kExpStep1, kd * kExpStep2 and the two_sums are exact;
//     kd * kExpStep3 < 2**17 * 2**-85 rounds by < 2**-121, r2.lo minus it
//     by < u 2**-62: r is off by < 2**-114;
//   - truncation: r**8/8! < 2**-68 / 2**15.3 = 2**-83.3;
//   - polynomial ~ rh**2/2 < 2**-18: rh * rh, the outer product and the
//     sum 0.5 + ... round by u each of it (the inner Horner steps, scaled by
//     rh/6 and less, add < 2**-80): < 3 u 2**-18 = 2**-69.4;
//   - low: two additions of values < 2**-17.9: < 2 u 2**-17.9 = 2**-69.9;
//   - table: t.hi + t.lo within 2**-106 relative of 2**(j/128);
//   - tail: t.hi * low (< 2**-17, relative to t < 2**-17.9) and three
//     additions of values of that size: < 4 u 2**-17.9 = 2**-68.9 relative
//     (t.lo * (rh + low) < 2**-61 rounds by < 2**-114);
//   total < 2**-69.4 + 2**-69.9 + 2**-68.9 + 2**-83 ≈ 2**-67.6.
// log, relative to the result ln x:
//   - reduction: m c - 1 is exact (two_product, Sterbenz, two_sum);
//   - truncation: |r|**12/12 < 2**-93.6 |r|; rl's neglected terms
//     (rl rh**3) < 2**-87.5 |r|;
//   - series ~ rh**3/3 < 2**-27: its three roundings and the coefficients'
//     (< u/2 relative each), < 4 u 2**-27 = 2**-78 absolute;
//   - table: -ln c as a double-double within 2**-106 relative, e ln 2 as
//     kLn2High + kLn2Low within 2**-96 |e| (e * kLn2High exact);
//   - tail: seven additions whose partial sums are below |series| plus the
//     heads' low parts (< u |head| each): < 7 u (2**-27 + 3 u |head|);
//   - where e != 0, |ln x| > 0.34 and the tail's terms are below 2**-79
//     relative; where e = 0 and c = 1, ln x = ln(1 + r) ~ r and every term
//     above scales with |r| (the series with |r|**3), below 2**-68 |r|;
//     where e = 0 and c != 1, |ln c| >= 2**-8 and |ln x| >= |ln c| / 2.4
//     (cancellation between -ln c and ln(1 + r)), so 7 u 2**-27 = 2**-77.2
//     absolute is below 2**-67.9 relative, and the series' 2**-78 below
//     2**-68.7;
//   total < 2**-67.2.
// The rounding test allows 2**-65, a margin of more than 4 over both.
// Measured over 10**6 random arguments: at most 2**-68.7 (exp) and 2**-70.7
// (log); the C++ tests hold the largest error over random arguments under a
// quarter of the bound.
// Sources: J.-M. Muller et al., Handbook of Floating-Point Arithmetic (2018),
// ch. 4 (two_sum, fast_two_sum, Veltkamp's split and Dekker's product) and
// ch. 10; P. T. P. Tang, "Table-driven implementation of the exponential
// function in IEEE floating-point arithmetic", ACM TOMS 15 (1989); A. Ziv,
// "Fast evaluation of elementary mathematical functions with correctly rounded
// last bit", ACM TOMS 17 (1991).
#include "numeric/elementary.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "numeric/error_free.hpp"
#include "numeric/wide_fixed.hpp"

namespace zorvane::numeric {
namespace elementary {
namespace {

#include "numeric/elementary_tables.inc"

inline constexpr double kShift = 0x1.8p52;                     // 1.5 * 2**52: adding it rounds to an integer
inline constexpr double kSqrt2 = 0x1.6a09e667f3bcdp+0;         // sqrt 2, rounded
inline constexpr double kInverseLn2 = 0x1.71547652b82fep+0;    // 1 / ln 2, rounded

// The error-free transformations, as the table's pairs
DoubleDouble as_pair(error_free::Pair pair) noexcept { return {pair.hi, pair.lo}; }
DoubleDouble two_sum(double a, double b) noexcept { return as_pair(error_free::two_sum(a, b)); }
DoubleDouble fast_two_sum(double a, double b) noexcept { return as_pair(error_free::fast_two_sum(a, b)); }
DoubleDouble two_product(double a, double b) noexcept { return as_pair(error_free::two_product(a, b)); }

// 2**k for k in [-1022, 1023]
double power_of_two(int k) noexcept { return std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52); }

// x = 2**exponent * m, m in [sqrt(1/2), sqrt 2], for finite x > 0
struct Reduced {
  double m;
  int exponent;
};

Reduced reduce(double x) noexcept {
  int exponent = 0;
  std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  if (bits < (std::uint64_t{1} << 52)) {
    // subnormal: made normal by an exact product
    bits = std::bit_cast<std::uint64_t>(x * 0x1p54);
    exponent = -54;
  }
  exponent += static_cast<int>(bits >> 52) - 1023;
  double m = std::bit_cast<double>((bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1023} << 52));
  if (m > kSqrt2) {
    m = m * 0.5;
    ++exponent;
  }
  return {m, exponent};
}

}  // namespace

std::span<const DoubleDouble> exp2_table() noexcept { return kExp2Table; }
std::span<const LogEntry> log_table() noexcept { return kLogTable; }
int log_table_first() noexcept { return kLogFirstIndex; }

bool rounding_decided(double hi, double lo, double bound) noexcept {
  const double magnitude = std::fabs(hi);
  // the gap to the next double towards zero, the smaller of hi's two gaps
  const double below = std::bit_cast<double>(std::bit_cast<std::uint64_t>(magnitude) - 1);
  const double gap = magnitude - below;  // exact (Sterbenz)
  // the factor covers the two roundings of this sum and product
  const double error = std::fabs(lo) + bound * magnitude;
  return error * (1.0 + 0x1p-40) < 0.5 * gap;
}

Approximation exp_fast(double x) noexcept {
  // k 128 + j: the integer nearest x 128 / ln 2 (|x 128 / ln 2| < 2**17)
  const double kd = (x * kExpInverseStep + kShift) - kShift;
  const auto kj = static_cast<std::int64_t>(kd);
  const auto j = static_cast<std::size_t>(kj & 127);
  const auto k = static_cast<int>((kj - (kj & 127)) / 128);
  // r = x - kd ln2/128 as a double-double: kd * kExpStep1 and kd * kExpStep2
  // are exact (17 + 36 bits), and x - kd * kExpStep1 is exact (Sterbenz)
  const double r1 = x - kd * kExpStep1;
  const DoubleDouble r2 = two_sum(r1, -(kd * kExpStep2));
  const DoubleDouble r = two_sum(r2.hi, r2.lo - kd * kExpStep3);
  const double rh = r.hi;
  // e**r = 1 + rh + low: low = rl + rh rl + rh**2/2 + ... + rh**7/7!
  const double polynomial =
      (rh * rh) *
      (0.5 + rh * (0x1.5555555555555p-3 +                    // 1/6
                   rh * (0x1.5555555555555p-5 +              // 1/24
                         rh * (0x1.1111111111111p-7 +        // 1/120
                               rh * (0x1.6c16c16c16c17p-10 +  // 1/720
                                     rh * 0x1.a01a01a01a01ap-13)))));  // 1/5040
  const double low = r.lo + (rh * r.lo + polynomial);
  // 2**(j/128) e**r = t + t rh + t low, t = th + tl
  const DoubleDouble& t = kExp2Table[j];
  const DoubleDouble product = two_product(t.hi, rh);
  const DoubleDouble head = fast_two_sum(t.hi, product.hi);  // |product.hi| < t.hi / 256
  const double tail = head.lo + (product.lo + (t.lo + (t.hi * low + t.lo * (rh + low))));
  const DoubleDouble sum = fast_two_sum(head.hi, tail);
  return {sum.hi, sum.lo, k};
}

Approximation log_fast(double x) noexcept {
  const Reduced reduced = reduce(x);
  const auto i = static_cast<int>(reduced.m * 256.0 + 0.5);  // 181 .. 362
  const LogEntry& entry = kLogTable[static_cast<std::size_t>(i - kLogFirstIndex)];
  // r = m c - 1 exactly: p.hi within 1% of 1, so p.hi - 1 is exact (Sterbenz)
  const DoubleDouble p = two_product(reduced.m, entry.c);
  const DoubleDouble r = two_sum(p.hi - 1.0, p.lo);
  const double rh = r.hi;
  const DoubleDouble square = two_product(rh, rh);
  // ln(1 + rh) + rh**2/2 - rh = rh**3/3 - rh**4/4 + ... - ... + rh**11/11
  const double series =
      (rh * square.hi) *
      (0x1.5555555555555p-2 +                                       // 1/3
       rh * (-0x1p-2 +                                              // -1/4
             rh * (0x1.999999999999ap-3 +                           // 1/5
                   rh * (-0x1.5555555555555p-3 +                    // -1/6
                         rh * (0x1.2492492492492p-3 +               // 1/7
                               rh * (-0x1p-3 +                      // -1/8
                                     rh * (0x1.c71c71c71c71cp-4 +   // 1/9
                                           rh * (-0x1.999999999999ap-4 +  // -1/10
                                                 rh * 0x1.745d1745d1746p-4))))))));  // 1/11
  // ln(1 + rh + rl) - ln(1 + rh) = rl (1 - rh + rh**2) to 2**-106 |r|
  const double correction = r.lo * ((1.0 - rh) + square.hi);
  const auto e = static_cast<double>(reduced.exponent);
  // e ln 2 - ln c + rh - rh**2/2, the heads summed exactly (e * kLn2High is exact: 11 + 42 bits)
  const DoubleDouble a = two_sum(e * kLn2High, entry.minus_log_c_hi);
  const DoubleDouble b = two_sum(a.hi, rh);
  const DoubleDouble c = two_sum(b.hi, -0.5 * square.hi);
  const double tail =
      c.lo + (b.lo + (a.lo + (e * kLn2Low + (entry.minus_log_c_lo + (correction + (-0.5 * square.lo + series))))));
  const DoubleDouble sum = two_sum(c.hi, tail);
  return {sum.hi, sum.lo, 0};
}

namespace {

// k ln 2 in wide fixed point, for |k| below 2**11 (the exponents of doubles).
wide::Fixed multiple_of_ln2(int k) noexcept {
  wide::Fixed product = wide::multiply(wide::ln2(), static_cast<std::uint32_t>(k < 0 ? -k : k));
  product.negative = k < 0;
  return product;
}

}  // namespace

double exp_accurate(double x) noexcept {
  // any integer k near x / ln 2 keeps |x - k ln 2| below 1
  const double kd = (x * kInverseLn2 + kShift) - kShift;
  const auto k = static_cast<int>(kd);
  const wide::Fixed r = wide::subtract(wide::from_double(x), multiple_of_ln2(k));
  return wide::to_double(wide::exp(r), k);
}

double log_accurate(double x) noexcept {
  const Reduced reduced = reduce(x);
  return wide::to_double(wide::add(multiple_of_ln2(reduced.exponent), wide::log(wide::from_double(reduced.m))));
}

}  // namespace elementary

double exp(double x) noexcept {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  if (std::isnan(x)) {
    return x + x;  // NaN in, NaN out
  }
  if (x > 710.0) {
    return kInfinity;  // e**x > 2**1024: overflow, and +inf itself
  }
  if (x < -746.0) {
    return 0.0;  // e**x < 2**-1076: below half the smallest subnormal, and -inf
  }
  if (std::fabs(x) < 0x1p-54) {
    return 1.0 + x;  // e**x within 2**-54 (1 + |x|) of 1: rounds as 1 + x does
  }
  if (x < elementary::kExpFastLowest || x > elementary::kExpFastHighest) {
    return elementary::exp_accurate(x);  // near overflow, and subnormal results
  }
  const elementary::Approximation a = elementary::exp_fast(x);
  if (!elementary::rounding_decided(a.hi, a.lo, elementary::kExpErrorBound)) {
    return elementary::exp_accurate(x);
  }
  return a.hi * elementary::power_of_two(a.exponent);  // exact: the result is normal
}

double log(double x) noexcept {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  if (std::isnan(x)) {
    return x + x;  // NaN in, NaN out
  }
  if (x == 0.0) {
    return -kInfinity;  // +0 and -0
  }
  if (x < 0.0) {
    return std::numeric_limits<double>::quiet_NaN();  // outside the domain, -inf too
  }
  if (x == kInfinity) {
    return kInfinity;
  }
  if (x == 1.0) {
    return 0.0;  // the only finite argument with an exact result
  }
  const elementary::Approximation a = elementary::log_fast(x);
  if (!elementary::rounding_decided(a.hi, a.lo, elementary::kLogErrorBound)) {
    return elementary::log_accurate(x);
  }
  return a.hi;
}

}  // namespace zorvane::numeric
