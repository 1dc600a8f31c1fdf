// What the refusal notes share: the questions they ask of the data, whose
// ordinary exceptions only leave an answer out, and the words they use for
// an object's type and package.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "binding/error.hpp"
#include "binding/object.hpp"

namespace zorvane::lib {

// The questions a note asks of the data give only hints: an ordinary
// exception that one of them raises leaves its answer out of the note. An
// interrupt or a MemoryError is no such answer: the first one is kept, and
// the caller raises it in place of the refusal.
class Asked {
 public:
  // After a question raised: drops an ordinary exception, keeps the other kind.
  void failed() {
    std::optional<binding::Error> error = binding::take_trial_error();
    if (error && !stop_) {
      stop_ = std::move(error);
    }
  }
  // The note, unless something must propagate instead.
  [[nodiscard]] binding::Result<std::string> note(std::string text) && {
    if (stop_) {
      return std::unexpected(std::move(*stop_));
    }
    return text;
  }

 private:
  std::optional<binding::Error> stop_;
};

// "a list", "an int": the type's name with its article.
[[nodiscard]] std::string type_name(PyObject* object);

// repr() or str() cut to a readable length, or empty when it raises.
[[nodiscard]] std::string short_repr(Asked& asked, PyObject* object);
[[nodiscard]] std::string short_str(Asked& asked, PyObject* object);

// The package a type comes from: the first part of its __module__ (empty
// when it has none).
[[nodiscard]] std::string package_of(Asked& asked, PyObject* object);

// The type's own name, without its module.
[[nodiscard]] std::string_view bare_name(PyObject* object);

}  // namespace zorvane::lib
