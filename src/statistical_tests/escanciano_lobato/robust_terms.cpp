// Robust squared autocorrelations: the straightforward reference loop.
#include "statistical_tests/escanciano_lobato/robust_terms.hpp"

#include <cstddef>

namespace zorvane::statistical_tests::escanciano_lobato {

ZeroLag robust_terms_reference(std::span<const double> x, double mean, std::uint64_t last_lag,
                               std::span<double> slots) noexcept {
  const std::size_t n = x.size();
  for (std::uint64_t k = 1; k <= last_lag; ++k) {
    const std::size_t m = n - k;
    // Sums start at -0.0 so that an empty sum is -0.0 and adding +0.0 keeps
    // the sign rules of the reference; terms are added in increasing t.
    double g = -0.0;
    for (std::size_t t = 0; t < m; ++t) {
      g = g + (x[t] - mean) * (x[t + k] - mean);
    }
    double h = -0.0;
    for (std::size_t t = 0; t < m; ++t) {
      const double u = x[t] - mean;
      const double v = x[t + k] - mean;
      h = h + (u * u) * (v * v);  // not (u v)^2, which rounds differently
    }
    const auto m_f = static_cast<double>(m);
    const double gamma = g / m_f;
    const double tau = h / m_f;
    // either sign of zero; NaN (no pairs, or non-finite data) is not zero
    if (tau == 0.0) {
      return k;
    }
    slots[k] = (gamma * gamma) / tau;
  }
  return 0;
}

}  // namespace zorvane::statistical_tests::escanciano_lobato
