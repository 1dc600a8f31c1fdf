// Masked arrays, read as their iteration reads them.
#include "lib/input/masked_array.hpp"

#include <cstddef>
#include <limits>

#include "binding/numpy_abi.hpp"
#include "binding/object.hpp"
#include "binding/threads.hpp"
#include "lib/input/element_format.hpp"
#include "lib/input/float_buffer.hpp"
#include "lib/input/known_containers.hpp"
#include "lib/input/sequence_copy.hpp"
#include "lib/input/slice_container.hpp"

namespace zorvane::lib {
namespace {

using binding::Error;
using binding::Object;
using binding::Result;
namespace numpy = binding::numpy;

// The 1-D bool mask of `data`, or null: numpy.ma.nomask (a 0-d False), or a
// mask of another shape or type, leaves the array as it is.
Result<Object> item_mask(const NumpyApi& api, PyObject* data) {
  Object mask = Object::steal(PyObject_GetAttrString(data, "_mask"));
  if (!mask) {
    if (std::optional<Error> error = binding::take_trial_error()) {
      return std::unexpected(std::move(*error));
    }
    return Object();
  }
  if (!binding::is_subtype(Py_TYPE(mask.get()), api.array_type())) {
    return Object();
  }
  const numpy::ArrayFields* fields = numpy::fields(mask.get());
  const numpy::ArrayFields* values = numpy::fields(data);
  const std::optional<ElementFormat> format = plain_element_format(fields->descr);
  if (fields->nd != 1 || fields->dimensions[0] != values->dimensions[0] || !format ||
      format->kind != ElementKind::Bool) {
    return Object();
  }
  return mask;
}

}  // namespace

Result<bool> is_masked_array(PyObject* data) {
  Result<Object> cls = loaded_class(classes::kMaskedArray);
  if (!cls || !*cls) {
    return cls ? Result<bool>(false) : std::unexpected(std::move(cls.error()));
  }
  return binding::is_subtype(Py_TYPE(data), reinterpret_cast<PyTypeObject*>(cls->get()));
}

Result<std::optional<SeriesHolder>> masked_array_values(const NumpyApi& api, PyObject* data) {
  if (Py_TYPE(data) == api.array_type() || !binding::is_subtype(Py_TYPE(data), api.array_type())) {
    return std::nullopt;
  }
  const numpy::ArrayFields* fields = numpy::fields(data);
  const std::optional<ElementFormat> format = fields->nd == 1 ? plain_element_format(fields->descr) : std::nullopt;
  if (!format) {
    return std::nullopt;  // iterated: a masked item converts to NaN there too
  }
  Result<bool> masked = is_masked_array(data);
  if (!masked || !*masked) {
    return masked ? Result<std::optional<SeriesHolder>>(std::nullopt) : std::unexpected(std::move(masked.error()));
  }
  Result<Object> mask = item_mask(api, data);
  if (!mask || !*mask) {
    return mask ? Result<std::optional<SeriesHolder>>(std::nullopt) : std::unexpected(std::move(mask.error()));
  }
  const numpy::ArrayFields* mask_fields = numpy::fields(mask->get());
  const auto count = static_cast<std::size_t>(fields->dimensions[0]);
  const auto is_set = [&](std::size_t i) {
    return mask_fields->data[static_cast<numpy::npy_intp>(i) * mask_fields->strides[0]] != 0;
  };
  std::size_t first = 0;
  while (first < count && !is_set(first)) {
    ++first;
  }
  if (first == count) {
    return std::nullopt;
  }
  FloatBuffer buffer;
  double* out = buffer.append_uninitialised(count);
  if (out == nullptr) {
    return out_of_memory_while_copying();
  }
  read_elements(fields->data, fields->strides[0], count, *format, out);
  for (std::size_t i = first; i < count; ++i) {
    if (is_set(i)) {
      out[i] = std::numeric_limits<double>::quiet_NaN();
    }
  }
  return wrap_buffer(api, buffer);
}

}  // namespace zorvane::lib
