// The test run with a chosen robust-terms kernel, for the tests and the
// benchmark that hold every kernel to the same bits; callers use
// run_escanciano_lobato, which takes the fastest one.
#pragma once

#include "statistical_tests/escanciano_lobato/escanciano_lobato.hpp"
#include "statistical_tests/escanciano_lobato/robust_terms.hpp"

namespace zorvane::statistical_tests::escanciano_lobato {

[[nodiscard]] std::expected<TestOutcome, Refusal> run_escanciano_lobato_with(const ScannedSeries& series,
                                                                            std::uint64_t d, double q,
                                                                            RobustTermsKernel kernel);
[[nodiscard]] std::expected<TestOutcome, Refusal> run_escanciano_lobato_with(const ScannedSeries& series,
                                                                            std::uint64_t d, double q,
                                                                            RobustTermsKernel kernel,
                                                                            Interruption& interruption);

}  // namespace zorvane::statistical_tests::escanciano_lobato
