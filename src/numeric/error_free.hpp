// Error-free transformations of doubles: a sum or product as the rounded
// result and its exact error. Plain adds and multiplies only, never a fused
// multiply-add, so every compiler gives the same bits.
#pragma once

namespace zorvane::numeric::error_free {

struct Pair {
  double hi;
  double lo;
};

// hi + lo = a + b exactly (Knuth's two-sum: any magnitudes)
[[nodiscard]] inline Pair two_sum(double a, double b) noexcept {
  const double s = a + b;
  const double b_virtual = s - a;
  const double e = (a - (s - b_virtual)) + (b - b_virtual);
  return {s, e};
}

// hi + lo = a + b exactly when |a| >= |b| or a = 0 (Dekker)
[[nodiscard]] inline Pair fast_two_sum(double a, double b) noexcept {
  const double s = a + b;
  const double e = b - (s - a);
  return {s, e};
}

// a = hi + lo, hi with 26 significant bits, lo with 27 (Veltkamp); |a| < 2**995
[[nodiscard]] inline Pair split(double a) noexcept {
  constexpr double kSplitter = 134217729.0;  // 2**27 + 1
  const double c = kSplitter * a;
  const double hi = c - (c - a);
  return {hi, a - hi};
}

// hi + lo = a * b exactly (Dekker's product: four exact partial products),
// barring overflow and underflow
[[nodiscard]] inline Pair two_product(double a, double b) noexcept {
  const double p = a * b;
  const Pair as = split(a);
  const Pair bs = split(b);
  const double e = (((as.hi * bs.hi - p) + as.hi * bs.lo) + as.lo * bs.hi) + as.lo * bs.lo;
  return {p, e};
}

}  // namespace zorvane::numeric::error_free
