// Input conversion: the array test, the to_numpy form, the sequence form and
// the PySliceContainer type that owns a copied sequence's buffer.
#include "lib/input_conversion.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "binding/numpy_abi.hpp"
#include "binding/once_cell.hpp"
#include "binding/panic.hpp"
#include "lib/array_elements.hpp"
#include "lib/numpy_api.hpp"

namespace zorvane::lib {
namespace {

using binding::Error;
using binding::Object;
using binding::Result;
namespace numpy = binding::numpy;

constexpr const char* kUnacceptedData = "expected a 1-D numpy.ndarray, pandas.Series, or sequence of float64";

// --- the vector owner type --------------------------------------------------

// Owns a float64 buffer and frees it when destroyed; the base object of the
// arrays made by the sequence form.
struct SliceContainer {
  PyObject_HEAD
  double* data;
  std::size_t length;
  std::size_t capacity;
};

void free_buffer(double* data, std::size_t capacity) noexcept {
  if (capacity != 0) {
    std::free(data);
  }
}

void slice_container_dealloc(PyObject* self) noexcept {
  auto* container = reinterpret_cast<SliceContainer*>(self);
  free_buffer(container->data, container->capacity);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types hold a reference to their type
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "builtins.PySliceContainer", sizeof(SliceContainer), 0, Py_TPFLAGS_DEFAULT, slice_container_slots,
};

binding::OnceCell<PyTypeObject*> slice_container_type_cell;

PyTypeObject* slice_container_type() {
  return slice_container_type_cell.get_or_init([] {
    PyObject* type = PyType_FromSpec(&slice_container_spec);
    if (type == nullptr) {
      PyErr_PrintEx(0);
      binding::panic("failed to create type object for PySliceContainer");
    }
    return reinterpret_cast<PyTypeObject*>(type);  // kept until exit
  });
}

// --- a growable float64 buffer ----------------------------------------------

// Pointer for an empty buffer: non-null, aligned, addresses no storage.
double* empty_buffer() noexcept { return reinterpret_cast<double*>(alignof(double)); }

class FloatBuffer {
 public:
  FloatBuffer() noexcept = default;
  FloatBuffer(const FloatBuffer&) = delete;
  FloatBuffer& operator=(const FloatBuffer&) = delete;
  ~FloatBuffer() { free_buffer(data_, capacity_); }

  // Room for `wanted` values, or for fewer when that much cannot be had.
  void reserve_hint(std::size_t wanted) noexcept {
    constexpr std::size_t kFallback = 4096;
    if (wanted > std::numeric_limits<std::size_t>::max() / sizeof(double) || !grow_to(wanted)) {
      static_cast<void>(grow_to(std::min(wanted, kFallback)));
    }
  }
  // Room for `count` more values, counted as written; null when memory is
  // exhausted. The caller fills all of them.
  [[nodiscard]] double* append_uninitialised(std::size_t count) noexcept {
    if (count > capacity_ - length_ && !grow_to(length_ + count)) {
      return nullptr;
    }
    double* first = data_ + length_;
    length_ += count;
    return first;
  }
  // False when memory is exhausted.
  [[nodiscard]] bool push(double value) noexcept {
    if (length_ == capacity_ && !grow_to(capacity_ < 8 ? 8 : capacity_ * 2)) {
      return false;
    }
    data_[length_++] = value;
    return true;
  }
  [[nodiscard]] double* data() const noexcept { return data_; }
  [[nodiscard]] std::size_t size() const noexcept { return length_; }
  [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
  // Hands the buffer over; this object is left empty.
  void release() noexcept {
    data_ = empty_buffer();
    length_ = capacity_ = 0;
  }

 private:
  bool grow_to(std::size_t capacity) noexcept {
    if (capacity <= capacity_) {
      return true;
    }
    if (capacity > std::numeric_limits<std::size_t>::max() / sizeof(double)) {
      return false;
    }
    void* grown = std::realloc(capacity_ == 0 ? nullptr : data_, capacity * sizeof(double));
    if (grown == nullptr) {
      return false;
    }
    data_ = static_cast<double*>(grown);
    capacity_ = capacity;
    return true;
  }

  double* data_ = empty_buffer();
  std::size_t length_ = 0;
  std::size_t capacity_ = 0;
};

// --- the forms --------------------------------------------------------------

bool is_array(const NumpyApi& api, PyObject* candidate) {
  return Py_TYPE(candidate) == api.array_type() || PyType_IsSubtype(Py_TYPE(candidate), api.array_type());
}

bool is_float64(const NumpyApi& api, PyObject* descr) {
  Object float64 = Object::steal(api.descr_from_type()(numpy::kNpyDouble));
  if (!float64) {
    binding::panic_after_api_failure();
  }
  return descr == float64.get() || api.equiv_types()(descr, float64.get()) != 0;
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

std::optional<SeriesHolder> try_to_numpy(const NumpyApi& api, PyObject* data) {
  Object method = Object::steal(PyObject_GetAttrString(data, "to_numpy"));
  if (!method) {
    PyErr_Clear();  // trial conversion: its error is discarded
    return std::nullopt;
  }
  Object result = Object::steal(PyObject_CallFunctionObjArgs(method.get(), Py_False, nullptr));
  if (!result) {
    PyErr_Clear();  // trial conversion: its error is discarded
    return std::nullopt;
  }
  return try_array(api, result.get(), OnConflict::Panic);
}

// One item as float64; nullopt (with the error discarded) when it does not convert.
std::optional<double> item_value(PyObject* item) {
  if (PyFloat_CheckExact(item)) {
    return PyFloat_AS_DOUBLE(item);
  }
  const double value = PyFloat_AsDouble(item);
  if (value == -1.0 && PyErr_Occurred() != nullptr) {
    PyErr_Clear();  // trial conversion: its error is discarded
    return std::nullopt;
  }
  return value;
}

std::unexpected<Error> out_of_memory() {
  return std::unexpected(Error::lazy(PyExc_MemoryError, "out of memory while copying the data"));
}

// The general way: PyIter_Next until exhausted. False when an item does not
// convert or the iteration raises (the error is discarded).
Result<bool> copy_iterated(PyObject* data, FloatBuffer& buffer) {
  Object iterator = Object::steal(PyObject_GetIter(data));
  if (!iterator) {
    PyErr_Clear();  // trial conversion: its error is discarded
    return false;
  }
  while (Object item = Object::steal(PyIter_Next(iterator.get()))) {
    const std::optional<double> value = item_value(item.get());
    if (!value) {
      return false;
    }
    if (!buffer.push(*value)) {
      return out_of_memory();
    }
  }
  if (PyErr_Occurred() != nullptr) {
    PyErr_Clear();  // iteration raised: the form fails, its error is discarded
    return false;
  }
  return true;
}

// Exact lists and tuples, read by index as their iterators do (the length is
// read again at every step, since converting an item may run Python code
// that changes the list), without an iterator or a reference per float.
Result<bool> copy_list_or_tuple(PyObject* data, FloatBuffer& buffer) {
  const bool is_list = PyList_CheckExact(data);
  for (Py_ssize_t i = 0; i < (is_list ? PyList_GET_SIZE(data) : PyTuple_GET_SIZE(data)); ++i) {
    PyObject* item = is_list ? PyList_GET_ITEM(data, i) : PyTuple_GET_ITEM(data, i);
    double value = 0.0;
    if (PyFloat_CheckExact(item)) {
      value = PyFloat_AS_DOUBLE(item);
    } else {
      Object held = Object::borrow(item);  // the conversion may drop the list's reference
      const std::optional<double> converted = item_value(held.get());
      if (!converted) {
        return false;
      }
      value = *converted;
    }
    if (!buffer.push(value)) {
      return out_of_memory();
    }
  }
  return true;
}

// Iterating an exact 1-D NumPy array (no subclass, which could iterate
// differently) of a plain dtype gives scalars whose float() is the element's
// value: such arrays are copied straight from memory instead.
std::optional<ElementFormat> plain_array_format(const NumpyApi& api, PyObject* data) {
  if (Py_TYPE(data) != api.array_type()) {
    return std::nullopt;
  }
  const numpy::ArrayFields* fields = numpy::fields(data);
  if (fields->nd != 1 || fields->data == nullptr) {
    return std::nullopt;
  }
  return plain_element_format(fields->descr);
}

Result<bool> copy_elements(PyObject* array, ElementFormat format, FloatBuffer& buffer) {
  const numpy::ArrayFields* fields = numpy::fields(array);
  const auto count = static_cast<std::size_t>(fields->dimensions[0]);
  double* out = buffer.append_uninitialised(count);
  if (out == nullptr) {
    return out_of_memory();
  }
  read_elements(fields->data, fields->strides[0], count, format, out);
  return true;
}

// --- pandas Series ----------------------------------------------------------

// pandas.Series, if pandas has been imported (it is never imported here).
Object loaded_series_class() {
  PyObject* module = PyDict_GetItemString(PyImport_GetModuleDict(), "pandas.core.series");  // borrowed
  if (module == nullptr) {
    return {};
  }
  Object series = Object::steal(PyObject_GetAttrString(module, "Series"));
  if (!series || !PyType_Check(series.get())) {
    PyErr_Clear();  // a module in the making, or not pandas': no Series to recognise
    return {};
  }
  return series;
}

// The names through which a Series is iterated, measured or converted, and
// `_values`, which its iteration reads.
constexpr std::array<const char*, 5> kSeriesAccess = {"__iter__", "__len__", "__getitem__", "to_numpy", "_values"};

// The exact Series class, or a subclass of it of which no class before
// Series in the method resolution order defines any of kSeriesAccess.
bool is_plain_series(PyObject* data) {
  PyTypeObject* type = Py_TYPE(data);
  const Object series = loaded_series_class();
  if (!series) {
    return false;
  }
  auto* series_type = reinterpret_cast<PyTypeObject*>(series.get());
  if (type == series_type) {
    return true;
  }
  if (!PyType_IsSubtype(type, series_type) || type->tp_mro == nullptr) {
    return false;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(type->tp_mro); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(type->tp_mro, i));
    if (base == series_type) {
      return true;
    }
    if (base->tp_dict == nullptr) {
      return false;  // a static built-in type (3.12+ keeps its dict elsewhere): iterate
    }
    for (const char* name : kSeriesAccess) {
      if (PyDict_GetItemString(base->tp_dict, name) != nullptr) {  // borrowed
        return false;
      }
    }
  }
  return false;
}

// A Series iterates as map(values.item, range(values.size)) when its
// `_values` is a NumPy array: each item is the Python int, float or bool of
// an element. So for a plain Series whose `_values` is an exact 1-D array of
// a plain dtype, reading that array gives what iteration would.
struct SeriesValues {
  Object array;  // null: the Series (or whatever `data` is) must be iterated
  ElementFormat format;
};

SeriesValues plain_series_values(const NumpyApi& api, PyObject* data) {
  if (PyList_CheckExact(data) || PyTuple_CheckExact(data) || !is_plain_series(data)) {
    return {};
  }
  Object values = Object::steal(PyObject_GetAttrString(data, "_values"));
  if (!values) {
    PyErr_Clear();  // trial conversion: iteration decides
    return {};
  }
  const std::optional<ElementFormat> format = plain_array_format(api, values.get());
  if (!format) {
    return {};
  }
  return {std::move(values), *format};
}

// --- the sequence form ------------------------------------------------------

// Wraps the buffer's values in a new float64 array whose base, a
// PySliceContainer, takes the buffer over; a read borrow of it is the holder.
SeriesHolder wrap_buffer(const NumpyApi& api, FloatBuffer& buffer) {
  // The container takes the buffer over and becomes the new array's base.
  auto* container_type = slice_container_type();
  Object container = Object::steal(PyType_GenericAlloc(container_type, 0));
  if (!container) {
    PyErr_Clear();  // the MemoryError is replaced by the panic that names what could not be made
    binding::panic("Failed to create slice container: out of memory");
  }
  auto* slice = reinterpret_cast<SliceContainer*>(container.get());
  slice->data = buffer.data();
  slice->length = buffer.size();
  slice->capacity = buffer.capacity();
  buffer.release();

  const numpy::npy_intp dims[1] = {static_cast<numpy::npy_intp>(slice->length)};
  const numpy::npy_intp strides[1] = {static_cast<numpy::npy_intp>(sizeof(double))};
  Object descr = Object::steal(api.descr_from_type()(numpy::kNpyDouble));
  if (!descr) {
    binding::panic_after_api_failure();
  }
  Object array = Object::steal(api.new_from_descr()(api.array_type(), descr.release() /* steals */, 1, dims, strides,
                                                    slice->data, numpy::kWriteable, nullptr));
  if (!array) {
    binding::panic_after_api_failure();
  }
  const std::span<const double> view(slice->data, slice->length);
  if (api.set_base_object()(array.get(), container.release() /* steals, also on failure */) != 0) {
    binding::panic_after_api_failure();
  }
  const binding::BorrowApi& registry = api.borrows();
  binding::acquire_read_borrow(registry, array.get());  // a fresh array: a conflict is a broken invariant
  return SeriesHolder(std::move(array), registry, view);
}


// Copies the items into a buffer; nullopt when the form does not fit, an
// error when memory runs out.
Result<std::optional<SeriesHolder>> try_sequence(const NumpyApi& api, PyObject* data) {
  if (PyUnicode_Check(data) || !PySequence_Check(data)) {
    return std::nullopt;
  }
  FloatBuffer buffer;
  // In place when the values pass the array test; copied from memory when
  // they do not, or when another module holds a write borrow on them
  // (iteration never asked the registry, so neither may this).
  if (const SeriesValues series = plain_series_values(api, data); series.array) {
    if (std::optional<SeriesHolder> in_place = try_array(api, series.array.get(), OnConflict::Decline)) {
      return in_place;
    }
    if (Result<bool> copied = copy_elements(series.array.get(), series.format, buffer); !copied) {
      return std::unexpected(std::move(copied.error()));
    }
    return wrap_buffer(api, buffer);
  }

  Py_ssize_t hint = PySequence_Size(data);
  if (hint < 0) {
    PyErr_Clear();  // the hint only sizes the first allocation
    hint = 0;
  }
  buffer.reserve_hint(static_cast<std::size_t>(hint));
  Result<bool> copied = false;
  if (PyList_CheckExact(data) || PyTuple_CheckExact(data)) {
    copied = copy_list_or_tuple(data, buffer);
  } else if (const std::optional<ElementFormat> format = plain_array_format(api, data)) {
    copied = copy_elements(data, *format, buffer);
  } else {
    copied = copy_iterated(data, buffer);
  }
  if (!copied) {
    return std::unexpected(std::move(copied.error()));
  }
  if (!*copied) {
    return std::nullopt;
  }
  return wrap_buffer(api, buffer);
}

}  // namespace

void SeriesHolder::release() noexcept {
  if (array_) {
    binding::release_read_borrow(*registry_, array_.get());
    array_.reset();
  }
}

Result<SeriesHolder> to_series_view(PyObject* data) {
  const NumpyApi& api = numpy_api();
  if (auto held = try_array(api, data, OnConflict::Panic)) {
    return std::move(*held);
  }
  if (auto held = try_to_numpy(api, data)) {
    return std::move(*held);
  }
  Result<std::optional<SeriesHolder>> copied = try_sequence(api, data);
  if (!copied) {
    return std::unexpected(std::move(copied.error()));
  }
  if (*copied) {
    return std::move(**copied);
  }
  return binding::type_error(kUnacceptedData);
}

}  // namespace zorvane::lib
