// Errors as values: a Python exception held until the entry bracket raises it.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "binding/object.hpp"

namespace zorvane::binding {

// Either lazy (an exception type, a message and an optional cause; the
// exception object is made only when raised, with args == (message,)) or
// fetched (an exception the interpreter raised, kept whole).
class [[nodiscard]] Error {
 public:
  // The type is one of the interpreter's static exception types, or any
  // exception class (a new reference is taken).
  static Error lazy(PyObject* type, std::string message, Object cause = {});
  // Takes the interpreter's current exception and clears the indicator; when
  // none is set: SystemError "attempted to fetch exception but none was set".
  static Error fetch();

  // The exception's class (borrowed).
  [[nodiscard]] PyObject* type() const noexcept { return type_.get(); }
  // A note for the exception's __notes__ (Python 3.11+; ignored before),
  // for a lazy error: it leaves args and the message as they are.
  [[nodiscard]] Error with_note(std::string note) && {
    note_ = std::move(note);
    return std::move(*this);
  }
  // Exact type test, as `type(exc) is cls`.
  [[nodiscard]] bool is_exactly(PyObject* cls) const noexcept { return type_.get() == cls; }
  // The exception object, created now for a lazy error (fetched ones have it).
  [[nodiscard]] Object instance() const;
  // Makes the error the interpreter's current exception.
  void restore() &&;

 private:
  Error() = default;
  Object type_;
  Object value_;      // fetched: the normalised exception object
  Object traceback_;  // fetched: its traceback, may be empty
  std::string message_;
  Object cause_;
  std::string note_;
};

template <class T>
using Result = std::expected<T, Error>;

// Error values for the common lazy kinds.
[[nodiscard]] inline std::unexpected<Error> type_error(std::string message) {
  return std::unexpected(Error::lazy(PyExc_TypeError, std::move(message)));
}
[[nodiscard]] inline std::unexpected<Error> value_error(std::string message) {
  return std::unexpected(Error::lazy(PyExc_ValueError, std::move(message)));
}
[[nodiscard]] inline std::unexpected<Error> fetched_error() { return std::unexpected(Error::fetch()); }

// The pending error of a trial conversion, whose failure only sends the
// input on to the next form: discarded (nullopt), unless it is a MemoryError
// or no Exception at all (KeyboardInterrupt, SystemExit), which are taken to
// propagate, since the machine or the user asked to stop.
[[nodiscard]] std::optional<Error> take_trial_error();

// "TypeName: str(exc)" of a Python exception, for internal-failure messages;
// never fails (falls back to the type name, then to a fixed text).
[[nodiscard]] std::string describe(const Error& error);

// The text of a str object as UTF-8 (lone surrogates kept, so that any str
// round-trips through a message); empty when the object is not a str.
[[nodiscard]] std::string utf8(PyObject* text);

}  // namespace zorvane::binding
