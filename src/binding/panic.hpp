// Internal failures: a C++ exception that the entry bracket turns into the
// module's PanicException (a BaseException) with the failure's message.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

#include "binding/python.hpp"

namespace zorvane::binding {

class Panic : public std::runtime_error {
 public:
  Panic(const std::string& message, std::source_location where) : std::runtime_error(message), where_(where) {}
  [[nodiscard]] const std::source_location& where() const noexcept { return where_; }

 private:
  std::source_location where_;
};

[[noreturn]] void panic(const std::string& message, std::source_location where = std::source_location::current());

// For an interpreter call that must not fail but did: prints the pending
// error (PyErr_Print), then fails with "Python API call failed".
[[noreturn]] void panic_after_api_failure(std::source_location where = std::source_location::current());

// The class tarvic_runtime.PanicException, created on first need (borrowed;
// lives for the rest of the process). Requires the interpreter lock.
[[nodiscard]] PyObject* panic_exception_type();

// Inside a catch block: reports the exception in flight on standard error and
// sets PanicException with its message as the current Python exception. A
// failure while doing so aborts the process.
void raise_current_exception_as_panic() noexcept;

// Reports the current Python exception with PyErr_WriteUnraisable, naming
// `where` as the place it was ignored in, and clears it.
void write_unraisable(const char* where) noexcept;

}  // namespace zorvane::binding
