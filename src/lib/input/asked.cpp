// The questions refusal notes ask of the data, and the words they use.
#include "lib/input/asked.hpp"

#include "binding/threads.hpp"
#include "lib/input/known_containers.hpp"

namespace zorvane::lib {

using binding::Object;

namespace {

// repr() or str() cut to a readable length, or empty when it raises.
std::string shortened(Asked& asked, Object text) {
  if (!text) {
    asked.failed();  // leave the value out
    return {};
  }
  std::string out = binding::utf8(text.get());
  constexpr std::size_t kMaxLength = 40;
  return out.size() > kMaxLength ? out.substr(0, kMaxLength - 3) + "..." : out;
}

}  // namespace

// "a list", "an int": the type's name with its article.
std::string type_name(PyObject* object) {
  const std::string name = Py_TYPE(object)->tp_name;
  const bool vowel = !name.empty() && std::string_view("aeiouAEIOU").find(name[0]) != std::string_view::npos;
  return (vowel ? "an " : "a ") + name;
}

std::string short_repr(Asked& asked, PyObject* object) {
  return shortened(asked, Object::steal(PyObject_Repr(object)));
}
std::string short_str(Asked& asked, PyObject* object) {
  return shortened(asked, Object::steal(PyObject_Str(object)));
}

// The package a type comes from: the first part of its __module__ (empty
// when it has none).
std::string package_of(Asked& asked, PyObject* object) {
  Object module = Object::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__module__"));
  if (!module) {
    asked.failed();  // an unnamed type is nobody's
    return {};
  }
  const std::string text = binding::utf8(module.get());
  return text.substr(0, text.find('.'));
}

// The type's own name, without its module.
std::string_view bare_name(PyObject* object) {
  const std::string_view full = Py_TYPE(object)->tp_name;
  return full.substr(full.rfind('.') + 1);
}

}  // namespace zorvane::lib
