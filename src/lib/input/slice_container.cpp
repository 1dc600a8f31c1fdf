// PySliceContainer: a Python object that owns a float64 buffer and frees it
// when destroyed; the base object of the arrays made by the sequence form.
#include "lib/input/slice_container.hpp"

#include <cstddef>
#include <mutex>
#include <optional>
#include <span>

#include "binding/numpy_abi.hpp"
#include "binding/object.hpp"
#include "binding/once_cell.hpp"
#include "binding/panic.hpp"
#include "binding/threads.hpp"

namespace zorvane::lib {
namespace {

using binding::Object;
namespace numpy = binding::numpy;

struct SliceContainer {
  PyObject_HEAD
  double* data;
  std::size_t length;
  std::size_t capacity;
};

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

PyTypeObject* make_slice_container_type() {
  PyObject* type = PyType_FromSpec(&slice_container_spec);
  if (type == nullptr) {
    PyErr_PrintEx(0);
    binding::panic("failed to create type object for PySliceContainer");
  }
  return reinterpret_cast<PyTypeObject*>(type);  // kept until exit
}

#if defined(Py_GIL_DISABLED)
// Without the interpreter lock, threads copying at once would contend on the
// type's reference count (each instance holds one), so the type is made
// immortal, before any other thread can see it. Making a type may run Python
// code (a collection, finalisers), so it is made with no lock held, by every
// thread that finds the cell empty; the lock is held only to immortalise and
// store the first one, which is plain C. A losing type was never seen by
// anyone else and is freed.
binding::Mutex slice_container_storing;
#endif

// Offers a new type to the cell: the cell's type afterwards. A type the cell
// did not take is released (by the cell when it lost the store, else here).
PyTypeObject* offer_slice_container_type(PyTypeObject* type) {
  bool offered = false;
  PyTypeObject* held = slice_container_type_cell.get_or_init([&] {
    offered = true;
    return type;
  });
  if (!offered) {
    Py_DECREF(type);
  }
  return held;
}

PyTypeObject* slice_container_type() {
  if (PyTypeObject* made = slice_container_type_cell.get()) {
    return made;
  }
  PyTypeObject* type = make_slice_container_type();
#if defined(Py_GIL_DISABLED)
  {
    const std::scoped_lock lock(slice_container_storing);
    if (slice_container_type_cell.get() == nullptr) {
      binding::keep_until_exit(reinterpret_cast<PyObject*>(type));  // nobody else has seen it
      return offer_slice_container_type(type);  // every store is made here: it cannot lose
    }
  }
#endif
  return offer_slice_container_type(type);
}

// A new float64 array of `count` values at `data`, with `base` (stolen) as
// its base object, and a read borrow of it. `flags`: NumPy's array flags.
Object new_array(const NumpyApi& api, double* data, std::size_t count, int flags, Object base) {
  const numpy::npy_intp dims[1] = {static_cast<numpy::npy_intp>(count)};
  const numpy::npy_intp strides[1] = {static_cast<numpy::npy_intp>(sizeof(double))};
  Object descr = Object::steal(api.descr_from_type()(numpy::kNpyDouble));
  if (!descr) {
    binding::panic_after_api_failure();
  }
  Object array = Object::steal(
      api.new_from_descr()(api.array_type(), descr.release() /* steals */, 1, dims, strides, data, flags, nullptr));
  if (!array) {
    binding::panic_after_api_failure();
  }
  if (api.set_base_object()(array.get(), base.release() /* steals, also on failure */) != 0) {
    binding::panic_after_api_failure();
  }
  return array;
}

SeriesHolder wrap_values(const NumpyApi& api, double* data, std::size_t count, int flags, Object base) {
  Object array = new_array(api, data, count, flags, std::move(base));
  const binding::BorrowApi& registry = api.borrows();
  binding::acquire_read_borrow(registry, array.get());  // a fresh array: a conflict is a broken invariant
  return SeriesHolder(std::move(array), registry, std::span<const double>(data, count));
}

}  // namespace

SeriesHolder wrap_foreign_values(const NumpyApi& api, std::span<const double> values, binding::Object owner) {
  // read-only: the memory is another library's
  return wrap_values(api, const_cast<double*>(values.data()), values.size(), 0, std::move(owner));
}

std::optional<SeriesHolder> wrap_exported_values(const NumpyApi& api, std::span<const double> values,
                                                 binding::Object& export_owner, PyObject* exporter) {
  // The array's base is the exporter itself: the registry follows it (and a
  // memoryview to what it views) to the memory's owner, as it would from an
  // array made over that memory.
  Object array = new_array(api, const_cast<double*>(values.data()), values.size(), 0, Object::borrow(exporter));
  const binding::BorrowApi& registry = api.borrows();
  if (!binding::try_acquire_read_borrow(registry, array.get())) {
    return std::nullopt;
  }
  return SeriesHolder(std::move(array), registry, values, std::move(export_owner));
}

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

  return wrap_values(api, slice->data, slice->length, numpy::kWriteable, std::move(container));
}

}  // namespace zorvane::lib
