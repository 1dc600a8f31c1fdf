// Penalised lag selection: the penalty switch and the first maximiser.
#include "statistical_tests/escanciano_lobato/lag_selection.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "numeric/elementary.hpp"

namespace zorvane::statistical_tests::escanciano_lobato {
namespace {

// max_j sqrt(slot j) from +0.0; a NaN candidate never replaces the maximum.
double largest_robust_autocorrelation(std::span<const double> slots) noexcept {
  double largest = 0.0;
  for (const double slot : slots) {
    const double candidate = std::sqrt(slot);
    if (candidate > largest) {
      largest = candidate;
    }
  }
  return largest;
}

// ln n, remembered for the last n this thread asked for: a run over many
// series of one length takes one logarithm. The same bits either way.
double log_of_length(double n_f) noexcept {
  thread_local double remembered_n = std::numeric_limits<double>::quiet_NaN();  // equal to no n
  thread_local double remembered_log = 0.0;
  if (!(n_f == remembered_n)) {
    remembered_log = numeric::log(n_f);
    remembered_n = n_f;
  }
  return remembered_log;
}

}  // namespace

LagSelection select_lag(std::span<const double> slots, std::uint64_t d, double n_f, double q) noexcept {
  const double log_n = log_of_length(n_f);
  const double bound = std::sqrt(q * log_n);  // A: the product first, then the root
  const double largest = std::sqrt(n_f) * largest_robust_autocorrelation(slots.first(d + 1));  // B
  // logarithmic only when A >= B holds; a NaN on either side gives 2p
  const bool logarithmic = bound >= largest;

  LagSelection selection{0, -0.0, logarithmic, -std::numeric_limits<double>::infinity()};
  double best = -std::numeric_limits<double>::infinity();
  double running_sum = -0.0;  // S_p: slots 1 .. p added left to right
  const auto penalized_at = [&](std::uint64_t p, double sum) {
    const double penalty = logarithmic ? static_cast<double>(p) * log_n : static_cast<double>(2 * p);
    return sum * n_f - penalty;
  };
  for (std::uint64_t p = 1; p <= d; ++p) {
    running_sum = running_sum + slots[p];
    const double penalized = penalized_at(p, running_sum);
    // strictly greater: the first maximiser wins ties and NaN never wins
    if (penalized > best) {
      best = penalized;
      selection.p_tilde = p;
      selection.sum = running_sum;
      selection.criterion = penalized;
    }
  }
  // A tie in exact arithmetic goes to the smaller p, but rounding may have
  // split it either way. Each L_p carries an error below
  //   2^-49 (n (n + 16) d + n S_d + d max(ln n, 2)):
  // every rho~^2 is off by at most about 2 m 2^-53 (its G_k by m 2^-53 of
  // sqrt(m T_k), which bounds |G_k|), the sum and the product by 2^-52 of
  // their sizes, the penalty by 2^-53 of its own. An earlier p whose L_p lies
  // that close to the best is taken instead: if exact arithmetic ties them,
  // that is its answer; if not, the two differ by less than twice the
  // bound, which is capped at 2^-12 (1 + |best|) where the bound is larger.
  if (selection.p_tilde > 1 && std::isfinite(best)) {
    const double d_f = static_cast<double>(d);
    const double tolerance =
        std::min(0x1p-49 * (n_f * (n_f + 16.0) * d_f + n_f * running_sum + d_f * std::max(log_n, 2.0)),
                 0x1p-12 * (1.0 + std::fabs(best)));
    double sum = -0.0;
    for (std::uint64_t p = 1; p < selection.p_tilde; ++p) {
      sum = sum + slots[p];
      if (const double penalized = penalized_at(p, sum); penalized >= best - tolerance) {
        selection.p_tilde = p;
        selection.sum = sum;
        selection.criterion = penalized;
        break;
      }
    }
  }
  return selection;
}

}  // namespace zorvane::statistical_tests::escanciano_lobato
