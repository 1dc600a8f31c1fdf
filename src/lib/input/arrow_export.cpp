// Arrow columns handed over through the Arrow PyCapsule interface: polars'
// Series, pyarrow's arrays and the Arrow-backed values of pandas.
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "binding/panic.hpp"
#include "lib/input/arrow_values.hpp"
#include "lib/input/readers.hpp"

namespace zorvane::lib {
namespace {

using binding::Object;
using binding::Result;
using arrow::ColumnFormat;

constexpr const char* kColumnCapsule = "zorvane.arrow_column";

void release_column(PyObject* capsule) noexcept {
  delete static_cast<arrow::Column*>(PyCapsule_GetPointer(capsule, kColumnCapsule));
}

// The record a capsule of the PyCapsule interface holds, taken over.
template <class Record>
std::optional<arrow::Owned<Record>> take_capsule(PyObject* capsule, const char* name) {
  auto* record = PyCapsule_IsValid(capsule, name) ? static_cast<Record*>(PyCapsule_GetPointer(capsule, name)) : nullptr;
  if (record == nullptr || record->release == nullptr) {
    return std::nullopt;
  }
  return arrow::Owned<Record>(record);
}

// object.name, or null with an exception pending when it raised, or null
// with none when the attribute is missing (then no exception is made, from
// CPython 3.13 on).
Object optional_attribute(PyObject* object, const char* name) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* found = nullptr;
  static_cast<void>(PyObject_GetOptionalAttrString(object, name, &found));
  return Object::steal(found);
#else
  return Object::steal(PyObject_GetAttrString(object, name));
#endif
}

using MaybeColumn = std::optional<arrow::Column>;

// A trial step of the export failed: no column, unless the error must propagate.
Result<MaybeColumn> no_column() {
  if (std::optional<binding::Error> error = binding::take_trial_error()) {
    return std::unexpected(std::move(*error));
  }
  return MaybeColumn();
}

// The column an object exports through __arrow_c_stream__ (or, for a single
// array, __arrow_c_array__); nullopt when it exports none of the numbers
// read here.
Result<MaybeColumn> exported_column(PyObject* object) {
  // pyarrow's arrays have only the second since pyarrow 26: a missing method
  // is looked up without making an exception to discard, where it can be
  Object stream_method = optional_attribute(object, "__arrow_c_stream__");
  if (stream_method) {
    if (Object capsule = Object::steal(PyObject_CallNoArgs(stream_method.get()))) {
      auto stream = take_capsule<arrow::ArrowArrayStream>(capsule.get(), arrow::kStreamCapsule);
      return stream ? arrow::read_stream(std::move(*stream)) : std::nullopt;
    }
  }
  if (PyErr_Occurred() != nullptr) {
    if (Result<MaybeColumn> failed = no_column(); !failed) {
      return failed;
    }
  }
  Object array_method = optional_attribute(object, "__arrow_c_array__");
  Object pair = array_method ? Object::steal(PyObject_CallNoArgs(array_method.get())) : Object();
  if (!pair) {
    return PyErr_Occurred() != nullptr ? no_column() : MaybeColumn();
  }
  if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
    return MaybeColumn();
  }
  auto schema = take_capsule<arrow::ArrowSchema>(PyTuple_GET_ITEM(pair.get(), 0), arrow::kSchemaCapsule);
  auto array = take_capsule<arrow::ArrowArray>(PyTuple_GET_ITEM(pair.get(), 1), arrow::kArrayCapsule);
  if (!schema || !array) {
    return MaybeColumn();
  }
  return arrow::single_array(std::move(*schema), std::move(*array));
}

// The column's memory, its chunks held by the description's owner (read in
// place, they then live as long as the array over them).
Memory memory_of(arrow::Column column) {
  const ColumnFormat format = column.format;
  std::vector<Chunk> chunks;
  chunks.reserve(column.chunks.size());
  for (std::size_t i = 0; i < column.chunks.size(); ++i) {
    const arrow::ArrowArray& array = *column.chunks[i];
    const auto offset = static_cast<std::size_t>(array.offset);
    const auto* values = static_cast<const char*>(array.buffers[1]);
    Chunk chunk{values, static_cast<std::ptrdiff_t>(format.element.size), static_cast<std::size_t>(array.length)};
    if (format.packed_bits) {
      chunk.bit_offset = offset;
    } else if (values != nullptr) {
      chunk.data = values + offset * format.element.size;
    }
    if (column.may_lack_values(i)) {
      chunk.validity = static_cast<const std::uint8_t*>(array.buffers[0]);
      chunk.validity_offset = offset;
    }
    chunks.push_back(chunk);
  }
  auto owned = std::make_unique<arrow::Column>(std::move(column));
  Object owner = Object::steal(PyCapsule_New(owned.get(), kColumnCapsule, release_column));
  if (!owner) {
    binding::panic_after_api_failure();
  }
  static_cast<void>(owned.release());  // the capsule's now
  return Memory{format.element, format.packed_bits, std::move(chunks), Keeper::Foreign, std::move(owner)};
}

// A column of numbers as float64, as to_numpy(False) gives it: a NaN for
// each missing value.
Read float64_values(const NumpyApi& api, arrow::Column column) {
  Result<Placed> placed = place(api, memory_of(std::move(column)), Missing::AsNaN);
  if (!placed) {
    return std::unexpected(std::move(placed.error()));
  }
  return read_values(std::move(*placed->held));  // missing values were written as NaN: always held
}

// The column's values as `container`'s iteration reads them: `missing` for a
// missing value (null: the container's item there).
Read iterated_values(const NumpyApi& api, PyObject* container, arrow::Column column, PyObject* missing) {
  Result<Placed> placed = place(api, memory_of(std::move(column)), Missing::Stop);
  if (!placed) {
    return std::unexpected(std::move(placed.error()));
  }
  if (placed->held) {
    return read_values(std::move(*placed->held));
  }
  const std::size_t at = placed->missing_at;
  Object item = missing != nullptr ? Object::borrow(missing)
                                   : Object::steal(PySequence_GetItem(container, static_cast<Py_ssize_t>(at)));
  if (!item) {
    return declined();
  }
  return refused_at(at, std::move(item), placed->gaps);
}

}  // namespace

Read read_arrow_column(const NumpyApi& api, PyObject* container, PyObject* exporter, PyObject* missing) {
  Result<MaybeColumn> column = exported_column(exporter);
  if (!column || !*column) {
    return column ? Read(std::nullopt) : std::unexpected(std::move(column.error()));
  }
  return iterated_values(api, container, std::move(**column), missing);
}

Read read_polars_series(const NumpyApi& api, PyObject* data) { return read_arrow_column(api, data, data, Py_None); }

Read read_pyarrow(const NumpyApi& api, PyObject* data) {
  Result<MaybeColumn> column = exported_column(data);
  if (!column || !*column) {
    return column ? Read(std::nullopt) : std::unexpected(std::move(column.error()));
  }
  const ColumnFormat format = (*column)->format;
  if (format.packed_bits) {
    return std::nullopt;  // booleans: their to_numpy is of bools, their items do not convert
  }
  // to_numpy(False) gives float64 as it is and integers with a missing value
  // as float64 with NaN there, both of which the array test takes; integers
  // with none it gives as integers, whose items iteration gives as the same
  // numbers. A float32's missing value is the null scalar iteration gives.
  if (format.element.kind != ElementKind::Float32) {
    return float64_values(api, std::move(**column));
  }
  return iterated_values(api, data, std::move(**column), nullptr);
}

}  // namespace zorvane::lib
