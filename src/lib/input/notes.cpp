// Notes for the TypeError of an unaccepted `data`: the fixed message says
// what is accepted; the note says what was given and how to pass it.
#include "lib/input/notes.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <string_view>

#include "binding/error.hpp"
#include "binding/numpy_abi.hpp"
#include "binding/object.hpp"
#include "binding/threads.hpp"
#include "lib/input/known_containers.hpp"
#include "lib/input/masked_array.hpp"

namespace zorvane::lib {
namespace {

using binding::Object;
using binding::Result;
namespace numpy = binding::numpy;

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
  [[nodiscard]] Result<std::string> note(std::string text) && {
    if (stop_) {
      return std::unexpected(std::move(*stop_));
    }
    return text;
  }

 private:
  std::optional<binding::Error> stop_;
};

// "a list", "an int": the type's name with its article.
std::string type_name(PyObject* object) {
  const std::string name = Py_TYPE(object)->tp_name;
  const bool vowel = !name.empty() && std::string_view("aeiouAEIOU").find(name[0]) != std::string_view::npos;
  return (vowel ? "an " : "a ") + name;
}

bool is_pandas_type(Asked& asked, PyObject* object, std::string_view name) {
  const std::string_view full = Py_TYPE(object)->tp_name;
  if (full == name) {
    return true;  // a static type reports its bare name
  }
  Object module = Object::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__module__"));
  if (!module) {
    asked.failed();  // an unnamed type is not pandas'
    return false;
  }
  const std::string text = binding::utf8(module.get());
  return text.starts_with(named::kPandas) && full.ends_with(name);
}

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
std::string short_repr(Asked& asked, PyObject* object) {
  return shortened(asked, Object::steal(PyObject_Repr(object)));
}
std::string short_str(Asked& asked, PyObject* object) {
  return shortened(asked, Object::steal(PyObject_Str(object)));
}

std::string array_note(PyObject* array) {
  const numpy::ArrayFields* fields = numpy::fields(array);
  if (fields->nd == 0) {
    return "got a 0-d array: pass a 1-D array of values";
  }
  std::string shape = "(";
  for (int i = 0; i < fields->nd; ++i) {
    shape += std::to_string(fields->dimensions[i]) + (fields->nd == 1 ? "," : i + 1 < fields->nd ? ", " : "");
  }
  shape += ")";
  return "got an array of shape " + shape + ": use .ravel(), or pass one column, e.g. a[:, 0]";
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

std::string table_note(Asked& asked, PyObject* table, const TableKind& kind) {
  std::string columns;
  if (Object names = Object::steal(PyObject_GetAttrString(table, kind.columns))) {
    if (const Py_ssize_t count = PyObject_Length(names.get()); count >= 0) {
      columns = " with " + std::to_string(count) + " " + std::string(kind.column_word) + (count == 1 ? "" : "s");
    }
  }
  if (PyErr_Occurred() != nullptr) {
    asked.failed();  // a table that will not say its columns is named alone
  }
  return "got " + std::string(kind.label) + columns + ": " + std::string(kind.pick);
}

// "(3, 4)" of a tuple of ints, empty for anything else.
std::string shape_text(Asked& asked, PyObject* shape) {
  if (shape == nullptr || !PyTuple_Check(shape)) {
    return {};
  }
  std::string text = "(";
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(shape); ++i) {
    const long long extent = PyLong_AsLongLong(PyTuple_GET_ITEM(shape, i));
    if (extent == -1 && PyErr_Occurred() != nullptr) {
      asked.failed();
      return {};
    }
    text += (i > 0 ? ", " : "") + std::to_string(extent);
  }
  return text + (PyTuple_GET_SIZE(shape) == 1 ? ",)" : ")");
}

// A DataArray of two or more dimensions: its shape and how to select one series.
std::string data_array_note(Asked& asked, PyObject* array) {
  Object shape = Object::steal(PyObject_GetAttrString(array, "shape"));
  Object dims = shape ? Object::steal(PyObject_GetAttrString(array, "dims")) : Object();
  std::string text = shape_text(asked, shape.get());
  std::string last;
  if (dims && PyTuple_Check(dims.get()) && PyTuple_GET_SIZE(dims.get()) >= 2) {
    Object name = Object::steal(PyObject_Str(PyTuple_GET_ITEM(dims.get(), PyTuple_GET_SIZE(dims.get()) - 1)));
    last = binding::utf8(name.get());
  }
  if (PyErr_Occurred() != nullptr) {
    asked.failed();
  }
  if (text.empty() || last.empty()) {
    return "got an xarray DataArray of more than one dimension: select one series first";
  }
  return "got an xarray DataArray of shape " + text + ": select one series, e.g. da.isel(" + last + "=0)";
}

// What to say of a container of several series from another library, or
// empty.
std::string table_or_panel_note(Asked& asked, PyObject* data) {
  const std::string package = package_of(asked, data);
  if (package.empty()) {
    return {};
  }
  const std::string_view name = bare_name(data);
  for (const TableKind& kind : table_kinds()) {
    if (kind.package == package && kind.type == name) {
      return table_note(asked, data, kind);
    }
  }
  if (package == named::kDataArray.package && name == named::kDataArray.type) {
    Object ndim = Object::steal(PyObject_GetAttrString(data, "ndim"));
    const long dimensions = ndim ? PyLong_AsLong(ndim.get()) : -1;
    if (PyErr_Occurred() != nullptr) {
      asked.failed();
    }
    if (dimensions >= 2) {
      return data_array_note(asked, data);
    }
  }
  return {};
}

std::string item_note(Asked& asked, PyObject* data, const ItemRefusal& refusal) {
  const std::string item = "item " + std::to_string(refusal.index);
  PyObject* value = refusal.item.get();
  if (value == nullptr) {
    return "reading " + item + " raised an exception" + (refusal.raised ? " (the cause above)" : "") +
           ": pass the values as a list, an array or a Series";
  }
  const std::string missing =
      ": drop or fill missing values first, e.g. " + std::string(verbs_of(package_of(asked, data)).missing);
  if (value == Py_None) {
    return item + " is None" + missing;
  }
  if (is_pandas_type(asked, value, named::kPandasMissingTypes[0]) ||
      is_pandas_type(asked, value, named::kPandasMissingTypes[1])) {
    return item + " is a missing value (" + short_repr(asked, value) + ")" + missing;
  }
  if (PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value)) {
    return item + " is " + type_name(value) + " (" + short_repr(asked, value) +
           "): text is not parsed; convert it first, e.g. pd.to_numeric(s)";
  }
  if (PyLong_Check(value)) {
    return item + " is an int too large for a float64";
  }
  if (PyComplex_Check(value)) {
    return item + " is a complex number: pass its real part, e.g. z.real";
  }
  if (PySequence_Check(value)) {
    return item + " is " + type_name(value) + ": the data must be one series of numbers; flatten it first";
  }
  return item + " is " + type_name(value) + ", which float() does not accept";
}

}  // namespace

namespace {

std::string unaccepted_data_text(Asked& asked, const NumpyApi& api, PyObject* data, const ItemRefusal* refusal) {
  if (Py_TYPE(data) == api.array_type() || binding::is_subtype(Py_TYPE(data), api.array_type())) {
    if (numpy::fields(data)->nd != 1) {
      return array_note(data);
    }
  }
  if (std::string note = table_or_panel_note(asked, data); !note.empty()) {
    return note;
  }
  if (PyUnicode_Check(data)) {
    return "got a str: text is not parsed; convert it to numbers first";
  }
  if (refusal == nullptr) {
    if (PyDict_Check(data)) {
      return "got a dict, which is not a sequence: pass its values, e.g. list(d.values())";
    }
    if (package_of(asked, data) == named::kRecordBatchReader.package &&
        bare_name(data) == named::kRecordBatchReader.type) {
      return "got a pyarrow RecordBatchReader: read it into a table and pass one column, "
             "e.g. reader.read_all()['x']";
    }
    if (PyIter_Check(data)) {
      return "got " + type_name(data) + ", which is not a sequence: collect it first, e.g. list(it)";
    }
    return "got " + type_name(data) + ", which is not a sequence: pass a list, a tuple, a 1-D array or a Series";
  }
  return item_note(asked, data, *refusal);
}

}  // namespace

Result<std::string> unaccepted_data_note(const NumpyApi& api, PyObject* data, const ItemRefusal* refusal) {
  Asked asked;
  std::string text = unaccepted_data_text(asked, api, data, refusal);
  return std::move(asked).note(std::move(text));
}

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
