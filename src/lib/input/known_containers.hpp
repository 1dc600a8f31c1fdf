// The containers of other libraries that the conversion reads from their
// memory instead of through Python, and what the refusal notes say of each
// library: one table, and the only place that names a library's modules and
// classes. Adding a library is a row here and, where its memory is of a new
// kind, a reader in readers.hpp.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "binding/error.hpp"
#include "binding/object.hpp"
#include "lib/input/numpy_api.hpp"
#include "lib/input/sequence_copy.hpp"
#include "lib/input/series_holder.hpp"

namespace zorvane::lib {

// A class by its module and name. Recognising one never imports the module:
// where it is not loaded, none of its objects exist.
struct ClassName {
  const char* module;
  const char* name;
};

// The class, or null when its module is not loaded or has no such type yet.
// An error only for what must propagate (an interrupt, MemoryError).
[[nodiscard]] binding::Result<binding::Object> loaded_class(const ClassName& cls);

// Whether `object` is an instance of exactly that class.
[[nodiscard]] binding::Result<bool> is_exactly(PyObject* object, const ClassName& cls);

// What a known container holds: its values, read in place or copied, or the
// first item its iteration would refuse (a missing value). Both empty: the
// reader declined, and the container goes the ordinary ways.
struct ContainerValues {
  std::optional<SeriesHolder> held;
  std::optional<ItemRefusal> refusal;
};
using Read = binding::Result<std::optional<ContainerValues>>;

// One library's container. Its reader gives what the container's iteration
// (float() of each item) would give, without calling into Python for each
// value; pyarrow's numbers give what their to_numpy does where its array
// passes the array test (a null as NaN), and iteration otherwise.
struct KnownContainer {
  ClassName cls;
  bool plain_subclasses;     // also a subclass that customises none of the class's access (pandas' Series)
  std::string_view package;  // the library, whose verbs the notes use (empty: Python's own)
  Read (*read)(const NumpyApi& api, PyObject* data);
};

// The row of `data`'s class, or null (always for exact lists, tuples and
// NumPy arrays, which the sequence form reads its own ways). An error only
// when an interrupt or a MemoryError arrives while a class is looked up.
[[nodiscard]] binding::Result<const KnownContainer*> recognise(const NumpyApi& api, PyObject* data);

// The classes readers and notes recognise inside a library's objects.
namespace classes {
extern const ClassName kMaskedArray;               // numpy.ma, a subclass of ndarray
extern const ClassName kPandasSeries;              // recognised with its plain subclasses
extern const ClassName kPandasMaskedArrays[3];     // nullable Float, Int and boolean values
extern const ClassName kPandasArrowArray;          // Arrow-backed values
}  // namespace classes

// How each library's users drop what the test refuses, in its own words:
// missing values (None, NA), NaN, and infinities.
struct Verbs {
  std::string_view package;
  std::string_view missing;
  std::string_view nan;
  std::string_view infinite;
};

// What the notes say of `data`'s library, from the one recognition: the
// table's row (or NumPy's arrays and masked arrays, which the ladder reads
// itself): its verbs, and whether it has index labels. Python's own words
// for anything else.
struct Library {
  const Verbs* verbs;
  bool masked_array;  // NumPy's masked array: a masked item reads as NaN
  bool index_labels;  // a pandas Series: positions have labels
};
[[nodiscard]] binding::Result<Library> library_of(const NumpyApi& api, PyObject* data);

// Whether an item is how some library marks a missing value where its
// container is iterated: None, pandas' NA or NaT, or a pyarrow scalar that
// is null. An error only for what must propagate.
[[nodiscard]] binding::Result<bool> is_missing_marker(PyObject* item);

// Containers of several series, by package and bare type name: what to call
// them, the attribute that lists their columns, and how to pick one there.
struct TableKind {
  std::string_view package;
  std::string_view type;
  std::string_view label;
  const char* columns;
  std::string_view column_word;
  std::string_view pick;
};
[[nodiscard]] std::span<const TableKind> table_kinds() noexcept;

// Other objects the notes name by package and bare type name.
struct NamedType {
  std::string_view package;
  std::string_view type;
};
namespace named {
inline constexpr NamedType kDataArray{"xarray", "DataArray"};
inline constexpr NamedType kRecordBatchReader{"pyarrow", "RecordBatchReader"};
}  // namespace named

}  // namespace zorvane::lib
