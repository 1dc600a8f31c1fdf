// The cases of the cross-platform golden file: seeded series of many shapes
// and lengths, with d and q chosen to reach both penalty branches, lags near
// and beyond n, zero variances and non-finite values, and the one-line
// form of each outcome (every double as its 64 bits in hex).
//
// The series are made with integer arithmetic, +, *, / and sqrt only, which
// IEEE 754 fixes on every platform (no C library function, no standard
// distribution, whose algorithms differ between C++ libraries).
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "statistical_tests/escanciano_lobato/default_lag.hpp"
#include "statistical_tests/escanciano_lobato/escanciano_lobato.hpp"

namespace zorvane::testing::golden {

struct Case {
  std::string name;
  std::vector<double> x;
  std::uint64_t d;
  double q;
};

// splitmix64: the same stream on every platform.
class Stream {
 public:
  explicit Stream(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
  }
  // [0, 1) in steps of 2**-53, exactly
  double uniform() { return static_cast<double>(next() >> 11) * 0x1p-53; }
  // Irwin-Hall: twelve uniforms less 6, mean 0 and variance 1
  double normalish() {
    double sum = -6.0;
    for (int i = 0; i < 12; ++i) sum = sum + uniform();
    return sum;
  }

 private:
  std::uint64_t state_;
};

inline std::vector<double> series(const std::string& shape, std::size_t n, Stream& rng) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  std::vector<double> x(n);
  double previous = 0.0;
  double variance = 1.0;
  for (std::size_t t = 0; t < n; ++t) {
    const double e = rng.normalish();
    double v = e;
    if (shape == "ar") {
      v = 0.6 * previous + e;
    } else if (shape == "garch") {
      variance = 0.1 + 0.1 * (previous * previous) + 0.8 * variance;
      v = std::sqrt(variance) * e;
    } else if (shape == "heavy") {
      v = e / (rng.uniform() + 0.05);
    } else if (shape == "trend") {
      v = 0.01 * static_cast<double>(t) + e;
    } else if (shape == "integers") {
      v = static_cast<double>(rng.next() % 5);
    } else if (shape == "stretches") {
      v = rng.uniform() < 0.1 ? static_cast<double>(rng.next() % 7) : (t == 0 ? 1.0 : previous);
    } else if (shape == "tiny") {
      v = 1e-100 * e;
    } else if (shape == "alternating-tiny") {
      v = (t % 2 == 0) ? 1e-100 : -1e-100;
    } else if (shape == "constant") {
      v = 2.5;
    } else if (shape == "infinite") {
      v = t == n / 2 ? (rng.next() % 2 == 0 ? kInf : -kInf) : e;
    } else if (shape == "huge") {
      v = 1e150 * e;
    }
    x[t] = v;
    previous = v;
  }
  return x;
}

inline std::vector<Case> cases() {
  using statistical_tests::escanciano_lobato::default_lag;
  const char* const shapes[] = {"normal", "ar",       "garch",     "heavy",           "trend",    "integers",
                                "stretches", "tiny", "alternating-tiny", "constant", "infinite", "huge"};
  const std::size_t lengths[] = {1, 2, 5, 10, 31, 32, 100, 243, 1000, 4000};
  std::vector<Case> out;
  Stream rng(20261207);
  for (const char* shape : shapes) {
    for (const std::size_t n : lengths) {
      const std::vector<double> x = series(shape, n, rng);
      const std::string base = std::string(shape) + " n=" + std::to_string(n);
      // the default d and q; a wider d with the 2p-favouring small q; d near or beyond n
      out.push_back({base + " default", x, default_lag(n), 2.4});
      if (n >= 5) {
        out.push_back({base + " d=" + std::to_string(n < 40 ? n - 1 : 30) + " q=0.3", x, n < 40 ? n - 1 : 30, 0.3});
      }
      if (n <= 100) {
        out.push_back({base + " d=n+" + std::to_string(n % 3), x, n + n % 3, 24.0});
      }
    }
  }
  // the default d on both sides of exact fifth powers, where a pow one unit
  // low in its last place would give one lag fewer
  for (std::uint64_t k = 2; k <= 8; ++k) {
    const std::uint64_t power = k * k * k * k * k;
    for (const std::uint64_t n : {power - 1, power}) {
      const std::vector<double> x = series("ar", static_cast<std::size_t>(n), rng);
      const std::uint64_t d = default_lag(n);
      out.push_back({"fifth-power n=" + std::to_string(n) + " default d=" + std::to_string(d), x, d, 2.4});
    }
  }
  return out;
}

inline std::string hex(double value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(value)));
  return text;
}

// "<name> | ok <p~> <statistic> <pvalue>", "<name> | zero <lag>" or "<name> | beyond <lag>"
inline std::string line(const Case& c) {
  namespace el = statistical_tests::escanciano_lobato;
  const auto result = el::run_escanciano_lobato(c.x, c.d, c.q);
  std::string text = c.name + " | ";
  if (result) {
    return text + "ok " + std::to_string(result->p_tilde) + " " + hex(result->statistic) + " " + hex(result->pvalue);
  }
  if (const auto* zero = std::get_if<el::ZeroVariance>(&result.error())) {
    return text + "zero " + std::to_string(zero->lag);
  }
  return text + "beyond " + std::to_string(std::get<el::LagBeyondSeries>(result.error()).lag);
}

}  // namespace zorvane::testing::golden
