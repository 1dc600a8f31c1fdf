// Input conversion: the ladder of forms that turns `data` into a series view.
// In order: a masked array's mask, the array test, a known container's
// memory (known_containers.cpp), the to_numpy form, the sequence form; the
// first that fits gives the values.
#include "lib/input/ladder.hpp"

#include <optional>

#include "binding/object.hpp"
#include "binding/panic.hpp"
#include "binding/threads.hpp"
#include "lib/input/float_buffer.hpp"
#include "lib/input/known_containers.hpp"
#include "lib/input/masked_array.hpp"
#include "lib/input/memory.hpp"
#include "lib/input/notes.hpp"
#include "lib/input/numpy_api.hpp"
#include "lib/input/readers.hpp"
#include "lib/input/sequence_copy.hpp"
#include "lib/input/slice_container.hpp"

namespace zorvane::lib {
namespace {

using binding::Error;
using binding::Object;
using binding::Result;

constexpr const char* kUnacceptedData = "expected a 1-D numpy.ndarray, pandas.Series, or sequence of float64";

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

// A form's outcome: the holder of the values, or the item the sequence form
// stopped at. Both empty: the form does not fit.
struct Attempt {
  std::optional<SeriesHolder> held;
  std::optional<ItemRefusal> refusal;
};

bool is_sequence(PyObject* data) { return !PyUnicode_Check(data) && PySequence_Check(data) != 0; }

// A known container's values from its memory; an empty attempt when it is
// not one, or its reader declined.
Result<Attempt> try_known(const NumpyApi& api, PyObject* data) {
  Result<const KnownContainer*> known = recognise(api, data);
  if (!known) {
    return std::unexpected(std::move(known.error()));
  }
  // a reader in place of iteration reads only what the sequence form would iterate
  if (*known == nullptr || !is_sequence(data)) {
    return Attempt{};
  }
  Read read = (*known)->read(api, data);
  if (!read) {
    return std::unexpected(std::move(read.error()));
  }
  if (!*read) {
    return Attempt{};
  }
  return Attempt{std::move((*read)->held), std::move((*read)->refusal)};
}

// An exact array's elements from memory; any other sequence's items copied
// into a buffer and wrapped. An error when memory runs out or an item's
// reading raised what must propagate.
Result<Attempt> try_sequence(const NumpyApi& api, PyObject* data) {
  if (!is_sequence(data)) {
    return Attempt{};
  }
  if (const std::optional<ElementFormat> format = plain_array_format(api, data)) {
    Result<Placed> placed = place(api, array_memory(Object::borrow(data), *format), Missing::AsNaN);
    if (!placed) {
      return std::unexpected(std::move(placed.error()));
    }
    return Attempt{std::move(placed->held), std::nullopt};
  }
  FloatBuffer buffer;
  Py_ssize_t hint = PySequence_Size(data);
  if (hint < 0) {
    // the hint only sizes the first allocation
    if (std::optional<Error> error = binding::take_trial_error()) {
      return std::unexpected(std::move(*error));
    }
    hint = 0;
  }
  buffer.reserve_hint(static_cast<std::size_t>(hint));
  CopyResult copied = PyList_CheckExact(data) || PyTuple_CheckExact(data) ? copy_list_or_tuple(data, buffer)
                                                                          : copy_iterated(data, buffer);
  if (!copied) {
    return std::unexpected(std::move(copied.error()));
  }
  if (*copied) {
    return Attempt{std::nullopt, std::move(*copied)};
  }
  return Attempt{wrap_buffer(api, buffer), std::nullopt};
}

// The forms after the array test, in order: a known container's memory, the
// to_numpy form, the sequence form.
Result<Attempt> try_other_forms(const NumpyApi& api, PyObject* data) {
  Result<Attempt> known = try_known(api, data);
  if (!known || known->held || known->refusal) {
    return known;
  }
  Result<std::optional<SeriesHolder>> returned = try_to_numpy(api, data);
  if (!returned) {
    return std::unexpected(std::move(returned.error()));
  }
  if (*returned) {
    return Attempt{std::move(*returned), std::nullopt};
  }
  return try_sequence(api, data);
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
  Result<Attempt> attempt = try_other_forms(api, data);
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
