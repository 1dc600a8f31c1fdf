// Recognising other libraries' containers and reading their memory: NumPy
// arrays inside pandas and xarray objects, Arrow columns through the Arrow
// PyCapsule interface, and Python's own buffers.
#include "lib/container_values.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "binding/numpy_abi.hpp"
#include "binding/panic.hpp"
#include "binding/threads.hpp"
#include "lib/arrow_values.hpp"
#include "lib/float_buffer.hpp"
#include "lib/slice_container.hpp"

namespace zorvane::lib {
namespace {

using binding::Error;
using binding::Object;
using binding::Result;
namespace numpy = binding::numpy;
using Found = std::optional<ContainerValues>;

// A trial step failed: the container is iterated instead, unless the error
// must propagate (MemoryError, an interrupt).
template <class T>
Result<std::optional<T>> declined() {
  if (std::optional<Error> error = binding::take_trial_error()) {
    return std::unexpected(std::move(*error));
  }
  return std::optional<T>{};
}

Found read_array(Object array, ElementFormat format) { return ContainerValues{{std::move(array), format}, {}, {}}; }
Found refused_at(std::size_t index, Object item) {
  return ContainerValues{{}, {}, ItemRefusal{index, std::move(item)}};
}

// Whether `data` is an instance of exactly the class `name` of the module
// `module`, which must have been imported already.
Result<bool> is_exactly(PyObject* data, const char* module, const char* name) {
  Result<Object> loaded = binding::imported_module(module);
  if (!loaded || !*loaded) {
    return loaded ? Result<bool>(false) : std::unexpected(std::move(loaded.error()));
  }
  Object cls = Object::steal(PyObject_GetAttrString(loaded->get(), name));
  if (!cls) {
    if (std::optional<Error> error = binding::take_trial_error()) {
      return std::unexpected(std::move(*error));
    }
    return false;  // a module in the making: nothing to recognise
  }
  return reinterpret_cast<PyObject*>(Py_TYPE(data)) == cls.get();
}

// Whether `data` is exactly an instance of one of the classes `names` of `module`.
template <std::size_t N>
Result<bool> is_one_of(PyObject* data, const char* module, const std::array<const char*, N>& names) {
  for (const char* name : names) {
    Result<bool> exact = is_exactly(data, module, name);
    if (!exact || *exact) {
      return exact;
    }
  }
  return false;
}

// --- Arrow columns ------------------------------------------------------------

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

// The column an object exports through __arrow_c_stream__ (or, for a single
// array, __arrow_c_array__); nullopt when it exports none of the numbers
// read here.
Result<std::optional<arrow::Column>> exported_column(PyObject* object) {
  using Column = std::optional<arrow::Column>;
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
    if (Result<Column> failed = declined<arrow::Column>(); !failed) {
      return failed;
    }
  }
  Object array_method = optional_attribute(object, "__arrow_c_array__");
  Object pair = array_method ? Object::steal(PyObject_CallNoArgs(array_method.get())) : Object();
  if (!pair) {
    return PyErr_Occurred() != nullptr ? declined<arrow::Column>() : Column();
  }
  if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
    return Column();
  }
  auto schema = take_capsule<arrow::ArrowSchema>(PyTuple_GET_ITEM(pair.get(), 0), arrow::kSchemaCapsule);
  auto array = take_capsule<arrow::ArrowArray>(PyTuple_GET_ITEM(pair.get(), 1), arrow::kArrayCapsule);
  if (!schema || !array) {
    return Column();
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

// Iteration gives, for each value of the column, a Python bool, int or float
// (an Arrow scalar for pyarrow, which converts the same), and `missing` for
// a missing one; `missing` null: ask the container for its item there.
Result<Found> read_column(const NumpyApi& api, PyObject* container, PyObject* exporter, bool numbers_only,
                          PyObject* missing) {
  Result<std::optional<arrow::Column>> column = exported_column(exporter);
  if (!column || !*column) {
    return column ? Result<Found>(Found()) : std::unexpected(std::move(column.error()));
  }
  const ElementFormat format = (*column)->format.element;
  if (numbers_only && ((*column)->format.packed_bits || format.kind == ElementKind::Float64)) {
    return Found();  // pyarrow: booleans do not convert, float64 went through to_numpy
  }
  Result<ColumnValues> values = column_values(api, std::move(**column), arrow::Missing::Stop);
  if (!values) {
    return std::unexpected(std::move(values.error()));
  }
  if (values->held) {
    return ContainerValues{{}, std::move(values->held), {}};
  }
  const std::size_t at = values->missing_at;
  Object item = missing != nullptr ? Object::borrow(missing)
                                   : Object::steal(PySequence_GetItem(container, static_cast<Py_ssize_t>(at)));
  if (!item) {
    return declined<ContainerValues>();
  }
  return refused_at(at, std::move(item));
}

// --- pandas -------------------------------------------------------------------

// pandas' missing-value marker for the Series' dtype (dtype.na_value), which
// its iteration gives for each missing value.
Object missing_marker(PyObject* values) {
  Object dtype = Object::steal(PyObject_GetAttrString(values, "dtype"));
  return dtype ? Object::steal(PyObject_GetAttrString(dtype.get(), "na_value")) : Object();
}

// The first true element of a 1-D bool array, else its length.
std::size_t first_set(PyObject* mask) {
  const numpy::ArrayFields* fields = numpy::fields(mask);
  const auto count = static_cast<std::size_t>(fields->dimensions[0]);
  const numpy::npy_intp stride = fields->strides[0];
  const char* p = fields->data;
  std::size_t i = 0;
  if (stride == 1) {
    for (; i + 8 <= count; i += 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, p + i, sizeof word);
      if (word != 0) {
        break;
      }
    }
  }
  for (; i < count; ++i) {
    if (p[static_cast<numpy::npy_intp>(i) * stride] != 0) {
      return i;
    }
  }
  return count;
}

// A masked array (nullable Float, Int, boolean) iterates as its `_data`
// array's scalars, with dtype.na_value where `_mask` is set.
Result<Found> read_masked(const NumpyApi& api, PyObject* values) {
  Object data = Object::steal(PyObject_GetAttrString(values, "_data"));
  Object mask = data ? Object::steal(PyObject_GetAttrString(values, "_mask")) : Object();
  if (!mask) {
    return declined<ContainerValues>();
  }
  const std::optional<ElementFormat> format = plain_array_format(api, data.get());
  const std::optional<ElementFormat> mask_format = plain_array_format(api, mask.get());
  if (!format || !mask_format || mask_format->kind != ElementKind::Bool ||
      numpy::fields(mask.get())->dimensions[0] != numpy::fields(data.get())->dimensions[0]) {
    return Found();
  }
  const std::size_t at = first_set(mask.get());
  if (at == static_cast<std::size_t>(numpy::fields(mask.get())->dimensions[0])) {
    return read_array(std::move(data), *format);
  }
  Object marker = missing_marker(values);
  if (!marker) {
    return declined<ContainerValues>();
  }
  return refused_at(at, std::move(marker));
}

// pandas' masked arrays, by module and class.
constexpr std::array<std::pair<const char*, const char*>, 3> kMaskedArrays = {{
    {"pandas.core.arrays.floating", "FloatingArray"},
    {"pandas.core.arrays.integer", "IntegerArray"},
    {"pandas.core.arrays.boolean", "BooleanArray"},
}};

// The values behind a plain Series: a NumPy array, a masked array, or an
// Arrow-backed array (whose iteration gives each value's as_py()).
Result<Found> read_series_values(const NumpyApi& api, Object values) {
  if (const std::optional<ElementFormat> format = plain_array_format(api, values.get())) {
    return read_array(std::move(values), *format);
  }
  for (const auto& [module, name] : kMaskedArrays) {
    Result<bool> masked = is_exactly(values.get(), module, name);
    if (!masked || *masked) {
      return masked ? read_masked(api, values.get()) : std::unexpected(std::move(masked.error()));
    }
  }
  Result<bool> arrow = is_exactly(values.get(), "pandas.core.arrays.arrow.array", "ArrowExtensionArray");
  if (!arrow || !*arrow) {
    return arrow ? Result<Found>(Found()) : std::unexpected(std::move(arrow.error()));
  }
  Object chunked = Object::steal(PyObject_GetAttrString(values.get(), "_pa_array"));
  Object marker = chunked ? missing_marker(values.get()) : Object();
  if (!marker) {
    return declined<ContainerValues>();
  }
  return read_column(api, values.get(), chunked.get(), false, marker.get());
}

// --- xarray -------------------------------------------------------------------

// A DataArray iterates as da[i] for each i, each converting as float() of
// its 0-d values: for a 1-D DataArray over a NumPy array in memory, the
// array's elements.
Result<Found> read_data_array(const NumpyApi& api, PyObject* data) {
  Object variable = Object::steal(PyObject_GetAttrString(data, "_variable"));
  Object array = variable ? Object::steal(PyObject_GetAttrString(variable.get(), "_data")) : Object();
  if (!array) {
    return declined<ContainerValues>();
  }
  const std::optional<ElementFormat> format = plain_array_format(api, array.get());
  return format ? read_array(std::move(array), *format) : Found();
}

// --- Python buffers -------------------------------------------------------------

constexpr const char* kBufferCapsule = "zorvane.buffer";

// Exports of one object are counted by the object itself, without a lock of
// its own before CPython 3.14 (array.array's, for one): so each export and
// its release hold the object's lock, that threads exporting one buffer at
// once do not lose a count (a lost count would let the array be resized,
// and its memory freed, while it is read here).
void release_exported(Py_buffer* view) noexcept {
  const binding::Object exporter = binding::Object::borrow(view->obj);  // the release drops the view's reference
  const binding::CriticalSection section(exporter.get());
  PyBuffer_Release(view);
}

void release_buffer(PyObject* capsule) noexcept {
  auto* view = static_cast<Py_buffer*>(PyCapsule_GetPointer(capsule, kBufferCapsule));
  release_exported(view);
  delete view;
}

// The items a memoryview gives for a native struct format of one number
// (with or without '@'): Python ints and floats of the element's value.
std::optional<ElementFormat> buffer_format(const char* code) {
  std::string_view format = code == nullptr ? "B" : code;
  if (format.size() == 2 && format[0] == '@') {
    format.remove_prefix(1);
  }
  if (format.size() != 1) {
    return std::nullopt;
  }
  switch (format[0]) {
    case 'b': return ElementFormat{ElementKind::Signed, sizeof(signed char), false};
    case 'B': return ElementFormat{ElementKind::Unsigned, sizeof(unsigned char), false};
    case 'h': return ElementFormat{ElementKind::Signed, sizeof(short), false};
    case 'H': return ElementFormat{ElementKind::Unsigned, sizeof(unsigned short), false};
    case 'i': return ElementFormat{ElementKind::Signed, sizeof(int), false};
    case 'I': return ElementFormat{ElementKind::Unsigned, sizeof(unsigned int), false};
    case 'l': return ElementFormat{ElementKind::Signed, sizeof(long), false};
    case 'L': return ElementFormat{ElementKind::Unsigned, sizeof(unsigned long), false};
    case 'q': return ElementFormat{ElementKind::Signed, sizeof(long long), false};
    case 'Q': return ElementFormat{ElementKind::Unsigned, sizeof(unsigned long long), false};
    case 'n': return ElementFormat{ElementKind::Signed, sizeof(Py_ssize_t), false};
    case 'N': return ElementFormat{ElementKind::Unsigned, sizeof(std::size_t), false};
    case 'f': return ElementFormat{ElementKind::Float32, sizeof(float), false};
    case 'd': return ElementFormat{ElementKind::Float64, sizeof(double), false};
    default: return std::nullopt;
  }
}

// array.array, memoryview, bytes and bytearray iterate as the Python ints
// and floats of their elements: read them through the buffer protocol, in
// place when they are contiguous float64 (the buffer is then held as long
// as the array over it).
Result<Found> read_buffer(const NumpyApi& api, PyObject* data) {
  auto view = std::make_unique<Py_buffer>();
  int exported = 0;
  {
    const binding::CriticalSection section(data);
    exported = PyObject_GetBuffer(data, view.get(), PyBUF_FULL_RO);
  }
  if (exported != 0) {
    return declined<ContainerValues>();
  }
  struct Release {
    Py_buffer* view;
    ~Release() {
      if (view != nullptr) {
        release_exported(view);
      }
    }
  } release{view.get()};
  const std::optional<ElementFormat> format = buffer_format(view->format);
  if (view->ndim != 1 || view->suboffsets != nullptr || !format ||
      static_cast<std::size_t>(view->itemsize) != format->size) {
    return Found();
  }
  const auto count = static_cast<std::size_t>(view->shape[0]);
  const bool in_place = format->kind == ElementKind::Float64 && view->strides[0] == sizeof(double) && count > 0 &&
                        reinterpret_cast<std::uintptr_t>(view->buf) % alignof(double) == 0;
  if (in_place) {
    const std::span<const double> values(static_cast<const double*>(view->buf), count);
    Object owner = Object::steal(PyCapsule_New(view.get(), kBufferCapsule, release_buffer));
    if (!owner) {
      binding::panic_after_api_failure();
    }
    release.view = nullptr;
    static_cast<void>(view.release());  // the capsule's now
    if (std::optional<SeriesHolder> held = wrap_exported_values(api, values, owner, data)) {
      return ContainerValues{{}, std::move(held), {}};
    }
    // another module holds a write borrow on this memory: copied, as
    // iteration reads it, while the capsule still holds the export
    FloatBuffer buffer;
    double* out = buffer.append_uninitialised(count);
    if (out == nullptr) {
      return out_of_memory_while_copying();
    }
    std::copy(values.begin(), values.end(), out);
    return ContainerValues{{}, wrap_buffer(api, buffer), {}};
  }
  FloatBuffer buffer;
  double* out = buffer.append_uninitialised(count);
  if (out == nullptr) {
    return out_of_memory_while_copying();
  }
  read_elements(static_cast<const char*>(view->buf), view->strides[0], count, *format, out);
  return ContainerValues{{}, wrap_buffer(api, buffer), {}};
}

Result<bool> is_buffer_container(PyObject* data) {
  PyTypeObject* type = Py_TYPE(data);
  if (type == &PyMemoryView_Type || type == &PyBytes_Type || type == &PyByteArray_Type) {
    return true;
  }
  return is_exactly(data, "array", "array");
}

// pyarrow's arrays of numbers other than float64 (which to_numpy reads), and
// its chunked arrays of any type.
constexpr std::array<const char*, 10> kPyarrowNumberArrays = {
    "ChunkedArray", "Int8Array",   "Int16Array",  "Int32Array",  "Int64Array",
    "UInt8Array",   "UInt16Array", "UInt32Array", "UInt64Array", "FloatArray"};

// pyarrow's classes are static types named "pyarrow.lib.<class>": a cheap
// first test before the lookups (a Python class's name is only its own).
bool may_be_pyarrow(PyObject* data) noexcept {
  PyTypeObject* type = Py_TYPE(data);
  return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && std::string_view(type->tp_name).starts_with("pyarrow.lib.");
}

}  // namespace

Result<std::optional<ContainerValues>> container_values(const NumpyApi& api, PyObject* data) {
  if (PyList_CheckExact(data) || PyTuple_CheckExact(data) || Py_TYPE(data) == api.array_type()) {
    return Found();  // read by the sequence form's own ways
  }
  Result<Object> backing = plain_series_backing(data);
  if (!backing) {
    return std::unexpected(std::move(backing.error()));
  }
  if (*backing) {
    return read_series_values(api, std::move(*backing));
  }
  if (Result<bool> buffer = is_buffer_container(data); !buffer || *buffer) {
    return buffer ? read_buffer(api, data) : std::unexpected(std::move(buffer.error()));
  }
  if (Result<bool> polars = is_exactly(data, "polars.series.series", "Series"); !polars || *polars) {
    return polars ? read_column(api, data, data, false, Py_None) : std::unexpected(std::move(polars.error()));
  }
  if (Result<bool> xarray = is_exactly(data, "xarray.core.dataarray", "DataArray"); !xarray || *xarray) {
    return xarray ? read_data_array(api, data) : std::unexpected(std::move(xarray.error()));
  }
  if (!may_be_pyarrow(data)) {
    return Found();
  }
  Result<bool> pyarrow = is_one_of(data, "pyarrow.lib", kPyarrowNumberArrays);
  if (!pyarrow || !*pyarrow) {
    return pyarrow ? Result<Found>(Found()) : std::unexpected(std::move(pyarrow.error()));
  }
  return read_column(api, data, data, true, nullptr);
}

Result<std::optional<SeriesHolder>> arrow_float64_values(const NumpyApi& api, PyObject* data) {
  using Held = std::optional<SeriesHolder>;
  if (!may_be_pyarrow(data)) {
    return Held();
  }
  Result<bool> exact = is_one_of(data, "pyarrow.lib", std::array<const char*, 2>{"DoubleArray", "ChunkedArray"});
  if (!exact || !*exact) {
    return exact ? Result<Held>(Held()) : std::unexpected(std::move(exact.error()));
  }
  Result<std::optional<arrow::Column>> column = exported_column(data);
  if (!column || !*column) {
    return column ? Result<Held>(Held()) : std::unexpected(std::move(column.error()));
  }
  if ((*column)->format.packed_bits || (*column)->format.element.kind != ElementKind::Float64) {
    return Held();
  }
  Result<ColumnValues> values = column_values(api, std::move(**column), arrow::Missing::AsNaN);
  if (!values) {
    return std::unexpected(std::move(values.error()));
  }
  return std::move(values->held);  // missing values were written as NaN: always held
}

}  // namespace zorvane::lib
