// The Escanciano-Lobato test: mean, robust terms, penalty switch, lag selection, p-value.
#include "statistical_tests/escanciano_lobato/escanciano_lobato.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "numeric/gamma_distribution.hpp"
#include "statistical_tests/escanciano_lobato/lag_selection.hpp"
#include "statistical_tests/escanciano_lobato/robust_terms.hpp"

namespace zorvane::statistical_tests::escanciano_lobato {
SeriesScan scan_series(std::span<const double> series) noexcept {
  // One accumulator from -0.0 in index order: the mean's bits depend on it.
  double sum = -0.0;
  bool has_nan = false;
  for (const double value : series) {
    sum = sum + value;
    has_nan |= value != value;
  }
  return {sum, has_nan};
}

std::expected<TestOutcome, Refusal> run_escanciano_lobato(std::span<const double> series, std::uint64_t d, double q) {
  return run_escanciano_lobato(series, d, q, scan_series(series));
}

std::expected<TestOutcome, Refusal> run_escanciano_lobato(std::span<const double> series, std::uint64_t d, double q,
                                                          const SeriesScan& scan, RobustTermsKernel kernel) {
  const std::uint64_t n = series.size();
  const auto n_f = static_cast<double>(n);
  const double mean = scan.sum / n_f;

  // Lags beyond n have no pairs. Lags up to n are still computed first, so a
  // zero robust variance at such a lag is reported before the refusal; the
  // vector is sized by the lags actually computed.
  const std::uint64_t last_lag = std::min(d, n);
  std::vector<double> rho_tilde_sq(static_cast<std::size_t>(last_lag) + 1, 0.0);
  if (const ZeroLag lag = kernel(series, mean, last_lag, rho_tilde_sq); lag != 0) {
    return std::unexpected(ZeroVariance{lag});
  }
  if (d > n) {
    return std::unexpected(LagBeyondSeries{n + 1, n});
  }

  // d = 0 selects nothing and takes no logarithm
  const LagSelection selection = d == 0 ? LagSelection{0, -0.0, false} : select_lag(rho_tilde_sq, d, n_f, q);
  const double statistic = selection.sum * n_f;

  const auto chi_square = numeric::ChiSquareDistribution::create(1.0);
  if (!chi_square) {
    throw std::logic_error("freedom = 1: " + std::string(numeric::to_string(chi_square.error())));
  }
  // 1 - cdf, as the reference forms it; no separate upper-tail function
  const double pvalue = 1.0 - chi_square->cdf(statistic);
  return TestOutcome{selection.p_tilde, statistic, pvalue};
}

}  // namespace zorvane::statistical_tests::escanciano_lobato
