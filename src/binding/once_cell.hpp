// A process-wide cell filled once under the interpreter lock.
#pragma once

#include <type_traits>
#include <utility>

#include "binding/error.hpp"

namespace zorvane::binding {

// Precondition for every member: the interpreter lock is held. The value is
// leaked on purpose (it lives until the process ends, and destroying Python
// objects after the interpreter has gone is not safe), so the cell's own
// destructor does nothing. An initialiser may let other threads run (an
// import does): when it returns, the first value stored wins and the later
// one is dropped.
//
// A cell of a pointer holds the pointer itself (null while empty) and hands
// it out; a cell of any other type holds a leaked heap copy of the value and
// hands out its address or a reference to it.
template <class T>
class OnceCell {
  static constexpr bool kPointer = std::is_pointer_v<T>;

 public:
  using Handle = std::conditional_t<kPointer, T, T*>;

  constexpr OnceCell() noexcept = default;

  // Null while empty.
  [[nodiscard]] Handle get() const noexcept { return value_; }

  // `make` returns Result<T> (for a pointer, a non-null one on success).
  template <class Make>
  [[nodiscard]] Result<Handle> get_or_try_init(Make&& make) {
    if (value_ == nullptr) {
      Result<T> made = std::forward<Make>(make)();
      if (!made) {
        return std::unexpected(std::move(made.error()));
      }
      store(std::move(*made));
    }
    return value_;
  }

  // For initialisers that cannot fail, or that fail by throwing. Returns the
  // pointer for a cell of a pointer, else a reference to the value.
  template <class Make>
  [[nodiscard]] decltype(auto) get_or_init(Make&& make) {
    if (value_ == nullptr) {
      store(std::forward<Make>(make)());
    }
    if constexpr (kPointer) {
      return value_;
    } else {
      return *value_;
    }
  }

 private:
  void store(T made) {
    if (value_ != nullptr) {
      return;  // another thread filled the cell while `make` ran
    }
    if constexpr (kPointer) {
      value_ = made;
    } else {
      value_ = new T(std::move(made));
    }
  }

  Handle value_ = nullptr;
};

}  // namespace zorvane::binding
