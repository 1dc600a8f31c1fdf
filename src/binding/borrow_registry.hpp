// The process-wide registry of NumPy array borrows, shared with other
// extension modules through a capsule on NumPy's core multiarray module.
//
// Protocol (what another module needs to take part):
//   attribute   `_ARRAY_BORROW_REGISTRY` of numpy._core.multiarray (NumPy 2)
//               or numpy.core.multiarray (NumPy 1)
//   capsule     named "_ARRAY_BORROW_REGISTRY", pointing to a BorrowApi
//   BorrowApi   version (u64, >= 1), then the opaque state pointer and four
//               C functions taking (state, array), none of which throws:
//     acquire_shared, acquire_exclusive
//               kBorrowAcquired (0): the borrow is held;
//               kBorrowConflict (-1): a conflicting borrow exists;
//               kBorrowOutOfMemory (-2): the bookkeeping could not grow.
//               On any code but 0 nothing has changed.
//     release_shared, release_exclusive
//               give back one borrow of that kind on that array; a release
//               of a borrow that is not held changes nothing, and neither
//               kind of release touches a borrow of the other kind.
// The memory's owner is the end of the array's base chain: through arrays
// and memoryviews to the object that exports the memory (a bytearray, an
// mmap, the array that allocated it). Two borrows conflict when at least one
// is exclusive, they have the same owner and the byte ranges they span
// overlap (or they are borrows of the same array). Every call requires the
// interpreter lock. The first module to need the registry creates it; it
// lives until the process ends.
#pragma once

#include <cstdint>

#include "binding/python.hpp"

namespace zorvane::binding {

struct BorrowApi {
  std::uint64_t version;
  void* state;
  int (*acquire_shared)(void* state, PyObject* array) noexcept;
  int (*acquire_exclusive)(void* state, PyObject* array) noexcept;
  void (*release_shared)(void* state, PyObject* array) noexcept;
  void (*release_exclusive)(void* state, PyObject* array) noexcept;
};

inline constexpr const char* kBorrowRegistryName = "_ARRAY_BORROW_REGISTRY";

inline constexpr int kBorrowAcquired = 0;
inline constexpr int kBorrowConflict = -1;
inline constexpr int kBorrowOutOfMemory = -2;

// The registry on `multiarray` (its module name), created there on first use.
// `numpy_api` is NumPy's C-API table. Failures end in an internal failure
// whose message begins "Interal borrow checking API error".
[[nodiscard]] const BorrowApi& borrow_registry(const char* multiarray, void** numpy_api);

// A read borrow of `array`; a conflicting write borrow elsewhere is an
// internal failure whose message ends in "AlreadyBorrowed", and a registry
// out of memory one that says so.
void acquire_read_borrow(const BorrowApi& registry, PyObject* array);
// The same, but false (and no borrow) when a conflicting write borrow exists.
[[nodiscard]] bool try_acquire_read_borrow(const BorrowApi& registry, PyObject* array);
void release_read_borrow(const BorrowApi& registry, PyObject* array) noexcept;

}  // namespace zorvane::binding
