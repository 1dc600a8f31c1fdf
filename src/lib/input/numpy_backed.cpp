// Containers whose values live in a NumPy array of their own: pandas' Series
// (over NumPy, masked or Arrow-backed values) and xarray's DataArray.
#include <array>
#include <cstdint>
#include <cstring>

#include "binding/numpy_abi.hpp"
#include "binding/threads.hpp"
#include "lib/input/readers.hpp"

namespace zorvane::lib {
namespace {

using binding::Error;
using binding::Object;
using binding::Result;
namespace numpy = binding::numpy;

// The names through which a Series is iterated, measured or converted, and
// `_values`, which its iteration reads.
constexpr std::array<const char*, 5> kSeriesAccess = {"__iter__", "__len__", "__getitem__", "to_numpy", "_values"};

// pandas' missing-value marker for the values' dtype (dtype.na_value), which
// a Series' iteration gives for each missing value.
Object missing_marker(PyObject* values) {
  Object dtype = Object::steal(PyObject_GetAttrString(values, "dtype"));
  return dtype ? Object::steal(PyObject_GetAttrString(dtype.get(), "na_value")) : Object();
}

// The first true element of a 1-D bool array, else its length.
std::size_t first_set(PyObject* mask) {
  const numpy::ArrayFields* fields = numpy::fields(mask);
  const auto count = static_cast<std::size_t>(fields->dimensions[0]);
  const numpy::npy_intp stride = fields->strides[0];
  const char* p = fields->data;
  std::size_t i = 0;
  if (stride == 1) {
    for (; i + 8 <= count; i += 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, p + i, sizeof word);
      if (word != 0) {
        break;
      }
    }
  }
  for (; i < count; ++i) {
    if (p[static_cast<numpy::npy_intp>(i) * stride] != 0) {
      return i;
    }
  }
  return count;
}

// Every true element of a 1-D bool array: the missing values of a masked
// array, for the note of its refusal (on that path only).
Gaps set_elements(PyObject* mask) {
  const numpy::ArrayFields* fields = numpy::fields(mask);
  const auto count = static_cast<std::size_t>(fields->dimensions[0]);
  GapCounter counter;
  for (std::size_t i = 0; i < count; ++i) {
    if (fields->data[static_cast<numpy::npy_intp>(i) * fields->strides[0]] != 0) {
      counter.missing_at(i);
    }
  }
  return counter.finish(count);
}

// A masked array (nullable Float, Int, boolean) iterates as its `_data`
// array's scalars, with dtype.na_value where `_mask` is set.
Read read_masked(const NumpyApi& api, PyObject* values) {
  Object data = Object::steal(PyObject_GetAttrString(values, "_data"));
  Object mask = data ? Object::steal(PyObject_GetAttrString(values, "_mask")) : Object();
  if (!mask) {
    return declined();
  }
  const std::optional<ElementFormat> format = plain_array_format(api, data.get());
  const std::optional<ElementFormat> mask_format = plain_array_format(api, mask.get());
  if (!format || !mask_format || mask_format->kind != ElementKind::Bool ||
      numpy::fields(mask.get())->dimensions[0] != numpy::fields(data.get())->dimensions[0]) {
    return std::nullopt;
  }
  const std::size_t at = first_set(mask.get());
  if (at == static_cast<std::size_t>(numpy::fields(mask.get())->dimensions[0])) {
    return values_of(api, array_memory(std::move(data), *format));
  }
  Object marker = missing_marker(values);
  if (!marker) {
    return declined();
  }
  return refused_at(at, std::move(marker), set_elements(mask.get()));
}

}  // namespace

Read declined() {
  if (std::optional<Error> error = binding::take_trial_error()) {
    return std::unexpected(std::move(*error));
  }
  return std::nullopt;
}

Read values_of(const NumpyApi& api, Memory memory) {
  Result<Placed> placed = place(api, std::move(memory), Missing::AsNaN);
  if (!placed) {
    return std::unexpected(std::move(placed.error()));
  }
  return read_values(std::move(*placed->held));
}

ContainerValues refused_at(std::size_t index, Object item, Gaps gaps) {
  return ContainerValues{{}, ItemRefusal{index, std::move(item), Object(), gaps}};
}

ContainerValues read_values(SeriesHolder held) { return ContainerValues{std::move(held), {}}; }

std::optional<ElementFormat> plain_array_format(const NumpyApi& api, PyObject* data) {
  if (Py_TYPE(data) != api.array_type()) {
    return std::nullopt;
  }
  const numpy::ArrayFields* fields = numpy::fields(data);
  if (fields->nd != 1 || fields->data == nullptr) {
    return std::nullopt;
  }
  return plain_element_format(fields->descr);
}

Result<bool> is_plain_subclass(PyObject* data, const ClassName& cls) {
  Result<Object> loaded = loaded_class(cls);
  if (!loaded || !*loaded) {
    return loaded ? Result<bool>(false) : std::unexpected(std::move(loaded.error()));
  }
  auto* base_type = reinterpret_cast<PyTypeObject*>(loaded->get());
  if (Py_TYPE(data) == base_type) {
    return true;
  }
  // A subclass, or any other type: its MRO decides (read under the type's
  // lock, where PyType_IsSubtype would read it without).
  Result<Object> mro = binding::method_resolution_order(Py_TYPE(data));
  if (!mro || mro->get() == Py_None) {
    return mro ? Result<bool>(false) : std::unexpected(std::move(mro.error()));
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro->get()); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro->get(), i));
    if (base == base_type) {
      return true;
    }
    if (base->tp_dict == nullptr) {
      return false;  // a static built-in type (3.12+ keeps its dict elsewhere): iterate
    }
    for (const char* name : kSeriesAccess) {
      Result<Object> defined = binding::dict_item(base->tp_dict, name);
      if (!defined || *defined) {
        return defined ? Result<bool>(false) : std::unexpected(std::move(defined.error()));
      }
    }
  }
  return false;
}

Read read_pandas_series(const NumpyApi& api, PyObject* data) {
  Object values = Object::steal(PyObject_GetAttrString(data, "_values"));
  if (!values) {
    return declined();
  }
  if (const std::optional<ElementFormat> format = plain_array_format(api, values.get())) {
    return values_of(api, array_memory(std::move(values), *format));
  }
  for (const ClassName& cls : classes::kPandasMaskedArrays) {
    Result<bool> masked = is_exactly(values.get(), cls);
    if (!masked || *masked) {
      return masked ? read_masked(api, values.get()) : std::unexpected(std::move(masked.error()));
    }
  }
  Result<bool> arrow = is_exactly(values.get(), classes::kPandasArrowArray);
  if (!arrow || !*arrow) {
    return arrow ? Read(std::nullopt) : std::unexpected(std::move(arrow.error()));
  }
  Object chunked = Object::steal(PyObject_GetAttrString(values.get(), "_pa_array"));
  Object marker = chunked ? missing_marker(values.get()) : Object();
  if (!marker) {
    return declined();
  }
  return read_arrow_column(api, values.get(), chunked.get(), marker.get());
}

Read read_data_array(const NumpyApi& api, PyObject* data) {
  Object variable = Object::steal(PyObject_GetAttrString(data, "_variable"));
  Object array = variable ? Object::steal(PyObject_GetAttrString(variable.get(), "_data")) : Object();
  if (!array) {
    return declined();
  }
  const std::optional<ElementFormat> format = plain_array_format(api, array.get());
  return format ? values_of(api, array_memory(std::move(array), *format)) : Read(std::nullopt);
}

}  // namespace zorvane::lib
