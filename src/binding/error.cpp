// Errors as values: creation, fetching from and restoring to the interpreter.
#include "binding/error.hpp"

#include "binding/panic.hpp"

namespace zorvane::binding {

Error Error::lazy(PyObject* type, std::string message, Object cause) {
  Error error;
  error.type_ = Object::borrow(type);
  error.message_ = std::move(message);
  error.cause_ = std::move(cause);
  return error;
}

Error Error::fetch() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) {
    PyException_SetTraceback(value, traceback);
  }
  Error error;
  error.type_ = Object::steal(type);
  error.value_ = Object::steal(value);
  error.traceback_ = Object::steal(traceback);
  return error;
}

Object Error::instance() const {
  if (value_) {
    return value_.clone();
  }
  Object message = Object::steal(PyUnicode_DecodeUTF8(message_.data(), static_cast<Py_ssize_t>(message_.size()),
                                                       "surrogatepass"));
  if (!message) {
    panic_after_api_failure();
  }
  Object instance = Object::steal(PyObject_CallFunctionObjArgs(type_.get(), message.get(), nullptr));
  if (!instance) {
    panic_after_api_failure();
  }
  if (cause_) {
    PyException_SetCause(instance.get(), cause_.clone().release());  // steals
  }
#if PY_VERSION_HEX >= 0x030B0000
  if (!note_.empty()) {
    Object note = Object::steal(PyUnicode_DecodeUTF8(note_.data(), static_cast<Py_ssize_t>(note_.size()), "replace"));
    Object added = note ? Object::steal(PyObject_CallMethod(instance.get(), "add_note", "O", note.get())) : Object();
    if (!added) {
      PyErr_Clear();  // the note is a hint: the exception goes out without it
    }
  }
#endif
  return instance;
}

void Error::restore() && {
  if (value_) {
    // steals all three
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    return;
  }
  Object exception = instance();
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
}

std::optional<Error> take_trial_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
    return Error::fetch();
  }
  PyErr_Clear();  // trial conversion: its error is discarded
  return std::nullopt;
}

std::string utf8(PyObject* text) {
  if (text == nullptr || !PyUnicode_Check(text)) {
    return {};
  }
  Object bytes = Object::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  if (!bytes) {
    PyErr_Clear();  // a str always encodes with surrogatepass; nothing useful to report
    return {};
  }
  return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

std::string describe(const Error& error) {
  std::string name = "exception";
  if (auto* type = reinterpret_cast<PyTypeObject*>(error.type()); type != nullptr && PyType_Check(error.type())) {
    name = type->tp_name;
  }
  std::string text;
  try {
    Object exception = error.instance();
    Object str = Object::steal(PyObject_Str(exception.get()));
    if (str) {
      text = utf8(str.get());
    } else {
      PyErr_Clear();  // the description is best effort: an exception whose str() fails is named only
    }
  } catch (const Panic&) {
    // same: keep the name alone
  }
  return text.empty() ? name : name + ": " + text;
}

}  // namespace zorvane::binding
