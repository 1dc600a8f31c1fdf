// Internal failures: the PanicException class, the report, the conversion.
#include "binding/panic.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <sstream>
#include <thread>

#include "binding/object.hpp"
#include "binding/once_cell.hpp"

namespace zorvane::binding {
namespace {

// The module name callers match exactly (its __module__): not to be corrected.
constexpr const char* kPanicExceptionName = "tarvic_runtime.PanicException";
constexpr const char* kPanicExceptionDoc =
    "\n"
    "The exception raised when the native code of this module fails internally while it is\n"
    "called from Python.\n"
    "\n"
    "Like SystemExit, this exception derives from BaseException, so that it will typically\n"
    "propagate all the way up the stack and cause the Python interpreter to exit.\n";
constexpr const char* kGenericMessage = "native code failed without a message";

OnceCell<Object> panic_exception_cell;

void report(const std::string& message, const std::source_location* where) {
  std::ostringstream thread;
  thread << std::this_thread::get_id();
  if (where != nullptr) {
    std::fprintf(stderr, "thread %s failed at %s:%u:%u:\n%s\n", thread.str().c_str(), where->file_name(),
                 static_cast<unsigned>(where->line()), static_cast<unsigned>(where->column()), message.c_str());
  } else {
    std::fprintf(stderr, "thread %s failed:\n%s\n", thread.str().c_str(), message.c_str());
  }
  std::fputs(
      "note: for a backtrace, run the program under gdb with `catch throw` and repeat the call "
      "(`gdb -ex 'catch throw' -ex run --args python ...`)\n",
      stderr);
  std::fflush(stderr);
}

}  // namespace

void panic(const std::string& message, std::source_location where) { throw Panic(message, where); }

void panic_after_api_failure(std::source_location where) {
  if (PyErr_Occurred() != nullptr) {
    PyErr_Print();
  }
  throw Panic("Python API call failed", where);
}

PyObject* panic_exception_type() {
  return panic_exception_cell
      .get_or_init([] {
        PyObject* type = PyErr_NewExceptionWithDoc(kPanicExceptionName, kPanicExceptionDoc, PyExc_BaseException,
                                                   nullptr);
        if (type == nullptr) {
          panic_after_api_failure();
        }
        return Object::steal(type);
      })
      .get();
}

void raise_current_exception_as_panic() noexcept {
  try {
    std::string message;
    try {
      throw;
    } catch (const Panic& failure) {
      message = failure.what();
      report(message, &failure.where());
    } catch (const std::exception& failure) {
      message = failure.what();
      report(message, nullptr);
    } catch (...) {
      message = kGenericMessage;
      report(message, nullptr);
    }
    if (message.empty()) {
      message = kGenericMessage;
    }
    Object text = Object::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                                     "replace"));
    if (!text) {
      throw std::bad_alloc();
    }
    PyErr_SetObject(panic_exception_type(), text.get());
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
  }
}

void write_unraisable(const char* where) noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  // null when even this text cannot be made: the report then names no place
  PyObject* place = PyUnicode_FromString(where);
  PyErr_Clear();  // a failure to make the text must not replace the error being reported
  PyErr_Restore(type, value, traceback);  // steals all three
  PyErr_WriteUnraisable(place);
  Py_XDECREF(place);
}

}  // namespace zorvane::binding
