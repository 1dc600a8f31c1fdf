// The table of known containers, and every library's module and class names.
#include "lib/input/known_containers.hpp"

#include <string_view>

#include "binding/threads.hpp"
#include "lib/input/masked_array.hpp"
#include "lib/input/readers.hpp"

namespace zorvane::lib {
namespace {

using binding::Error;
using binding::Object;
using binding::Result;

constexpr const char* kPyarrow = "pyarrow.lib";

// Which of a library's classes are read from memory, and how. A class may be
// recognised only once its module is loaded; none is imported here.
constexpr KnownContainer kKnownContainers[] = {
    // pandas over every dtype backend: NumPy, nullable (masked) and Arrow
    {{"pandas.core.series", "Series"}, true, "pandas", read_pandas_series},
    // the Arrow C stream it exports
    {{"polars.series.series", "Series"}, false, "polars", read_polars_series},
    // its variable's NumPy array: a gap is NaN
    {{"xarray.core.dataarray", "DataArray"}, false, "xarray", read_data_array},
    // pyarrow's numbers, in one chunk or several, from the Arrow C data they export
    {{kPyarrow, "DoubleArray"}, false, "pyarrow", read_pyarrow},
    {{kPyarrow, "ChunkedArray"}, false, "pyarrow", read_pyarrow},
    {{kPyarrow, "Int8Array"}, false, "pyarrow", read_pyarrow},
    {{kPyarrow, "Int16Array"}, false, "pyarrow", read_pyarrow},
    {{kPyarrow, "Int32Array"}, false, "pyarrow", read_pyarrow},
    {{kPyarrow, "Int64Array"}, false, "pyarrow", read_pyarrow},
    {{kPyarrow, "UInt8Array"}, false, "pyarrow", read_pyarrow},
    {{kPyarrow, "UInt16Array"}, false, "pyarrow", read_pyarrow},
    {{kPyarrow, "UInt32Array"}, false, "pyarrow", read_pyarrow},
    {{kPyarrow, "UInt64Array"}, false, "pyarrow", read_pyarrow},
    {{kPyarrow, "FloatArray"}, false, "pyarrow", read_pyarrow},
    // Python's own buffers, through the buffer protocol: no missing values
    {{"builtins", "memoryview"}, false, "", read_buffer},
    {{"builtins", "bytes"}, false, "", read_buffer},
    {{"builtins", "bytearray"}, false, "", read_buffer},
    {{"array", "array"}, false, "", read_buffer},
};

constexpr Verbs kVerbs[] = {
    {"pandas", "s.dropna()", "s.dropna()", "s[np.isfinite(s)]"},
    {"polars", "s.drop_nulls()", "s.drop_nans()", "s.filter(s.is_finite())"},
    {"pyarrow", "pc.drop_null(a)", "pc.filter(a, pc.invert(pc.is_nan(a)))", "pc.filter(a, pc.is_finite(a))"},
    {"xarray", "da.dropna(da.dims[0])", "da.dropna(da.dims[0])", "da[np.isfinite(da)]"},
    {"numpy", "x[x != None]", "x[~np.isnan(x)]", "x[np.isfinite(x)]"},
};
constexpr Verbs kMaskedVerbs = {"numpy.ma", "x.compressed()", "x.compressed()", "x[np.isfinite(x)].compressed()"};
constexpr Verbs kPlainVerbs = {"", "[v for v in data if v is not None]", "[v for v in data if v == v]",
                               "[v for v in data if math.isfinite(v)]"};

constexpr TableKind kTables[] = {
    {"pandas", "DataFrame", "a pandas DataFrame", "columns", "column", "pass one column, e.g. df['x']"},
    {"polars", "DataFrame", "a polars DataFrame", "columns", "column",
     "pass one column, e.g. df['x'] or df.get_column('x')"},
    {"pyarrow", "Table", "a pyarrow Table", "column_names", "column",
     "pass one column, e.g. table['x'] or table.column('x')"},
    {"pyarrow", "RecordBatch", "a pyarrow RecordBatch", "column_names", "column",
     "pass one column, e.g. batch['x'] or batch.column('x')"},
    {"xarray", "Dataset", "an xarray Dataset", "data_vars", "data variable", "pass one variable, e.g. ds['x']"},
    {"duckdb", "DuckDBPyRelation", "a DuckDB relation", "columns", "column",
     "fetch one column, e.g. rel.fetchnumpy()['x'] or rel.df()['x']"},
};

// Python's own types, compared by identity (their module is always there).
PyTypeObject* builtin_type(std::string_view name) noexcept {
  if (name == "memoryview") {
    return &PyMemoryView_Type;
  }
  if (name == "bytes") {
    return &PyBytes_Type;
  }
  return name == "bytearray" ? &PyByteArray_Type : nullptr;
}

// The type's own name, without its module: a static type's name is
// "module.Name", a class statement's only its own.
std::string_view bare_name(PyTypeObject* type) noexcept {
  const std::string_view full = type->tp_name;
  return full.substr(full.rfind('.') + 1);
}

}  // namespace

namespace classes {
const ClassName kMaskedArray{"numpy.ma.core", "MaskedArray"};
const ClassName kPandasSeries{"pandas.core.series", "Series"};
const ClassName kPandasMaskedArrays[3] = {
    {"pandas.core.arrays.floating", "FloatingArray"},
    {"pandas.core.arrays.integer", "IntegerArray"},
    {"pandas.core.arrays.boolean", "BooleanArray"},
};
const ClassName kPandasArrowArray{"pandas.core.arrays.arrow.array", "ArrowExtensionArray"};
}  // namespace classes

Result<Object> loaded_class(const ClassName& cls) {
  Result<Object> module = binding::imported_module(cls.module);
  if (!module || !*module) {
    return module;
  }
  Object found = Object::steal(PyObject_GetAttrString(module->get(), cls.name));
  if (!found || !PyType_Check(found.get())) {
    if (std::optional<Error> error = binding::take_trial_error()) {
      return std::unexpected(std::move(*error));
    }
    return Object();  // a module in the making, or not the library's: nothing to recognise
  }
  return found;
}

Result<bool> is_exactly(PyObject* object, const ClassName& cls) {
  if (std::string_view(cls.module) == "builtins") {
    return Py_TYPE(object) == builtin_type(cls.name);
  }
  Result<Object> found = loaded_class(cls);
  if (!found) {
    return std::unexpected(std::move(found.error()));
  }
  return *found && reinterpret_cast<PyObject*>(Py_TYPE(object)) == found->get();
}

Result<const KnownContainer*> recognise(const NumpyApi& api, PyObject* data) {
  if (PyList_CheckExact(data) || PyTuple_CheckExact(data) || Py_TYPE(data) == api.array_type()) {
    return nullptr;
  }
  // the name first: a string comparison spares the lookups of every other row
  const std::string_view name = bare_name(Py_TYPE(data));
  for (const KnownContainer& row : kKnownContainers) {
    if (name != row.cls.name) {
      continue;
    }
    Result<bool> exact = is_exactly(data, row.cls);
    if (!exact || *exact) {
      return exact ? Result<const KnownContainer*>(&row) : std::unexpected(std::move(exact.error()));
    }
  }
  for (const KnownContainer& row : kKnownContainers) {
    if (row.plain_subclasses) {
      Result<bool> plain = is_plain_subclass(data, row.cls);
      if (!plain || *plain) {
        return plain ? Result<const KnownContainer*>(&row) : std::unexpected(std::move(plain.error()));
      }
    }
  }
  return nullptr;
}

namespace {

const Verbs& verbs_of(std::string_view package) noexcept {
  for (const Verbs& verbs : kVerbs) {
    if (verbs.package == package) {
      return verbs;
    }
  }
  return kPlainVerbs;
}

}  // namespace

const ClassName kPandasNA{"pandas._libs.missing", "NAType"};
const ClassName kPandasNaT{"pandas._libs.tslibs.nattype", "NaTType"};
const ClassName kPyarrowScalar{"pyarrow.lib", "Scalar"};

Result<bool> is_missing_marker(PyObject* item) {
  if (item == Py_None) {
    return true;
  }
  for (const ClassName* cls : {&kPandasNA, &kPandasNaT}) {
    if (Result<bool> is = is_exactly(item, *cls); !is || *is) {
      return is;
    }
  }
  Result<Object> scalar = loaded_class(kPyarrowScalar);
  if (!scalar || !*scalar) {
    return scalar ? Result<bool>(false) : std::unexpected(std::move(scalar.error()));
  }
  if (!binding::is_subtype(Py_TYPE(item), reinterpret_cast<PyTypeObject*>(scalar->get()))) {
    return false;
  }
  Object valid = Object::steal(PyObject_GetAttrString(item, "is_valid"));
  if (!valid) {
    if (std::optional<Error> error = binding::take_trial_error()) {
      return std::unexpected(std::move(*error));
    }
    return false;
  }
  return valid.get() == Py_False;
}

Result<Library> library_of(const NumpyApi& api, PyObject* data) {
  Result<bool> masked = is_masked_array(data);
  if (!masked) {
    return std::unexpected(std::move(masked.error()));
  }
  if (*masked) {
    return Library{&kMaskedVerbs, true, false};
  }
  if (binding::is_subtype(Py_TYPE(data), api.array_type())) {
    return Library{&verbs_of("numpy"), false, false};
  }
  Result<const KnownContainer*> row = recognise(api, data);
  if (!row) {
    return std::unexpected(std::move(row.error()));
  }
  if (*row == nullptr) {
    // pandas' own arrays, which a Series holds: its verbs, without labels
    for (const ClassName* cls : {&classes::kPandasMaskedArrays[0], &classes::kPandasMaskedArrays[1],
                                 &classes::kPandasMaskedArrays[2], &classes::kPandasArrowArray}) {
      Result<bool> is = is_exactly(data, *cls);
      if (!is || *is) {
        return is ? Result<Library>(Library{&verbs_of("pandas"), false, false}) : std::unexpected(std::move(is.error()));
      }
    }
    // a subclass of a library's container: the library's verbs (a
    // customised pandas Series without its labels, which it may compute
    // its own way)
    for (const KnownContainer& known : kKnownContainers) {
      if (known.package.empty()) {
        continue;
      }
      Result<Object> cls = loaded_class(known.cls);
      if (!cls) {
        return std::unexpected(std::move(cls.error()));
      }
      if (*cls && PyType_Check(cls->get()) &&
          binding::is_subtype(Py_TYPE(data), reinterpret_cast<PyTypeObject*>(cls->get()))) {
        return Library{&verbs_of(known.package), false, false};
      }
    }
    return Library{&kPlainVerbs, false, false};
  }
  return Library{&verbs_of((*row)->package), false, (*row)->package == "pandas"};
}

std::span<const TableKind> table_kinds() noexcept { return kTables; }

}  // namespace zorvane::lib
