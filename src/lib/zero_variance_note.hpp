// The note of the zero-variance refusal: which case the data are.
#pragma once

#include <span>
#include <string>

#include "statistical_tests/escanciano_lobato/escanciano_lobato.hpp"

namespace zorvane::lib {

// For example "all 250 values are 5.33: a constant series has no
// autocorrelation to measure". Made only on that failure path; `values` is
// the series the test ran on.
[[nodiscard]] std::string zero_variance_note(std::span<const double> values,
                                             const statistical_tests::escanciano_lobato::ZeroVariance& zero);

}  // namespace zorvane::lib
