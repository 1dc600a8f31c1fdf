// The entry bracket: the one wrapper around every call from the interpreter.
#pragma once

#include <concepts>
#include <type_traits>

#include "binding/error.hpp"
#include "binding/panic.hpp"

namespace zorvane::binding {

// Counts this thread's nested entries. The module never releases the
// interpreter lock, so no reference-count release is ever queued while the
// lock is not held and there is nothing to apply on entry.
class EntryScope {
 public:
  EntryScope() noexcept { ++depth_; }
  ~EntryScope() { --depth_; }
  EntryScope(const EntryScope&) = delete;
  EntryScope& operator=(const EntryScope&) = delete;
  [[nodiscard]] static int depth() noexcept { return depth_; }

 private:
  static inline thread_local int depth_ = 0;
};

// Runs `body` (returning Result<Object>) for a slot that returns a new
// reference or null: an error value becomes the current exception, any C++
// exception becomes PanicException.
template <class Body>
  requires std::same_as<std::invoke_result_t<Body>, Result<Object>>
PyObject* enter(Body&& body) noexcept {
  EntryScope scope;
  try {
    Result<Object> result = body();
    if (result) {
      return result->release();
    }
    std::move(result.error()).restore();
  } catch (...) {
    raise_current_exception_as_panic();
  }
  return nullptr;
}

// For slots that return nothing (deallocation): a failure is reported as an
// unraisable PanicException, since there is no caller to raise it to.
template <class Body>
void enter_void(Body&& body, PyObject* context) noexcept {
  EntryScope scope;
  try {
    body();
  } catch (...) {
    raise_current_exception_as_panic();
    PyErr_WriteUnraisable(context);
  }
}

}  // namespace zorvane::binding
