// Parameter binding from an argument tuple and keyword dictionary, driven by a
// constant description of the function; every binding message lives here.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "binding/error.hpp"

namespace zorvane::binding {

struct FunctionDescription {
  std::string_view class_name;     // empty for a free function
  std::string_view function_name;
  std::span<const std::string_view> positional_names;  // every parameter, in order
  std::size_t required_positional; // leading parameters that must be given

  // "Class.function()", as the messages name it.
  [[nodiscard]] std::string full_name() const;
};

// Fills slots[i] with a borrowed reference for parameter i, or nullptr when
// it was not given. slots.size() must equal positional_names.size(). Errors
// are TypeErrors with the interpreter's own wording.
[[nodiscard]] Result<void> bind_arguments(const FunctionDescription& function, PyObject* args, PyObject* kwargs,
                                          std::span<PyObject*> slots);

// The same from a vectorcall's arguments: `args` holds the positional
// arguments, then the values of the keywords named by the tuple `kwnames`
// (null: none), in that order. The same slots and the same errors.
[[nodiscard]] Result<void> bind_vector_arguments(const FunctionDescription& function, PyObject* const* args,
                                                 std::size_t nargsf, PyObject* kwnames, std::span<PyObject*> slots);

}  // namespace zorvane::binding
