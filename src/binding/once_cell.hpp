// A process-wide cell filled once under the interpreter lock.
#pragma once

#include <utility>

#include "binding/error.hpp"

namespace zorvane::binding {

// Precondition for every member: the interpreter lock is held. The value is
// leaked on purpose (it lives until the process ends, and destroying Python
// objects after the interpreter has gone is not safe), so the cell's own
// destructor does nothing. An initialiser may let other threads run (an
// import does): when it returns, the first value stored wins and the later
// one is dropped.
template <class T>
class OnceCell {
 public:
  constexpr OnceCell() noexcept = default;

  [[nodiscard]] T* get() const noexcept { return value_; }

  template <class Make>
  [[nodiscard]] Result<T*> get_or_try_init(Make&& make) {
    if (value_ != nullptr) {
      return value_;
    }
    Result<T> made = std::forward<Make>(make)();
    if (!made) {
      return std::unexpected(std::move(made.error()));
    }
    if (value_ == nullptr) {
      value_ = new T(std::move(*made));
    }
    return value_;
  }

  // For initialisers that cannot fail, or that fail by throwing.
  template <class Make>
  [[nodiscard]] T& get_or_init(Make&& make) {
    if (value_ == nullptr) {
      T made = std::forward<Make>(make)();
      if (value_ == nullptr) {
        value_ = new T(std::move(made));
      }
    }
    return *value_;
  }

 private:
  T* value_ = nullptr;
};

// A cell of a pointer holds the pointer itself (null while empty): the
// object it points to is what lives until exit, not a copy of the pointer.
template <class T>
class OnceCell<T*> {
 public:
  constexpr OnceCell() noexcept = default;

  [[nodiscard]] T* get() const noexcept { return value_; }

  // `make` returns Result<T*> with a non-null pointer on success.
  template <class Make>
  [[nodiscard]] Result<T*> get_or_try_init(Make&& make) {
    if (value_ != nullptr) {
      return value_;
    }
    Result<T*> made = std::forward<Make>(make)();
    if (!made) {
      return std::unexpected(std::move(made.error()));
    }
    if (value_ == nullptr) {
      value_ = *made;
    }
    return value_;
  }

  // For initialisers that cannot fail, or that fail by throwing.
  template <class Make>
  [[nodiscard]] T* get_or_init(Make&& make) {
    if (value_ == nullptr) {
      T* made = std::forward<Make>(make)();
      if (value_ == nullptr) {
        value_ = made;
      }
    }
    return value_;
  }

 private:
  T* value_ = nullptr;
};

}  // namespace zorvane::binding
