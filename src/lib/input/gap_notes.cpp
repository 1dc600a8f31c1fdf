// Notes for refusals of the values themselves: NaN and infinite values (how
// many, where, and how to drop them in the data's own library), and a d
// beyond the series.
#include <cmath>
#include <optional>
#include <string>

#include "binding/threads.hpp"
#include "lib/input/asked.hpp"
#include "lib/input/gap_notes.hpp"
#include "lib/input/known_containers.hpp"
#include "lib/input/notes.hpp"
#include "lib/input/numpy_api.hpp"

namespace zorvane::lib {

using binding::Object;
using binding::Result;

namespace {

// "(index label '2024-01-02')" of position `at` of a pandas Series, empty for
// anything else or when the index does not answer (unless what it raised
// must propagate).
std::string index_label(Asked& asked, PyObject* data, const Library& library, std::size_t at) {
  if (!library.index_labels) {
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

// "2 NaN values, the first at position 0 (index label '2024-01-02'), all at
// the start or end of the series: drop them, e.g. s.dropna()", or for gaps
// inside the series why dropping them changes the test.
std::string gap_note(const Gaps& gaps, const std::string& what, const std::string& what_plural,
                     const std::string& label, std::string_view drop) {
  const std::size_t count = gaps.count;
  std::string note = std::to_string(count) + " " + (count == 1 ? what : what_plural) + ", the first at position " +
                     std::to_string(gaps.first) + label;
  if (gaps.inner == 0) {
    return note +
           (count == 1 ? ", at the start or end of the series: drop it, e.g. "
                       : ", all at the start or end of the series: drop them, e.g. ") +
           std::string(drop);
  }
  const std::size_t inner = gaps.inner;
  return note + ", " +
         (inner == count ? std::string(count == 1 ? "inside" : "all inside") : std::to_string(inner) + " inside") +
         " the series: dropping " + (inner == 1 ? "it" : "those") +
         " joins values that were not adjacent and changes what lag 1 means; test the stretches between gaps "
         "separately, or fill the gaps if that suits the data (" +
         std::string(drop) + " drops them)";
}

}  // namespace

Result<std::string> non_finite_note(PyObject* data, std::span<const double> values, NonFinite kind) {
  const bool nan = kind == NonFinite::Nan;
  GapCounter counter;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (nan ? values[i] != values[i] : std::isinf(values[i])) {
      counter.missing_at(i);
    }
  }
  const Gaps gaps = counter.finish(values.size());
  if (gaps.count == 0) {
    return std::string();
  }
  Result<Library> library = library_of(numpy_api(), data);
  if (!library) {
    return std::unexpected(std::move(library.error()));
  }
  Asked asked;
  const bool masked = library->masked_array;
  const std::string what = masked && nan ? "masked or NaN value" : nan ? "NaN value" : "infinite value";
  const std::string label = index_label(asked, data, *library, gaps.first);
  return std::move(asked).note(
      gap_note(gaps, what, what + "s", label, nan ? library->verbs->nan : library->verbs->infinite));
}

Result<std::optional<std::string>> missing_value_note(Asked& asked, PyObject* data, const Library& library,
                                                      const ItemRefusal& refusal) {
  Result<bool> missing = is_missing_marker(refusal.item.get());
  if (!missing || !*missing) {
    return missing ? Result<std::optional<std::string>>(std::nullopt) : std::unexpected(std::move(missing.error()));
  }
  const std::string repr = short_repr(asked, refusal.item.get());
  const std::string shown = repr.empty() ? std::string() : " (" + repr + ")";
  std::optional<Gaps> gaps = refusal.gaps;
  if (!gaps) {
    // every item again, marked missing or not: only on this refusal's path
    GapCounter counter;
    std::size_t total = 0;
    Object iterator = Object::steal(PyObject_GetIter(data));
    while (Object next = iterator ? Object::steal(PyIter_Next(iterator.get())) : Object()) {
      Result<bool> is = is_missing_marker(next.get());
      if (!is) {
        return std::unexpected(std::move(is.error()));
      }
      if (*is) {
        counter.missing_at(total);
      }
      ++total;
    }
    if (PyErr_Occurred() == nullptr) {
      gaps = counter.finish(total);
    } else {
      asked.failed();  // the data will not be read twice: the item alone is named
    }
  }
  if (!gaps || gaps->count == 0) {
    return std::optional<std::string>("item " + std::to_string(refusal.index) + " is a missing value" + shown +
                                      ": drop or fill missing values first, e.g. " +
                                      std::string(library.verbs->missing));
  }
  const std::string label = index_label(asked, data, library, gaps->first);
  return std::optional<std::string>(
      gap_note(*gaps, "missing value" + shown, "missing values" + shown, label, library.verbs->missing));
}

std::string lag_beyond_note(std::uint64_t d, std::uint64_t length) {
  return "d = " + std::to_string(d) + ", and data has " + std::to_string(length) + " value" +
         (length == 1 ? "" : "s");
}

}  // namespace zorvane::lib
