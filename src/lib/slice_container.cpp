// PySliceContainer: a Python object that owns a float64 buffer and frees it
// when destroyed; the base object of the arrays made by the sequence form.
#include "lib/slice_container.hpp"

#include <cstddef>
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
// immortal. One thread makes it while any other waits, so that no losing
// type, which an immortal one could not be freed as, is ever made; a thread
// that comes back here while making it (a finaliser run by the collector)
// makes one of its own, counted as before.
binding::Mutex slice_container_making;
thread_local bool making_slice_container = false;
#endif

PyTypeObject* slice_container_type() {
  if (PyTypeObject* made = slice_container_type_cell.get()) {
    return made;
  }
#if defined(Py_GIL_DISABLED)
  if (!making_slice_container) {
    making_slice_container = true;
    struct Done {
      ~Done() {
        making_slice_container = false;
        slice_container_making.unlock();
      }
    };
    slice_container_making.lock();
    const Done done;
    return slice_container_type_cell.get_or_init([] {
      PyTypeObject* type = make_slice_container_type();
      binding::keep_until_exit(reinterpret_cast<PyObject*>(type));  // no other thread has seen it yet
      return type;
    });
  }
#endif
  return slice_container_type_cell.get_or_init(make_slice_container_type);
}

// A new float64 array of `count` values at `data`, with `base` (stolen) as
// its base object, and a read borrow of it. `flags`: NumPy's array flags.
SeriesHolder wrap_values(const NumpyApi& api, double* data, std::size_t count, int flags, Object base) {
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
  const binding::BorrowApi& registry = api.borrows();
  binding::acquire_read_borrow(registry, array.get());  // a fresh array: a conflict is a broken invariant
  return SeriesHolder(std::move(array), registry, std::span<const double>(data, count));
}

}  // namespace

SeriesHolder wrap_foreign_values(const NumpyApi& api, std::span<const double> values, binding::Object owner) {
  // read-only: the memory is another library's
  return wrap_values(api, const_cast<double*>(values.data()), values.size(), 0, std::move(owner));
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
