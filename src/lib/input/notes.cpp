// Notes for the TypeError of an unaccepted `data`: the fixed message says
// what is accepted; the note says what was given and how to pass it.
#include "lib/input/notes.hpp"

#include <optional>
#include <string>
#include <string_view>

#include "binding/error.hpp"
#include "binding/numpy_abi.hpp"
#include "binding/object.hpp"
#include "binding/threads.hpp"
#include "lib/input/asked.hpp"
#include "lib/input/gap_notes.hpp"
#include "lib/input/known_containers.hpp"

namespace zorvane::lib {
namespace {

using binding::Object;
using binding::Result;
namespace numpy = binding::numpy;

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

// A complex number: Python's own, NumPy's scalars, or a type that converts
// to complex and not to float. (A real number type may offer __complex__
// too, as the numbers tower's Fraction and Decimal do.)
bool is_complex_number(PyObject* value) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  return PyComplex_Check(value) || is_numpy_complex(value) ||
         (PyObject_HasAttrString(type, "__complex__") != 0 && PyObject_HasAttrString(type, "__float__") == 0 &&
          PyObject_HasAttrString(type, "__index__") == 0);
}

// Why float() refuses a number that has __float__, asked again: too large
// for a float64 (OverflowError), or the reason its ValueError gives (a
// signalling NaN, say). Nothing for any other outcome.
std::optional<std::string> float_refusal(Asked& asked, PyObject* value) {
  if (PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__float__") == 0) {
    return std::nullopt;
  }
  Object converted = Object::steal(PyNumber_Float(value));
  if (converted) {
    return std::nullopt;  // it converts now: nothing true to say of it
  }
  if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
    PyErr_Clear();  // its kind is the answer
    return std::string(" too large for a float64: bring every value into float64's range first, e.g. divide all "
                       "of them by the same power of ten");
  }
  if (PyErr_ExceptionMatches(PyExc_ValueError)) {
    Object exception = binding::Error::fetch().instance();
    Object text = Object::steal(PyObject_Str(exception.get()));
    if (!text) {
      asked.failed();
      return std::string(", which float() refuses");
    }
    return ", which float() refuses (" + binding::utf8(text.get()) + "): drop it or replace it first";
  }
  asked.failed();
  return std::nullopt;
}

std::string item_note(Asked& asked, PyObject* data, const ItemRefusal& refusal) {
  const std::string item = "item " + std::to_string(refusal.index);
  PyObject* value = refusal.item.get();
  if (value == nullptr) {
    return "reading " + item + " raised an exception" + (refusal.raised ? " (the cause above)" : "") +
           ": pass the values as a list, an array or a Series";
  }
  // a missing item: how many there are and where, in the data's own library's words
  Result<Library> library = library_of(numpy_api(), data);
  Result<std::optional<std::string>> missing =
      library ? missing_value_note(asked, data, *library, refusal) : std::unexpected(std::move(library.error()));
  if (!missing) {
    std::move(missing.error()).restore();
    asked.failed();  // what must propagate is kept and raised in place of the refusal
    return item + " is a missing value";
  }
  if (*missing) {
    return std::move(**missing);
  }
  if (PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value)) {
    return item + " is " + type_name(value) + " (" + short_repr(asked, value) +
           "): text is not parsed; convert it first, e.g. pd.to_numeric(s)";
  }
  if (PyLong_Check(value)) {
    return item + " is an int too large for a float64";
  }
  if (is_complex_number(value)) {
    // a NumPy array has .real; Python's sequences take it item by item
    const bool array = PyObject_HasAttrString(data, "real") != 0;
    return item + " is a complex number (" + short_repr(asked, value) +
           "): pass its real part or its magnitude, e.g. " +
           (array ? "x.real or np.abs(x)" : "[v.real for v in x] or [abs(v) for v in x]");
  }
  if (std::optional<std::string> why = float_refusal(asked, value)) {
    return item + " is " + type_name(value) + " (" + short_repr(asked, value) + ")" + *why;
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

}  // namespace zorvane::lib
