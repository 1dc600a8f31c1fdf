// The borrow registry: capsule lookup or creation, and the bookkeeping of
// shared and exclusive borrows by memory owner and byte range.
#include "binding/borrow_registry.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "binding/error.hpp"
#include "binding/numpy_abi.hpp"
#include "binding/object.hpp"
#include "binding/once_cell.hpp"
#include "binding/panic.hpp"
#include "binding/threads.hpp"

namespace zorvane::binding {
namespace {

inline constexpr std::uint64_t kBorrowApiVersion = 1;
// Spelled as other modules' registry errors are, which callers match exactly: not to be corrected.
inline constexpr const char* kRegistryErrorPrefix = "Interal borrow checking API error: ";

// The borrows held on one array: the bytes it spans, how many shared
// borrows, and whether an exclusive one (never both at once).
struct Borrow {
  PyObject* owner;
  PyObject* array;
  const char* low;
  const char* high;
  std::int64_t shared;
  bool exclusive;
};

inline constexpr std::size_t kCacheLine = 64;

// Storage in whole cache lines of its own. Every construction writes a
// borrow into its shard's storage and takes it out again: with storage from
// the ordinary heap, small blocks of two shards can share a line, and two
// threads borrowing different arrays then pass that line back and forth on
// every call (a fourfold cost of acquiring a borrow with two threads at
// n = 250, measured).
template <class T>
struct CacheLineAllocator {
  using value_type = T;
  CacheLineAllocator() noexcept = default;
  template <class U>
  explicit CacheLineAllocator(const CacheLineAllocator<U>&) noexcept {}

  static std::size_t bytes(std::size_t count) noexcept {
    return (count * sizeof(T) + kCacheLine - 1) / kCacheLine * kCacheLine;
  }
  T* allocate(std::size_t count) {
    return static_cast<T*>(::operator new(bytes(count), std::align_val_t{kCacheLine}));
  }
  void deallocate(T* block, std::size_t /*count*/) noexcept {
    // the unsized form: the sized one is missing where sized deallocation is off (clang 16)
    ::operator delete(block, std::align_val_t{kCacheLine});
  }
  friend bool operator==(const CacheLineAllocator&, const CacheLineAllocator&) noexcept { return true; }
};

// Borrows conflict only between arrays of one memory owner, so each owner's
// borrows live in one shard, picked by the owner's address: threads that
// borrow different memory take different locks. A shard holds few borrows
// at a time (each call's own, while it runs), so a vector scanned whole
// beats a map, and once grown it allocates nothing.
struct alignas(kCacheLine) Shard {  // one cache line each, so that locks do not share one
  // Held around the vector alone: callers on an interpreter without the
  // global lock may call the four functions from any thread.
  Mutex mutex;
  std::vector<Borrow, CacheLineAllocator<Borrow>> borrows;
};

inline constexpr unsigned kShardBits = 6;  // 64 shards

struct RegistryState {
  PyTypeObject* array_type;
  unsigned feature_version;
  std::array<Shard, std::size_t{1} << kShardBits> shards;

  Shard& shard_of(PyObject* owner) noexcept {
    // Fibonacci hashing of the address without its alignment bits
    const auto key = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(owner) >> 4);
    return shards[(key * 0x9E3779B97F4A7C15u) >> (64 - kShardBits)];  // 2**64 / golden ratio
  }
};

bool is_array(const RegistryState& state, PyObject* object) noexcept {
  return Py_TYPE(object) == state.array_type || PyType_IsSubtype(Py_TYPE(object), state.array_type);
}

// The object that owns the memory: follow array bases, and memoryviews to the
// object they were made from, until neither leads further.
PyObject* memory_owner(const RegistryState& state, PyObject* array) noexcept {
  PyObject* owner = array;
  for (;;) {
    PyObject* next = nullptr;
    if (is_array(state, owner)) {
      next = numpy::fields(owner)->base;
    } else if (PyMemoryView_Check(owner)) {
      next = PyMemoryView_GET_BUFFER(owner)->obj;
    }
    if (next == nullptr) {
      return owner;
    }
    owner = next;
  }
}

numpy::npy_intp item_size(const RegistryState& state, PyObject* array) noexcept {
  PyObject* descr = numpy::fields(array)->descr;
  if (state.feature_version >= numpy::kFeatureVersion2) {
    return reinterpret_cast<numpy::DescrV2*>(descr)->elsize;
  }
  return reinterpret_cast<numpy::DescrV1*>(descr)->elsize;
}

// [low, high) of the bytes an array can reach; empty for an empty array.
std::pair<const char*, const char*> span_of(const RegistryState& state, PyObject* array) noexcept {
  const numpy::ArrayFields* a = numpy::fields(array);
  const char* low = a->data;
  const char* high = a->data;
  for (int i = 0; i < a->nd; ++i) {
    if (a->dimensions[i] == 0) {
      return {a->data, a->data};
    }
    const numpy::npy_intp reach = (a->dimensions[i] - 1) * a->strides[i];
    (reach < 0 ? low : high) += reach;
  }
  return {low, high + item_size(state, array)};
}

int acquire(void* opaque, PyObject* array, bool exclusive) noexcept {
  auto& state = *static_cast<RegistryState*>(opaque);
  const auto [low, high] = span_of(state, array);
  PyObject* owner = memory_owner(state, array);
  Shard& shard = state.shard_of(owner);
  const std::scoped_lock lock(shard.mutex);
  Borrow* own = nullptr;
  for (Borrow& held : shard.borrows) {
    if (held.owner != owner) {
      continue;
    }
    if (held.array == array) {
      own = &held;
    }
    const bool overlapping = held.array == array || (held.low < high && low < held.high);
    if ((exclusive || held.exclusive) && overlapping) {
      return kBorrowConflict;
    }
  }
  if (own == nullptr) {
    try {
      own = &shard.borrows.emplace_back(Borrow{owner, array, low, high, 0, false});
    } catch (const std::bad_alloc&) {
      return kBorrowOutOfMemory;  // nothing was added
    }
  }
  if (exclusive) {
    own->exclusive = true;
  } else {
    own->shared += 1;
  }
  return kBorrowAcquired;
}

void release(void* opaque, PyObject* array, bool exclusive) noexcept {
  auto& state = *static_cast<RegistryState*>(opaque);
  PyObject* const owner = memory_owner(state, array);
  Shard& shard = state.shard_of(owner);
  const std::scoped_lock lock(shard.mutex);
  const auto held = std::find_if(shard.borrows.begin(), shard.borrows.end(),
                                 [&](const Borrow& b) { return b.owner == owner && b.array == array; });
  if (held == shard.borrows.end()) {
    return;
  }
  if (exclusive) {
    held->exclusive = false;
  } else if (held->shared > 0) {
    held->shared -= 1;
  }
  if (!held->exclusive && held->shared == 0) {
    *held = shard.borrows.back();  // order does not matter
    shard.borrows.pop_back();
  }
}

int acquire_shared(void* state, PyObject* array) noexcept { return acquire(state, array, false); }
int acquire_exclusive(void* state, PyObject* array) noexcept { return acquire(state, array, true); }
void release_shared(void* state, PyObject* array) noexcept { release(state, array, false); }
void release_exclusive(void* state, PyObject* array) noexcept { release(state, array, true); }

[[noreturn]] void registry_failure(const Error& error) { panic(kRegistryErrorPrefix + describe(error)); }

// A new registry's capsule, stored on `module` unless another thread stored
// one first: returns the capsule the module holds afterwards.
Object create_registry(PyObject* module, void** numpy_api) {
  auto feature_version = reinterpret_cast<numpy::GetNDArrayCFeatureVersion>(
      numpy_api[numpy::kGetNDArrayCFeatureVersionIndex]);
  auto state = std::make_unique<RegistryState>();
  state->array_type = static_cast<PyTypeObject*>(numpy_api[numpy::kArrayTypeIndex]);
  state->feature_version = feature_version();
  auto api = std::make_unique<BorrowApi>(BorrowApi{kBorrowApiVersion, state.get(), acquire_shared, acquire_exclusive,
                                                   release_shared, release_exclusive});
  Object capsule = Object::steal(PyCapsule_New(api.get(), kBorrowRegistryName, nullptr));
  PyObject* dict = PyModule_GetDict(module);  // borrowed: the module keeps it
  if (!capsule || dict == nullptr) {
    registry_failure(Error::fetch());
  }
  // setdefault, so that of two threads creating a registry at once both use
  // the one stored first
  Object stored = dict_set_default(dict, kBorrowRegistryName, capsule.get());
  if (!stored) {
    registry_failure(Error::fetch());
  }
  if (stored.get() == capsule.get()) {
    // Leaked on purpose: the capsule can be reached by any module until exit.
    (void)state.release();
    (void)api.release();
  }
  return stored;
}

// The registry in use and the capsule that owns it: the reference keeps the
// function table alive should the attribute be replaced or deleted later
// (by another extension, or by a clean-up that empties NumPy's module).
struct HeldRegistry {
  Object capsule;
  const BorrowApi* api;
};

OnceCell<HeldRegistry> registry_cell;

HeldRegistry find_or_create_registry(const char* multiarray, void** numpy_api) {
  Object module = Object::steal(PyImport_ImportModule(multiarray));
  if (!module) {
    registry_failure(Error::fetch());
  }
  Object capsule = Object::steal(PyObject_GetAttrString(module.get(), kBorrowRegistryName));
  if (!capsule) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      registry_failure(Error::fetch());  // a failing module __getattr__, an interrupt, no memory
    }
    PyErr_Clear();  // absent: this module is the first to need the registry and creates it
    capsule = create_registry(module.get(), numpy_api);
  }
  if (!PyCapsule_IsValid(capsule.get(), kBorrowRegistryName)) {
    registry_failure(Error::lazy(PyExc_TypeError, "the borrow registry attribute is not its capsule"));
  }
  auto* api = static_cast<const BorrowApi*>(PyCapsule_GetPointer(capsule.get(), kBorrowRegistryName));
  if (api->version < kBorrowApiVersion) {
    registry_failure(Error::lazy(PyExc_ValueError, "the borrow registry's version " + std::to_string(api->version) +
                                                       " is older than " + std::to_string(kBorrowApiVersion)));
  }
  return HeldRegistry{std::move(capsule), api};
}

}  // namespace

const BorrowApi& borrow_registry(const char* multiarray, void** numpy_api) {
  return *registry_cell.get_or_init([&] { return find_or_create_registry(multiarray, numpy_api); }).api;
}

void acquire_read_borrow(const BorrowApi& registry, PyObject* array) {
  if (!try_acquire_read_borrow(registry, array)) {
    panic("the array is mutably borrowed elsewhere: AlreadyBorrowed");
  }
}

bool try_acquire_read_borrow(const BorrowApi& registry, PyObject* array) {
  const int code = registry.acquire_shared(registry.state, array);
  if (code == kBorrowConflict) {
    return false;
  }
  if (code == kBorrowOutOfMemory) {
    panic("the borrow registry ran out of memory while recording a read borrow");
  }
  if (code != kBorrowAcquired) {
    panic("Unexpected return code " + std::to_string(code) + " from borrow checking API");
  }
  return true;
}

void release_read_borrow(const BorrowApi& registry, PyObject* array) noexcept {
  registry.release_shared(registry.state, array);
}

}  // namespace zorvane::binding
