// The process-wide registry of NumPy array borrows, shared with other
// extension modules through a capsule on NumPy's core multiarray module.
//
// Protocol (what another module needs to take part):
//   attribute   `_ARRAY_BORROW_REGISTRY` of numpy._core.multiarray (NumPy 2)
//               or numpy.core.multiarray (NumPy 1)
//   capsule     named "_ARRAY_BORROW_REGISTRY", pointing to a BorrowApi
//   BorrowApi   version (u64, >= 1), then the opaque state pointer and four
//               functions taking (state, array): acquire_shared and
//               acquire_exclusive return 0 on success and -1 when a
//               conflicting borrow exists; release_shared and
//               release_exclusive return nothing.
// Two borrows conflict when at least one is exclusive and the memory they
// span (from the same base buffer) overlaps. Every call requires the
// interpreter lock. The first module to need the registry creates it; it
// lives until the process ends.
#pragma once

#include <cstdint>

#include "binding/python.hpp"

namespace zorvane::binding {

struct BorrowApi {
  std::uint64_t version;
  void* state;
  int (*acquire_shared)(void* state, PyObject* array);
  int (*acquire_exclusive)(void* state, PyObject* array);
  void (*release_shared)(void* state, PyObject* array);
  void (*release_exclusive)(void* state, PyObject* array);
};

inline constexpr const char* kBorrowRegistryName = "_ARRAY_BORROW_REGISTRY";

// The registry on `multiarray` (its module name), created there on first use.
// `numpy_api` is NumPy's C-API table. Failures end in an internal failure
// whose message begins "Interal borrow checking API error".
[[nodiscard]] const BorrowApi& borrow_registry(const char* multiarray, void** numpy_api);

// A read borrow of `array`; a conflicting write borrow elsewhere is an
// internal failure whose message ends in "AlreadyBorrowed".
void acquire_read_borrow(const BorrowApi& registry, PyObject* array);
void release_read_borrow(const BorrowApi& registry, PyObject* array) noexcept;

}  // namespace zorvane::binding
