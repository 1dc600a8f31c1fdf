// The entry bracket: the one wrapper around every call from the interpreter.
#pragma once

#include <concepts>
#include <type_traits>

#include "binding/error.hpp"
#include "binding/panic.hpp"

namespace zorvane::binding {

// The module never releases the interpreter lock, so no reference-count
// release is ever queued while the lock is not held and there is nothing to
// apply on entry.

// Runs `body` (returning Result<Object>) for a slot that returns a new
// reference or null: an error value becomes the current exception, any C++
// exception becomes PanicException.
template <class Body>
  requires std::same_as<std::invoke_result_t<Body>, Result<Object>>
PyObject* enter(Body&& body) noexcept {
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
// unraisable PanicException, since there is no caller to raise it to. The
// report names `where` (static text such as "EscancianoLobato.__dealloc__"),
// never the object: the body may already have freed it.
template <class Body>
void enter_void(Body&& body, const char* where) noexcept {
  try {
    body();
  } catch (...) {
    raise_current_exception_as_panic();
    write_unraisable(where);
  }
}

}  // namespace zorvane::binding
