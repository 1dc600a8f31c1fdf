// Python's own buffers (array.array, memoryview, bytes, bytearray), read
// through the buffer protocol.
#include <algorithm>
#include <cstdint>
#include <memory>

#include "binding/panic.hpp"
#include "binding/threads.hpp"
#include "lib/input/float_buffer.hpp"
#include "lib/input/readers.hpp"
#include "lib/input/slice_container.hpp"

namespace zorvane::lib {
namespace {

using binding::Object;

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

}  // namespace

// The elements through the buffer protocol: in place when they are
// contiguous float64 (the buffer is then held as long as the array over it).
Read read_buffer(const NumpyApi& api, PyObject* data) {
  auto view = std::make_unique<Py_buffer>();
  int exported = 0;
  {
    const binding::CriticalSection section(data);
    exported = PyObject_GetBuffer(data, view.get(), PyBUF_FULL_RO);
  }
  if (exported != 0) {
    return declined();
  }
  struct Release {
    Py_buffer* view;
    ~Release() {
      if (view != nullptr) {
        release_exported(view);
      }
    }
  } release{view.get()};
  const std::optional<ElementFormat> format = buffer_element_format(view->format);
  if (view->ndim != 1 || view->suboffsets != nullptr || !format ||
      static_cast<std::size_t>(view->itemsize) != format->size) {
    return std::nullopt;
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
      return read_values(std::move(*held));
    }
    // another module holds a write borrow on this memory: copied, as
    // iteration reads it, while the capsule still holds the export
    FloatBuffer buffer;
    double* out = buffer.append_uninitialised(count);
    if (out == nullptr) {
      return out_of_memory_while_copying();
    }
    std::copy(values.begin(), values.end(), out);
    return read_values(wrap_buffer(api, buffer));
  }
  FloatBuffer buffer;
  double* out = buffer.append_uninitialised(count);
  if (out == nullptr) {
    return out_of_memory_while_copying();
  }
  read_elements(static_cast<const char*>(view->buf), view->strides[0], count, *format, out);
  return read_values(wrap_buffer(api, buffer));
}

}  // namespace zorvane::lib
