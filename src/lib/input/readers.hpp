// The readers of the known containers' memory (the table's last column), each
// giving exactly what the form it stands in for would give through Python.
// A reader that declines (an attribute missing, a type it does not read)
// returns nullopt, and the container goes the ordinary ways.
#pragma once

#include <optional>

#include "binding/error.hpp"
#include "lib/input/element_format.hpp"
#include "lib/input/known_containers.hpp"
#include "lib/input/memory.hpp"
#include "lib/input/numpy_api.hpp"

namespace zorvane::lib {

// --- NumPy arrays inside other objects (numpy_backed.cpp) ---------------------

// Iterating an exact 1-D NumPy array (no subclass, which could iterate
// differently) of a plain dtype gives scalars whose float() is the element's
// value: the format to read such an array from memory, else nullopt.
[[nodiscard]] std::optional<ElementFormat> plain_array_format(const NumpyApi& api, PyObject* data);

// Whether `data` is an instance of a subclass of `cls` (a pandas Series) of
// which no class before `cls` in the method resolution order defines any of
// the names through which a Series is iterated, measured or converted.
[[nodiscard]] binding::Result<bool> is_plain_subclass(PyObject* data, const ClassName& cls);

// A Series iterates as map(values.item, range(values.size)) when its
// `_values` is a NumPy array, and as the masked or Arrow array's items
// otherwise (dtype.na_value where one is missing).
[[nodiscard]] Read read_pandas_series(const NumpyApi& api, PyObject* data);

// A DataArray iterates as da[i] for each i, each converting as float() of
// its 0-d values: for a 1-D DataArray over a NumPy array, the array's elements.
[[nodiscard]] Read read_data_array(const NumpyApi& api, PyObject* data);

// --- the Arrow C data interface (arrow_export.cpp) ----------------------------

// Iteration gives, for each value of the column `exporter` exports, a Python
// bool, int or float, and `missing` for a missing one; `missing` null: ask
// `container` for its item there.
[[nodiscard]] Read read_arrow_column(const NumpyApi& api, PyObject* container, PyObject* exporter,
                                     PyObject* missing);
// A polars Series iterates as Python numbers, None for a missing value.
[[nodiscard]] Read read_polars_series(const NumpyApi& api, PyObject* data);
// pyarrow's arrays and chunked arrays of numbers, as the to_numpy form reads
// them where it fits and as iteration reads them where it does not.
[[nodiscard]] Read read_pyarrow(const NumpyApi& api, PyObject* data);

// --- Python's buffers (buffer_source.cpp) -------------------------------------

// array.array, memoryview, bytes and bytearray iterate as the Python ints
// and floats of their elements.
[[nodiscard]] Read read_buffer(const NumpyApi& api, PyObject* data);

// --- shared by the readers ------------------------------------------------------

// A trial step failed: the reader declines, unless the error must propagate
// (MemoryError, an interrupt).
[[nodiscard]] Read declined();
[[nodiscard]] ContainerValues refused_at(std::size_t index, binding::Object item, Gaps gaps);
[[nodiscard]] ContainerValues read_values(SeriesHolder held);
// The values of memory in which nothing is missing, in place or copied.
[[nodiscard]] Read values_of(const NumpyApi& api, Memory memory);

}  // namespace zorvane::lib
