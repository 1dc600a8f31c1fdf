// Penalised lag selection: the penalty switch and the first maximiser.
#include "statistical_tests/escanciano_lobato/lag_selection.hpp"

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

  LagSelection selection{0, -0.0, logarithmic};
  double best = -std::numeric_limits<double>::infinity();
  double running_sum = -0.0;  // S_p: slots 1 .. p added left to right
  for (std::uint64_t p = 1; p <= d; ++p) {
    running_sum = running_sum + slots[p];
    const double penalty = logarithmic ? static_cast<double>(p) * log_n : static_cast<double>(2 * p);
    const double penalized = running_sum * n_f - penalty;
    // strictly greater: the first maximiser wins ties and NaN never wins
    if (penalized > best) {
      best = penalized;
      selection.p_tilde = p;
      selection.sum = running_sum;
    }
  }
  return selection;
}

}  // namespace zorvane::statistical_tests::escanciano_lobato
