// The zero-variance refusal's note, from the cause the test reports.
#include "lib/zero_variance_note.hpp"

#include <Python.h>

#include <cmath>
#include <limits>
#include <string>

namespace zorvane::lib {
namespace {

namespace el = statistical_tests::escanciano_lobato;

// repr() of a float: the shortest text that reads back as the same value.
std::string float_text(double value) {
  char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  if (text == nullptr) {
    PyErr_Clear();
    return std::to_string(value);
  }
  std::string owned(text);
  PyMem_Free(text);
  return owned;
}

// The mean for a note, free of overflow: each value divided before the sum.
double mean_for_note(std::span<const double> values) {
  const auto n = static_cast<double>(values.size());
  double sum = 0.0;
  for (const double value : values) {
    sum += value / n;
  }
  return sum;
}

// The largest and the smallest non-zero |x_t - mean|, halved first so that
// no difference overflows, then given back at full size (infinite only
// beyond float64's range).
std::string magnitudes_note(std::span<const double> values, std::uint64_t lag) {
  const double half_mean = mean_for_note(values) / 2.0;
  double largest = 0.0;
  double smallest = std::numeric_limits<double>::infinity();
  for (const double value : values) {
    const double half = std::fabs(value / 2.0 - half_mean);
    largest = half > largest ? half : largest;
    smallest = half != 0.0 && half < smallest ? half : smallest;
  }
  return "deviations from the mean range from " + float_text(2.0 * largest) + " down to " +
         float_text(2.0 * smallest) +
         " in magnitude, too far apart for float64 to hold the products of their squares (at lag " +
         std::to_string(lag) + " they underflow to zero): test the series without its outlying values";
}

}  // namespace

std::string zero_variance_note(std::span<const double> values, const el::ZeroVariance& zero) {
  switch (zero.cause) {
    case el::ZeroVarianceCause::AllEqual:
      return "all " + std::to_string(values.size()) + " values are " + float_text(values.front()) +
             ": a constant series has no autocorrelation to measure";
    case el::ZeroVarianceCause::RoundingNoise:
      return "the values differ from each other only by rounding: their deviations from the mean are no larger "
             "than the mean's own rounding error, which moves every one of them alike, so no autocorrelation "
             "can be measured";
    case el::ZeroVarianceCause::OutOfRange:
      return magnitudes_note(values, zero.lag);
    case el::ZeroVarianceCause::Exact:
      break;
  }
  return "every pair of values " + std::to_string(zero.lag) + " apart holds one equal to the mean (" +
         float_text(mean_for_note(values)) + "), so the robust variance at lag " + std::to_string(zero.lag) +
         " is zero";
}

}  // namespace zorvane::lib
