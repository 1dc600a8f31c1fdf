// EscancianoLobato.__new__: a binder that yields typed (data, q, d), then an
// implementation that converts and checks the data, runs the test and builds
// the result object.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "binding/entry.hpp"
#include "binding/object.hpp"
#include "binding/parameters.hpp"
#include "lib/input/notes.hpp"
#include "lib/input/ladder.hpp"
#include "lib/result_type.hpp"
#include "lib/zero_variance_note.hpp"
#include "statistical_tests/escanciano_lobato/default_lag.hpp"
#include "statistical_tests/escanciano_lobato/escanciano_lobato.hpp"

namespace zorvane::lib {
namespace {

using binding::Error;
using binding::Object;
using binding::Result;
namespace el = statistical_tests::escanciano_lobato;

constexpr std::array<std::string_view, 3> kParameterNames = {"raw_data", "q", "d"};
constexpr binding::FunctionDescription kNewDescription = {
    .class_name = "EscancianoLobato",
    .function_name = "__new__",
    .positional_names = kParameterNames,
    .required_positional = 1,
};

constexpr double kDefaultQ = 2.4;

// A failed conversion of argument `name`: an exact TypeError gets the
// "argument '<name>': " prefix and keeps its cause; anything else passes.
Error argument_error(std::string_view name, Error error) {
  if (!error.is_exactly(PyExc_TypeError)) {
    return error;
  }
  Object exception = error.instance();
  Object text = Object::steal(PyObject_Str(exception.get()));
  if (!text) {
    return Error::fetch();
  }
  Object cause = Object::steal(PyException_GetCause(exception.get()));
  return Error::lazy(PyExc_TypeError, "argument '" + std::string(name) + "': " + binding::utf8(text.get()),
                     std::move(cause));
}

Result<double> convert_q(PyObject* value) {
  if (PyFloat_CheckExact(value)) {
    return PyFloat_AS_DOUBLE(value);
  }
  const double q = PyFloat_AsDouble(value);
  // -1.0 is a failure only with an exception pending
  if (q == -1.0 && PyErr_Occurred() != nullptr) {
    return std::unexpected(argument_error("q", Error::fetch()));
  }
  return q;
}

Result<std::uint64_t> convert_d(PyObject* value) {
  Object index;
  if (!PyLong_Check(value)) {
    index = Object::steal(PyNumber_Index(value));
    if (!index) {
      return std::unexpected(argument_error("d", Error::fetch()));
    }
    value = index.get();
  }
  const unsigned long long d = PyLong_AsUnsignedLongLong(value);
  // all ones is a failure only with an exception pending
  if (d == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    return std::unexpected(argument_error("d", Error::fetch()));
  }
  return d;
}

// The bound and converted arguments of EscancianoLobato(data, /, q, d).
struct NewArguments {
  PyObject* raw_data;           // borrowed from the call's arguments
  double q;                     // positive
  std::optional<std::uint64_t> d;  // absent: the default from n
};

using Slots = std::array<PyObject*, kParameterNames.size()>;

// Converts the bound q and d; every argument error comes from binding or
// from here, in the order the messages are checked.
Result<NewArguments> convert_new(const Slots& slots) {
  NewArguments arguments{slots[0], kDefaultQ, std::nullopt};
  if (slots[1] != nullptr && slots[1] != Py_None) {
    Result<double> q = convert_q(slots[1]);
    if (!q) {
      return std::unexpected(std::move(q.error()));
    }
    arguments.q = *q;
  }
  // d's conversion runs before q's check: its error wins when both are bad
  if (slots[2] != nullptr && slots[2] != Py_None) {
    Result<std::uint64_t> d = convert_d(slots[2]);
    if (!d) {
      return std::unexpected(std::move(d.error()));
    }
    arguments.d = *d;
  }
  if (!(arguments.q > 0.0)) {
    return binding::value_error("q must be positive");
  }
  return arguments;
}

// The ValueError for NaN or infinite values, with a note on where they are
// and how to drop them.
std::unexpected<Error> refused_values(PyObject* raw_data, std::span<const double> values, NonFinite kind,
                                      const char* message) {
  Result<std::string> note = non_finite_note(raw_data, values, kind);
  if (!note) {
    return std::unexpected(std::move(note.error()));
  }
  return std::unexpected(Error::lazy(PyExc_ValueError, message).with_note(std::move(*note)));
}

// The warning of a d of half the series or more, where the last lags rest on
// a handful of pairs: their robust autocorrelations are near +-1 by
// construction, and the chi-square approximation of the statistic fails.
std::string few_pairs_warning(std::uint64_t d, std::size_t n) {
  return "d = " + std::to_string(d) + " is at least half the series length (n = " + std::to_string(n) +
         "): the largest lags rest on few pairs (lag " + std::to_string(d) + " on " + std::to_string(n - d) +
         "), where the chi-square approximation fails; on independent normal data the test rejects at 5% in "
         "12% to 34% of series at d = n/2 and in nearly all at d = n - 1 (n = 10 to 1000): keep d at most n/4 "
         "(the default is floor(n ** 0.2))";
}

// Values that differ only in their last bits: a spread, not zero, within
// 10 units of the last place of the largest magnitude (2^-52 each).
bool nearly_identical(const el::ScannedSeries& series) {
  const double spread = series.largest() - series.smallest();
  const double magnitude = std::max(std::fabs(series.smallest()), std::fabs(series.largest()));
  return spread > 0.0 && spread <= 10.0 * 0x1p-52 * magnitude;
}

std::string nearly_identical_warning(const el::ScannedSeries& series) {
  return "the values differ only in their last bits (from " + float_text(series.smallest()) + " to " +
         float_text(series.largest()) +
         ", within 10 units of float64's last place): rounding in whatever produced them may have set those "
         "bits, and the answer describes them. If the differences are real, the test of the differences from one "
         "value (x - x[0] for an array) holds them exactly and gives the same answer without this warning; if "
         "they are rounding, the series is a constant, which has no autocorrelation to measure";
}

// Asked between chunks of a long test: a pending signal's handler runs here
// (on the main thread; any other has none to run), and the exception it
// raises, KeyboardInterrupt for Ctrl-C, stops the test and is left pending.
bool signal_handler_raised(void* /*context*/) noexcept { return PyErr_CheckSignals() != 0; }

// Converts and checks the data, runs the test and builds the result object.
Result<Object> escanciano_lobato_impl(PyTypeObject* type, PyObject* raw_data, double q,
                                      std::optional<std::uint64_t> d) {
  Result<SeriesHolder> series = to_series_view(raw_data);
  if (!series) {
    return std::unexpected(std::move(series.error()));
  }
  if (series->view().empty()) {
    return binding::value_error("data must not be empty");
  }
  // the NaN check shares its pass with the sum behind the mean
  el::Interruption interruption(signal_handler_raised, nullptr);
  const std::optional<el::ScannedSeries> scanning = el::ScannedSeries::scan(series->view(), interruption);
  if (!scanning) {
    return binding::fetched_error();
  }
  const el::ScannedSeries& scanned = *scanning;
  if (scanned.has_nan()) {
    return refused_values(raw_data, scanned.values(), NonFinite::Nan, "data must not contain NaN values");
  }
  // An infinity would make every term NaN and the answer "p~ = 0, p-value 1",
  // which reads as no evidence of correlation: refused like a NaN.
  if (scanned.has_infinity()) {
    return refused_values(raw_data, scanned.values(), NonFinite::Infinite, "data must not contain infinite values");
  }
  if (d == 0u) {
    return binding::value_error("d must be positive");
  }
  // default: floor(n ** 0.2), as a correctly rounded pow gives it
  const std::uint64_t lags = d.value_or(el::default_lag(scanned.values().size()));

  const auto outcome = el::run_escanciano_lobato(scanned, lags, q, interruption);
  if (!outcome) {
    if (std::holds_alternative<el::Interrupted>(outcome.error())) {
      return binding::fetched_error();
    }
    if (const auto* zero = std::get_if<el::ZeroVariance>(&outcome.error())) {
      std::string note = zero_variance_note(scanned, *zero);
      if (zero->cause == el::ZeroVarianceCause::AllEqual) {
        Result<bool> rounded_together = integers_that_differ(raw_data);
        if (!rounded_together) {
          return std::unexpected(std::move(rounded_together.error()));
        }
        if (*rounded_together) {
          note = integers_made_equal_note(raw_data, scanned.values());
        }
      }
      series->release();
      return std::unexpected(Error::lazy(PyExc_OSError, "Zero \u03c4\u0302 value at lag " + std::to_string(zero->lag))
                                 .with_note(std::move(note)));
    }
    series->release();
    const auto& beyond = std::get<el::LagBeyondSeries>(outcome.error());
    return std::unexpected(Error::lazy(PyExc_ValueError, "d must not be larger than the length of data")
                               .with_note(lag_beyond_note(lags, beyond.length)));
  }

  series->release();
  if (nearly_identical(scanned)) {
    if (const std::string text = nearly_identical_warning(scanned);
        PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) < 0) {
      return binding::fetched_error();
    }
  }
  if (d && 2 * *d >= scanned.values().size()) {
    if (const std::string text = few_pairs_warning(*d, scanned.values().size());
        PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) < 0) {
      return binding::fetched_error();
    }
  }

  allocfunc allocate = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  Object object = Object::steal(allocate(type, 0));
  if (!object) {
    return binding::fetched_error();
  }
  // + 0.0: no lag selected (one value) reads as a statistic of 0.0, not -0.0
  initialise_result(reinterpret_cast<ResultObject*>(object.get()), outcome->p_tilde, outcome->statistic + 0.0,
                    outcome->pvalue);
  return object;
}

// The bound arguments converted, then the test and the result object.
Result<Object> construct(PyTypeObject* type, const Slots& slots) {
  Result<NewArguments> arguments = convert_new(slots);
  if (!arguments) {
    return std::unexpected(std::move(arguments.error()));
  }
  return escanciano_lobato_impl(type, arguments->raw_data, arguments->q, arguments->d);
}

}  // namespace

PyObject* escanciano_lobato_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return binding::enter([&]() -> Result<Object> {
    Slots slots{};
    if (Result<void> bound = binding::bind_arguments(kNewDescription, args, kwargs, slots); !bound) {
      return std::unexpected(std::move(bound.error()));
    }
    return construct(type, slots);
  });
}

PyObject* escanciano_lobato_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf,
                                       PyObject* kwnames) noexcept {
  return binding::enter([&]() -> Result<Object> {
    Slots slots{};
    if (Result<void> bound = binding::bind_vector_arguments(kNewDescription, args, nargsf, kwnames, slots); !bound) {
      return std::unexpected(std::move(bound.error()));
    }
    return construct(reinterpret_cast<PyTypeObject*>(type), slots);
  });
}

}  // namespace zorvane::lib
