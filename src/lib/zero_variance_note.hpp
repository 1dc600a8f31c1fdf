// The note of the zero-variance refusal: which case the data are.
#pragma once

#include <span>
#include <string>

#include "binding/error.hpp"

#include "statistical_tests/escanciano_lobato/escanciano_lobato.hpp"

namespace zorvane::lib {

// For example "all 250 values are 5.33: a constant series has no
// autocorrelation to measure". Made only on that failure path; `series` is
// the series the test ran on, with the sum behind its mean.
[[nodiscard]] std::string zero_variance_note(const statistical_tests::escanciano_lobato::ScannedSeries& series,
                                             const statistical_tests::escanciano_lobato::ZeroVariance& zero);

// Whether `data` holds integers that differ from each other (a list or
// tuple of ints, or an integer array or Series whose min and max differ):
// then values that are all equal as float64 were made equal by the
// conversion. An error only for what must propagate (an interrupt,
// MemoryError); any other exception answers no.
[[nodiscard]] binding::Result<bool> integers_that_differ(PyObject* data);

// repr() of a float: the shortest text that reads back as the same value.
[[nodiscard]] std::string float_text(double value);

// The note for such data, in place of "all n values are ...".
[[nodiscard]] std::string integers_made_equal_note(PyObject* data, std::span<const double> values);

}  // namespace zorvane::lib
