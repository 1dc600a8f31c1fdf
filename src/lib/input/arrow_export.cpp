// Arrow columns handed over through the Arrow PyCapsule interface: polars'
// Series, pyarrow's arrays and the Arrow-backed values of pandas.
#include <memory>
#include <utility>

#include "binding/panic.hpp"
#include "lib/input/arrow_values.hpp"
#include "lib/input/float_buffer.hpp"
#include "lib/input/readers.hpp"
#include "lib/input/slice_container.hpp"

namespace zorvane::lib {
namespace {

using binding::Object;
using binding::Result;
using arrow::ColumnFormat;

constexpr const char* kChunkCapsule = "zorvane.arrow_chunk";

void release_chunk(PyObject* capsule) noexcept {
  delete static_cast<arrow::Owned<arrow::ArrowArray>*>(PyCapsule_GetPointer(capsule, kChunkCapsule));
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

// A column's values: in place when it is one chunk of float64 with nothing
// missing (the chunk then lives as long as the array over it), else copied.
// With Missing::Stop, the position of the first missing value instead.
struct ColumnValues {
  std::optional<SeriesHolder> held;
  std::size_t missing_at = 0;  // where `held` is empty
};
Result<ColumnValues> column_values(const NumpyApi& api, arrow::Column column, arrow::Missing missing) {
  if (column.chunks.size() == 1) {
    if (auto values = arrow::in_place_values(*column.chunks[0], column.format)) {
      auto chunk = std::make_unique<arrow::Owned<arrow::ArrowArray>>(std::move(column.chunks[0]));
      Object owner = Object::steal(PyCapsule_New(chunk.get(), kChunkCapsule, release_chunk));
      if (!owner) {
        binding::panic_after_api_failure();
      }
      static_cast<void>(chunk.release());  // the capsule's now
      return ColumnValues{wrap_foreign_values(api, *values, std::move(owner))};
    }
  }
  FloatBuffer buffer;
  double* out = buffer.append_uninitialised(column.length());
  if (out == nullptr) {
    return out_of_memory_while_copying();
  }
  if (const std::optional<std::size_t> at = arrow::write_values(column, missing, out)) {
    return ColumnValues{std::nullopt, *at};
  }
  return ColumnValues{wrap_buffer(api, buffer)};
}

// A column of numbers as float64, as to_numpy(False) gives it: a NaN for
// each missing value.
Read float64_values(const NumpyApi& api, arrow::Column column) {
  Result<ColumnValues> values = column_values(api, std::move(column), arrow::Missing::AsNaN);
  if (!values) {
    return std::unexpected(std::move(values.error()));
  }
  return read_values(std::move(*values->held));  // missing values were written as NaN: always held
}

// The column's values as `container`'s iteration reads them: `missing` for a
// missing value (null: the container's item there).
Read iterated_values(const NumpyApi& api, PyObject* container, arrow::Column column, PyObject* missing) {
  Result<ColumnValues> values = column_values(api, std::move(column), arrow::Missing::Stop);
  if (!values) {
    return std::unexpected(std::move(values.error()));
  }
  if (values->held) {
    return read_values(std::move(*values->held));
  }
  const std::size_t at = values->missing_at;
  Object item = missing != nullptr ? Object::borrow(missing)
                                   : Object::steal(PySequence_GetItem(container, static_cast<Py_ssize_t>(at)));
  if (!item) {
    return declined();
  }
  return refused_at(at, std::move(item));
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
