// NumPy's C-API table, looked up once per process at the first construction.
#pragma once

#include <string>

#include "binding/borrow_registry.hpp"
#include "binding/numpy_abi.hpp"
#include "binding/object.hpp"

namespace zorvane::lib {

struct NumpyApi {
  void** table;            // the `_ARRAY_API` function table
  std::string core;        // "numpy._core" or "numpy.core"
  std::string multiarray;  // core + ".multiarray"
  // NumPy's float64 descriptor, held until exit: compared by address on
  // every construction, without touching its reference count, which every
  // thread would otherwise contend for.
  binding::Object float64;

  [[nodiscard]] PyTypeObject* array_type() const noexcept {
    return static_cast<PyTypeObject*>(table[binding::numpy::kArrayTypeIndex]);
  }
  [[nodiscard]] binding::numpy::DescrFromType descr_from_type() const noexcept {
    return reinterpret_cast<binding::numpy::DescrFromType>(table[binding::numpy::kDescrFromTypeIndex]);
  }
  [[nodiscard]] binding::numpy::EquivTypes equiv_types() const noexcept {
    return reinterpret_cast<binding::numpy::EquivTypes>(table[binding::numpy::kEquivTypesIndex]);
  }
  [[nodiscard]] binding::numpy::NewFromDescr new_from_descr() const noexcept {
    return reinterpret_cast<binding::numpy::NewFromDescr>(table[binding::numpy::kNewFromDescrIndex]);
  }
  [[nodiscard]] binding::numpy::SetBaseObject set_base_object() const noexcept {
    return reinterpret_cast<binding::numpy::SetBaseObject>(table[binding::numpy::kSetBaseObjectIndex]);
  }
  [[nodiscard]] const binding::BorrowApi& borrows() const { return binding::borrow_registry(multiarray.c_str(), table); }
};

// The table, fetched on first use; a failure is an internal failure with the
// message "Failed to access NumPy array API capsule: <the Python error>", and
// the next call tries again. Requires the interpreter lock.
[[nodiscard]] const NumpyApi& numpy_api();

}  // namespace zorvane::lib
