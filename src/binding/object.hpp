// Owned Python references: one move-only type with explicit steal and borrow.
#pragma once

#include <utility>

#include "binding/python.hpp"

namespace zorvane::binding {

// Holds one strong reference (or none). Made with Object::steal for a new
// reference returned by the C API and Object::borrow for a borrowed one; the
// reference is dropped when the Object goes, or handed over with release().
// Precondition for every operation that touches a reference count: the
// interpreter lock is held.
class Object {
 public:
  Object() noexcept = default;
  [[nodiscard]] static Object steal(PyObject* ptr) noexcept { return Object(ptr); }
  [[nodiscard]] static Object borrow(PyObject* ptr) noexcept {
    Py_XINCREF(ptr);
    return Object(ptr);
  }

  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  Object(Object&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Object& operator=(Object&& other) noexcept {
    if (this != &other) {
      reset();
      ptr_ = std::exchange(other.ptr_, nullptr);
    }
    return *this;
  }
  ~Object() { reset(); }

  [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
  [[nodiscard]] explicit operator bool() const noexcept { return ptr_ != nullptr; }
  // Hands the reference to the caller (for a stealing C-API call or a return
  // to the interpreter).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  // A further strong reference to the same object.
  [[nodiscard]] Object clone() const noexcept { return borrow(ptr_); }
  void reset() noexcept { Py_CLEAR(ptr_); }

 private:
  explicit Object(PyObject* ptr) noexcept : ptr_(ptr) {}
  PyObject* ptr_ = nullptr;
};

}  // namespace zorvane::binding
