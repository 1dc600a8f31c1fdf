// Correctly rounded exponential and natural logarithm in binary64.
//
// Method (after Ziv, and Lauter and de Dinechin's CRlibm): a table-driven
// evaluation in double-double with a proved relative error bound, a test
// whether that bound leaves the rounding decided, and for the rare arguments
// where it does not, an evaluation in 288-bit fixed point (wide_fixed.hpp).
// Only binary64 additions and multiplications round, in an order the build
// fixes (no contraction into fused multiply-adds), so every compiler and CPU
// gives the same bits. Special arguments give the C library's results:
// exp(NaN) = NaN, exp(+inf) = +inf, exp(-inf) = +0, overflow to +inf,
// underflow to subnormals and +0; log(NaN) = NaN, log(+-0) = -inf,
// log(x < 0) = NaN, log(+inf) = +inf, log(1) = +0.
#pragma once

#include <cfloat>
#include <span>

// Every result here, and every sum of the test, is fixed bit for bit only
// where each double operation rounds to binary64 at once. A compiler that
// keeps intermediates in x87 extended precision (FLT_EVAL_METHOD 2: 32-bit
// x86 without SSE2 arithmetic) rounds twice and answers otherwise; such a
// build must use SSE2 (GCC and Clang: -msse2 -mfpmath=sse).
#if defined(FLT_EVAL_METHOD)
static_assert(FLT_EVAL_METHOD == 0, "double arithmetic must round to binary64 at every operation: build with SSE2 "
                                    "arithmetic (-msse2 -mfpmath=sse), not x87");
#elif defined(_M_IX86) && (!defined(_M_IX86_FP) || _M_IX86_FP < 2)
#error "double arithmetic must round to binary64 at every operation: build with /arch:SSE2, not x87"
#endif

namespace zorvane::numeric {

[[nodiscard]] double exp(double x) noexcept;
[[nodiscard]] double log(double x) noexcept;

// The stages, for the tests.
namespace elementary {

// value = (hi + lo) * 2**exponent, hi = fl(hi + lo)
struct Approximation {
  double hi;
  double lo;
  int exponent;
};

// The fast paths' approximations (exp for x in [kExpFastLowest, kExpFastHighest],
// log for finite x > 0) and their relative error bounds.
inline constexpr double kExpFastLowest = -707.0;
inline constexpr double kExpFastHighest = 709.0;
[[nodiscard]] Approximation exp_fast(double x) noexcept;
[[nodiscard]] Approximation log_fast(double x) noexcept;
inline constexpr double kExpErrorBound = 0x1p-65;
inline constexpr double kLogErrorBound = 0x1p-65;
// Whether every value within bound * |hi| of hi + lo rounds to hi.
[[nodiscard]] bool rounding_decided(double hi, double lo, double bound) noexcept;
// The fast paths' tables: 2**(j/128), and c = 256/i rounded with -ln c for
// i = log_table_first() + index.
struct DoubleDouble {
  double hi;
  double lo;
};
struct LogEntry {
  double c;
  double minus_log_c_hi;
  double minus_log_c_lo;
};
[[nodiscard]] std::span<const DoubleDouble> exp2_table() noexcept;
[[nodiscard]] std::span<const LogEntry> log_table() noexcept;
[[nodiscard]] int log_table_first() noexcept;
// The accurate paths alone.
[[nodiscard]] double exp_accurate(double x) noexcept;
[[nodiscard]] double log_accurate(double x) noexcept;

}  // namespace elementary
}  // namespace zorvane::numeric
