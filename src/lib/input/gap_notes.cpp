// Notes for refusals of the values themselves: NaN and infinite values (how
// many, where, and how to drop them in the data's own library), and a d
// beyond the series.
#include <cmath>
#include <string>

#include "binding/threads.hpp"
#include "lib/input/asked.hpp"
#include "lib/input/known_containers.hpp"
#include "lib/input/masked_array.hpp"
#include "lib/input/notes.hpp"

namespace zorvane::lib {

using binding::Object;
using binding::Result;

namespace {

// "(index label '2024-01-02')" of position `at` of a pandas Series, empty for
// anything else or when the index does not answer (unless what it raised
// must propagate).
std::string index_label(Asked& asked, PyObject* data, std::size_t at) {
  if (package_of(asked, data) != named::kPandas) {
    return std::string();
  }
  Object index = Object::steal(PyObject_GetAttrString(data, "index"));
  Object label = index ? Object::steal(PySequence_GetItem(index.get(), static_cast<Py_ssize_t>(at))) : Object();
  if (!label) {
    asked.failed();
    return std::string();
  }
  // a default index says nothing the position does not
  if (PyLong_CheckExact(label.get()) && PyLong_AsSsize_t(label.get()) == static_cast<Py_ssize_t>(at)) {
    return std::string();
  }
  PyErr_Clear();  // an int beyond Py_ssize_t is a label like any other
  // a number as it prints (600, not np.int64(600)); anything else as its repr
  const std::string text =
      PyNumber_Check(label.get()) != 0 ? short_str(asked, label.get()) : short_repr(asked, label.get());
  return text.empty() ? std::string() : " (index label " + text + ")";
}

}  // namespace

Result<std::string> non_finite_note(PyObject* data, std::span<const double> values, NonFinite kind) {
  const auto refused = [kind](double v) { return kind == NonFinite::Nan ? v != v : std::isinf(v); };
  std::size_t count = 0;
  std::size_t first = values.size();
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (refused(values[i])) {
      first = count == 0 ? i : first;
      ++count;
    }
  }
  if (count == 0) {
    return std::string();
  }
  // those inside the series: between the first and the last accepted value
  std::size_t begin = 0;
  while (begin < values.size() && refused(values[begin])) {
    ++begin;
  }
  std::size_t end = values.size();
  while (end > begin && refused(values[end - 1])) {
    --end;
  }
  const std::size_t inner = count - begin - (values.size() - end);  // the rest lead or trail

  Result<bool> masked = is_masked_array(data);
  if (!masked) {
    return std::unexpected(std::move(masked.error()));
  }
  Asked asked;
  const Verbs& verbs = *masked ? masked_array_verbs() : verbs_of(package_of(asked, data));
  const std::string label = index_label(asked, data, first);
  const bool nan = kind == NonFinite::Nan;
  const std::string what = *masked && nan ? "masked or NaN value" : nan ? "NaN value" : "infinite value";
  const std::string drop(nan ? verbs.nan : verbs.infinite);
  std::string note = std::to_string(count) + " " + what + (count == 1 ? "" : "s") + ", the first at position " +
                     std::to_string(first) + label;
  if (inner == 0) {
    return std::move(asked).note(note +
                                 (count == 1 ? ", at the start or end of the series: drop it, e.g. "
                                             : ", all at the start or end of the series: drop them, e.g. ") +
                                 drop);
  }
  return std::move(asked).note(note + ", " + (inner == count ? std::string(count == 1 ? "inside" : "all inside")
                                       : std::to_string(inner) + " inside") +
         " the series: dropping " + (inner == 1 ? "it" : "those") +
         " joins values that were not adjacent and changes what lag 1 means; test the stretches between gaps "
         "separately, or fill the gaps if that suits the data (" +
         drop + " drops them)");
}

std::string lag_beyond_note(std::uint64_t d, std::uint64_t length) {
  return "d = " + std::to_string(d) + ", and data has " + std::to_string(length) + " value" +
         (length == 1 ? "" : "s");
}

}  // namespace zorvane::lib
