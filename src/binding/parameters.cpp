// Parameter binding: positional arguments from the left, then keywords in
// dictionary order, then the check for missing required ones.
#include "binding/parameters.hpp"

#include <cstring>
#include <vector>

namespace zorvane::binding {
namespace {

std::string quoted_list(std::span<const std::string_view> names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

std::string too_many_positional(const FunctionDescription& function, std::size_t given) {
  const std::size_t most = function.positional_names.size();
  const std::size_t least = function.required_positional;
  std::string message = function.full_name() + " takes ";
  if (least == most) {
    message += std::to_string(most);
  } else {
    message += "from " + std::to_string(least) + " to " + std::to_string(most);
  }
  message += most == 1 ? " positional argument" : " positional arguments";
  message += " but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
  return message;
}

}  // namespace

std::string FunctionDescription::full_name() const {
  std::string name;
  if (!class_name.empty()) {
    name += class_name;
    name += '.';
  }
  name += function_name;
  name += "()";
  return name;
}

namespace {

// Positional arguments first, then each keyword in the order given; a
// keyword is (name, value), both borrowed.
template <class Keywords>
Result<void> bind(const FunctionDescription& function, std::span<PyObject* const> positional, Keywords&& keywords,
                  std::span<PyObject*> slots) {
  for (PyObject*& slot : slots) {
    slot = nullptr;
  }
  // before any keyword is looked at
  if (positional.size() > slots.size()) {
    return type_error(too_many_positional(function, positional.size()));
  }
  for (std::size_t i = 0; i < positional.size(); ++i) {
    slots[i] = positional[i];
  }

  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (keywords(key, value)) {
    Py_ssize_t length = 0;
    const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &length) : nullptr;
    if (name == nullptr) {
      PyErr_Clear();  // not UTF-8 text: it names no parameter, reported as unexpected below
    }
    std::size_t match = slots.size();
    for (std::size_t i = 0; name != nullptr && i < slots.size(); ++i) {
      const std::string_view candidate = function.positional_names[i];
      if (candidate.size() == static_cast<std::size_t>(length) &&
          std::memcmp(candidate.data(), name, candidate.size()) == 0) {
        match = i;
        break;
      }
    }
    if (match == slots.size()) {
      Object text = Object::steal(PyObject_Str(key));
      if (!text) {
        return fetched_error();
      }
      return type_error(function.full_name() + " got an unexpected keyword argument '" + utf8(text.get()) + "'");
    }
    if (slots[match] != nullptr) {
      return type_error(function.full_name() + " got multiple values for argument '" +
                        std::string(function.positional_names[match]) + "'");
    }
    slots[match] = value;
  }

  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < function.required_positional; ++i) {
    if (slots[i] == nullptr) {
      missing.push_back(function.positional_names[i]);
    }
  }
  if (!missing.empty()) {
    return type_error(function.full_name() + " missing " + std::to_string(missing.size()) +
                      " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " + quoted_list(missing));
  }
  return {};
}

}  // namespace

Result<void> bind_arguments(const FunctionDescription& function, PyObject* args, PyObject* kwargs,
                            std::span<PyObject*> slots) {
  // a tuple's items lie side by side (the full C API's PyTupleObject)
  const std::span<PyObject* const> positional(&PyTuple_GET_ITEM(args, 0),
                                              static_cast<std::size_t>(PyTuple_GET_SIZE(args)));
  Py_ssize_t position = 0;
  return bind(function, positional, [&](PyObject*& key, PyObject*& value) {
    return kwargs != nullptr && PyDict_Next(kwargs, &position, &key, &value) != 0;
  }, slots);
}

Result<void> bind_vector_arguments(const FunctionDescription& function, PyObject* const* args, std::size_t nargsf,
                                   PyObject* kwnames, std::span<PyObject*> slots) {
  const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  const std::size_t named = kwnames == nullptr ? 0 : static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
  std::size_t next = 0;
  return bind(function, std::span<PyObject* const>(args, given), [&](PyObject*& key, PyObject*& value) {
    if (next == named) {
      return false;
    }
    key = PyTuple_GET_ITEM(kwnames, static_cast<Py_ssize_t>(next));
    value = args[given + next];
    ++next;
    return true;
  }, slots);
}

}  // namespace zorvane::binding
