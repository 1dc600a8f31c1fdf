// Python's own buffers (array.array, memoryview, bytes, bytearray), read
// through the buffer protocol.
#include <memory>

#include "binding/panic.hpp"
#include "binding/threads.hpp"
#include "lib/input/readers.hpp"

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
// contiguous float64 (the export is then held as long as the array over it).
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
  Chunk chunk{static_cast<const char*>(view->buf), view->strides[0], static_cast<std::size_t>(view->shape[0])};
  Object owner = Object::steal(PyCapsule_New(view.get(), kBufferCapsule, release_buffer));
  if (!owner) {
    binding::panic_after_api_failure();
  }
  release.view = nullptr;
  static_cast<void>(view.release());  // the capsule's now: it holds the export while the values are read
  return values_of(api, Memory{*format, false, {chunk}, Keeper::Export, std::move(owner), data});
}

}  // namespace zorvane::lib
