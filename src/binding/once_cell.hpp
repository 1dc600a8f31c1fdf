// A process-wide cell filled once; the first value stored wins.
#pragma once

#include <atomic>
#include <memory>
#include <type_traits>
#include <utility>

#include "binding/error.hpp"

namespace zorvane::binding {

// Precondition for every member: the calling thread is attached to the
// interpreter (it holds the interpreter lock where there is one). The value
// is leaked on purpose (it lives until the process ends, and destroying
// Python objects after the interpreter has gone is not safe), so the cell's
// own destructor does nothing. Initialisers run with no lock held: they may
// import or run other Python code, and on a free-threaded interpreter several
// threads may run one at once. The first value stored (by a compare-exchange)
// wins; a later one is dropped in the thread that made it, and every thread
// gets the winner.
//
// A cell of a pointer holds a strong reference to a Python object (null
// while empty) and hands out the pointer; a losing reference is dropped. A
// cell of any other type holds a leaked heap copy of the value and hands out
// its address or a reference to it; a losing copy is destroyed.
template <class T>
class OnceCell {
  static constexpr bool kPointer = std::is_pointer_v<T>;
  static_assert(!kPointer || std::is_same_v<T, PyObject*> || std::is_same_v<T, PyTypeObject*>,
                "a cell of a pointer owns a reference to a Python object; hold anything else by value");

 public:
  using Handle = std::conditional_t<kPointer, T, T*>;

  constexpr OnceCell() noexcept = default;

  // Null while empty.
  [[nodiscard]] Handle get() const noexcept { return value_.load(std::memory_order_acquire); }

  // `make` returns Result<T> (for a pointer, a non-null one on success).
  template <class Make>
  [[nodiscard]] Result<Handle> get_or_try_init(Make&& make) {
    if (Handle held = get(); held != nullptr) {
      return held;
    }
    Result<T> made = std::forward<Make>(make)();
    if (!made) {
      return std::unexpected(std::move(made.error()));
    }
    return store(std::move(*made));
  }

  // For initialisers that cannot fail, or that fail by throwing. Returns the
  // pointer for a cell of a pointer, else a reference to the value.
  template <class Make>
  [[nodiscard]] decltype(auto) get_or_init(Make&& make) {
    Handle held = get();
    if (held == nullptr) {
      held = store(std::forward<Make>(make)());
    }
    if constexpr (kPointer) {
      return held;
    } else {
      return *held;
    }
  }

 private:
  // Returns the value the cell holds afterwards: `made`, or the one another
  // thread stored while `make` ran (`made` is then dropped here).
  Handle store(T made) {
    Handle expected = nullptr;
    if constexpr (kPointer) {
      if (value_.compare_exchange_strong(expected, made, std::memory_order_acq_rel, std::memory_order_acquire)) {
        return made;
      }
      Py_DECREF(reinterpret_cast<PyObject*>(made));  // the loser's reference: nobody else holds it
      return expected;
    } else {
      auto copy = std::make_unique<T>(std::move(made));
      if (value_.compare_exchange_strong(expected, copy.get(), std::memory_order_acq_rel,
                                         std::memory_order_acquire)) {
        return copy.release();
      }
      return expected;
    }
  }

  std::atomic<Handle> value_{nullptr};
};

}  // namespace zorvane::binding
