// Input conversion: the ladder of forms (the array test, the to_numpy form,
// the sequence form) that turns `data` into a series view.
#include "lib/input_conversion.hpp"

#include <cstdint>
#include <optional>

#include "binding/numpy_abi.hpp"
#include "binding/object.hpp"
#include "binding/panic.hpp"
#include "binding/threads.hpp"
#include "lib/container_values.hpp"
#include "lib/data_hints.hpp"
#include "lib/float_buffer.hpp"
#include "lib/masked_array.hpp"
#include "lib/numpy_api.hpp"
#include "lib/sequence_copy.hpp"
#include "lib/series_values.hpp"
#include "lib/slice_container.hpp"

namespace zorvane::lib {
namespace {

using binding::Error;
using binding::Object;
using binding::Result;
namespace numpy = binding::numpy;

constexpr const char* kUnacceptedData = "expected a 1-D numpy.ndarray, pandas.Series, or sequence of float64";

bool is_array(const NumpyApi& api, PyObject* candidate) {
  return Py_TYPE(candidate) == api.array_type() || binding::is_subtype(Py_TYPE(candidate), api.array_type());
}

bool is_float64(const NumpyApi& api, PyObject* descr) {
  return descr == api.float64.get() || api.equiv_types()(descr, api.float64.get()) != 0;
}

// What the array test does when another module holds a write borrow on the
// array: end the construction (the array and to_numpy forms), or decline, so
// that the values are copied as iteration would read them (a Series).
enum class OnConflict : bool { Panic, Decline };

// The array test: a 1-D float64 array with contiguous memory, read in place.
std::optional<SeriesHolder> try_array(const NumpyApi& api, PyObject* candidate, OnConflict on_conflict) {
  if (!is_array(api, candidate)) {
    return std::nullopt;
  }
  const numpy::ArrayFields* fields = numpy::fields(candidate);
  if (fields->nd != 1 || !is_float64(api, fields->descr)) {
    return std::nullopt;
  }
  const binding::BorrowApi& registry = api.borrows();
  if (on_conflict == OnConflict::Panic) {
    binding::acquire_read_borrow(registry, candidate);
  } else if (!binding::try_acquire_read_borrow(registry, candidate)) {
    return std::nullopt;
  }
  SeriesHolder holder(Object::borrow(candidate), registry,
                      {reinterpret_cast<const double*>(fields->data), static_cast<std::size_t>(fields->dimensions[0])});
  // Read in place only what can be read as doubles: contiguous memory at an
  // address aligned for double (an array unpickled from a network frame, for
  // one, need not be). Anything else is copied by the sequence form.
  const bool contiguous = (fields->flags & (numpy::kCContiguous | numpy::kFContiguous)) != 0;
  const bool aligned = reinterpret_cast<std::uintptr_t>(fields->data) % alignof(double) == 0;
  if (!contiguous || fields->data == nullptr || !aligned) {
    return std::nullopt;  // the holder gives the borrow back
  }
  return holder;
}

// nullopt: the form does not fit (its error discarded); an error: an
// interrupt or MemoryError raised by to_numpy, which propagates.
Result<std::optional<SeriesHolder>> try_to_numpy(const NumpyApi& api, PyObject* data) {
#if PY_VERSION_HEX >= 0x030D0000
  // A missing attribute, the common case (lists, arrays), makes no exception
  // object: no allocation the collector counts, for an error discarded anyway.
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttrString(data, "to_numpy", &found) == 0) {
    return std::nullopt;
  }
  Object method = Object::steal(found);
#else
  Object method = Object::steal(PyObject_GetAttrString(data, "to_numpy"));
#endif
  Object result = method ? Object::steal(PyObject_CallFunctionObjArgs(method.get(), Py_False, nullptr)) : Object();
  if (!result) {
    if (std::optional<Error> error = binding::take_trial_error()) {
      return std::unexpected(std::move(*error));
    }
    return std::nullopt;
  }
  return try_array(api, result.get(), OnConflict::Panic);
}

// The sequence form's outcome: the holder of the copy, or why it did not fit.
struct SequenceAttempt {
  std::optional<SeriesHolder> held;
  std::optional<ItemRefusal> refusal;  // empty (with no holder): not a sequence
};

// Copies the items into a buffer and wraps it; an error when memory runs
// out or an item's reading raised what must propagate.
Result<SequenceAttempt> try_sequence(const NumpyApi& api, PyObject* data) {
  if (PyUnicode_Check(data) || !PySequence_Check(data)) {
    return SequenceAttempt{};
  }
  FloatBuffer buffer;
  // Containers whose iteration is known are read from memory instead.
  Result<std::optional<ContainerValues>> known = container_values(api, data);
  if (!known) {
    return std::unexpected(std::move(known.error()));
  }
  if (*known && (*known)->held) {
    return SequenceAttempt{std::move((*known)->held), std::nullopt};
  }
  if (*known && (*known)->refusal) {
    return SequenceAttempt{std::nullopt, std::move((*known)->refusal)};
  }
  // An array: in place when its values pass the array test; copied from
  // memory when they do not, or when another module holds a write borrow on
  // them (iteration never asked the registry, so neither may this).
  if (*known && (*known)->array.array) {
    const SeriesValues& series = (*known)->array;
    if (std::optional<SeriesHolder> in_place = try_array(api, series.array.get(), OnConflict::Decline)) {
      return SequenceAttempt{std::move(in_place), std::nullopt};
    }
    if (Result<void> copied = copy_elements(series.array.get(), series.format, buffer); !copied) {
      return std::unexpected(std::move(copied.error()));
    }
    return SequenceAttempt{wrap_buffer(api, buffer), std::nullopt};
  }

  Py_ssize_t hint = PySequence_Size(data);
  if (hint < 0) {
    // the hint only sizes the first allocation
    if (std::optional<Error> error = binding::take_trial_error()) {
      return std::unexpected(std::move(*error));
    }
    hint = 0;
  }
  buffer.reserve_hint(static_cast<std::size_t>(hint));
  CopyResult copied = std::nullopt;
  if (PyList_CheckExact(data) || PyTuple_CheckExact(data)) {
    copied = copy_list_or_tuple(data, buffer);
  } else if (const std::optional<ElementFormat> format = plain_array_format(api, data)) {
    if (Result<void> read = copy_elements(data, *format, buffer); !read) {
      return std::unexpected(std::move(read.error()));
    }
  } else {
    copied = copy_iterated(data, buffer);
  }
  if (!copied) {
    return std::unexpected(std::move(copied.error()));
  }
  if (*copied) {
    return SequenceAttempt{std::nullopt, std::move(*copied)};
  }
  return SequenceAttempt{wrap_buffer(api, buffer), std::nullopt};
}

}  // namespace

Result<SeriesHolder> to_series_view(PyObject* data) {
  const NumpyApi& api = numpy_api();
  // before the array test, which would read the values under the mask
  Result<std::optional<SeriesHolder>> masked = masked_array_values(api, data);
  if (!masked) {
    return std::unexpected(std::move(masked.error()));
  }
  if (*masked) {
    return std::move(**masked);
  }
  if (auto held = try_array(api, data, OnConflict::Panic)) {
    return std::move(*held);
  }
  // pyarrow's float64 arrays, read as their to_numpy(False) would give them
  Result<std::optional<SeriesHolder>> arrow = arrow_float64_values(api, data);
  if (!arrow) {
    return std::unexpected(std::move(arrow.error()));
  }
  if (*arrow) {
    return std::move(**arrow);
  }
  Result<std::optional<SeriesHolder>> returned = try_to_numpy(api, data);
  if (!returned) {
    return std::unexpected(std::move(returned.error()));
  }
  if (*returned) {
    return std::move(**returned);
  }
  Result<SequenceAttempt> attempt = try_sequence(api, data);
  if (!attempt) {
    return std::unexpected(std::move(attempt.error()));
  }
  if (attempt->held) {
    return std::move(*attempt->held);
  }
  const ItemRefusal* refusal = attempt->refusal ? &*attempt->refusal : nullptr;
  // an exception that stopped the reading is the refusal's cause
  Object cause = refusal != nullptr ? Object::borrow(refusal->raised.get()) : Object();
  Result<std::string> note = unaccepted_data_note(api, data, refusal);
  if (!note) {
    return std::unexpected(std::move(note.error()));
  }
  return std::unexpected(Error::lazy(PyExc_TypeError, kUnacceptedData, std::move(cause)).with_note(std::move(*note)));
}

}  // namespace zorvane::lib
