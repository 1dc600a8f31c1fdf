// The zero-variance refusal's note, from the cause the test reports.
#include "lib/zero_variance_note.hpp"

#include <Python.h>

#include <cmath>
#include <limits>
#include <string>

#include "binding/object.hpp"
#include "numeric/exact_sum.hpp"

namespace zorvane::lib {
namespace {

namespace el = statistical_tests::escanciano_lobato;

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

// The exact mean, which every value in the pairs equals (its sum kept
// exactly, then divided once); where that sum overflows, the test scaled the
// values by a power of two first, and the note's own mean stands in.
double exact_mean(std::span<const double> values) {
  numeric::ExactSum sum;
  sum.add(values);
  const double mean = numeric::two_part_mean(sum, values.size()).hi;
  return std::isfinite(mean) ? mean : mean_for_note(values);
}

}  // namespace

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

std::string zero_variance_note(const el::ScannedSeries& series, const el::ZeroVariance& zero) {
  const std::span<const double> values = series.values();
  switch (zero.cause) {
    case el::ZeroVarianceCause::AllEqual:
      return "all " + std::to_string(values.size()) + " values are " + float_text(values.front()) +
             ": a constant series has no autocorrelation to measure";
    case el::ZeroVarianceCause::OutOfRange:
      return magnitudes_note(values, zero.lag);
    case el::ZeroVarianceCause::Exact:
      break;
  }
  return "every pair of values " + std::to_string(zero.lag) + " apart holds one equal to the mean (" +
         float_text(exact_mean(values)) + "), so the robust variance at lag " + std::to_string(zero.lag) +
         " is zero";
}

namespace {

using binding::Object;
using binding::Result;

// An ordinary exception of a question answers no; an interrupt or a
// MemoryError propagates.
Result<bool> answered_no() {
  if (std::optional<binding::Error> error = binding::take_trial_error()) {
    return std::unexpected(std::move(*error));
  }
  return false;
}

// Whether the exact ints of a list or tuple differ (False where any item is
// something else).
Result<bool> listed_integers_differ(PyObject* data) {
  Object items = Object::steal(PySequence_Tuple(data));  // a snapshot another thread cannot change
  if (!items) {
    return answered_no();
  }
  const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
  bool differ = false;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    if (!PyLong_CheckExact(item)) {
      return false;
    }
    const int equal = PyObject_RichCompareBool(item, PyTuple_GET_ITEM(items.get(), 0), Py_EQ);
    if (equal < 0) {
      return answered_no();
    }
    differ = differ || equal == 0;
  }
  return differ;
}

// Whether an array or Series of an integer dtype has min() != max().
Result<bool> integer_array_differs(PyObject* data) {
  Object dtype = Object::steal(PyObject_GetAttrString(data, "dtype"));
  Object kind = dtype ? Object::steal(PyObject_GetAttrString(dtype.get(), "kind")) : Object{};
  if (!kind) {
    return answered_no();
  }
  if (!PyUnicode_Check(kind.get()) || (PyUnicode_CompareWithASCIIString(kind.get(), "i") != 0 &&
                                        PyUnicode_CompareWithASCIIString(kind.get(), "u") != 0)) {
    return false;
  }
  Object low = Object::steal(PyObject_CallMethod(data, "min", nullptr));
  Object high = low ? Object::steal(PyObject_CallMethod(data, "max", nullptr)) : Object{};
  if (!high) {
    return answered_no();
  }
  const int differ = PyObject_RichCompareBool(low.get(), high.get(), Py_NE);
  if (differ < 0) {
    return answered_no();
  }
  return differ == 1;
}

}  // namespace

Result<bool> integers_that_differ(PyObject* data) {
  if (PyList_Check(data) || PyTuple_Check(data)) {
    return listed_integers_differ(data);
  }
  return integer_array_differs(data);
}

std::string integers_made_equal_note(PyObject* data, std::span<const double> values) {
  const bool listed = PyList_Check(data) || PyTuple_Check(data);
  return "the integers given differ, but as float64 all " + std::to_string(values.size()) + " of them are " +
         float_text(values.front()) +
         ": float64 holds integers exactly only up to 2**53 in magnitude, and the conversion rounded these to one "
         "value; subtract a common offset first, e.g. " +
         (listed ? "[v - min(x) for v in x]" : "x - x.min()");
}

}  // namespace zorvane::lib
