// The borrow registry: capsule lookup or creation, and the bookkeeping of
// shared and exclusive borrows by memory owner and byte range.
#include "binding/borrow_registry.hpp"

#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

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
  const char* low;
  const char* high;
  std::int64_t shared;
  bool exclusive;
};

struct RegistryState {
  PyTypeObject* array_type;
  unsigned feature_version;
  // Held inside each of the four calls, around the map alone: callers on an
  // interpreter without the global lock may call them from any thread.
  Mutex mutex;
  // memory owner -> array -> its borrows
  std::unordered_map<PyObject*, std::unordered_map<PyObject*, Borrow>> borrows;
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
Borrow span_of(const RegistryState& state, PyObject* array) noexcept {
  const numpy::ArrayFields* a = numpy::fields(array);
  const char* low = a->data;
  const char* high = a->data;
  for (int i = 0; i < a->nd; ++i) {
    if (a->dimensions[i] == 0) {
      return Borrow{a->data, a->data, 0, false};
    }
    const numpy::npy_intp reach = (a->dimensions[i] - 1) * a->strides[i];
    (reach < 0 ? low : high) += reach;
  }
  return Borrow{low, high + item_size(state, array), 0, false};
}

bool overlaps(const Borrow& a, const Borrow& b) noexcept { return a.low < b.high && b.low < a.high; }

int acquire(void* opaque, PyObject* array, bool exclusive) noexcept {
  auto& state = *static_cast<RegistryState*>(opaque);
  const Borrow wanted = span_of(state, array);
  PyObject* owner = memory_owner(state, array);
  const std::scoped_lock lock(state.mutex);
  if (const auto found = state.borrows.find(owner); found != state.borrows.end()) {
    for (const auto& [other, held] : found->second) {
      const bool conflicting = exclusive || held.exclusive;
      if (conflicting && (other == array || overlaps(held, wanted))) {
        return kBorrowConflict;
      }
    }
  }
  try {
    Borrow& borrow = state.borrows[owner].try_emplace(array, wanted).first->second;
    if (exclusive) {
      borrow.exclusive = true;
    } else {
      borrow.shared += 1;
    }
  } catch (const std::bad_alloc&) {
    // leave no trace of the failed call: an owner entry made for it is empty
    if (const auto made = state.borrows.find(owner); made != state.borrows.end() && made->second.empty()) {
      state.borrows.erase(made);
    }
    return kBorrowOutOfMemory;
  }
  return kBorrowAcquired;
}

void release(void* opaque, PyObject* array, bool exclusive) noexcept {
  auto& state = *static_cast<RegistryState*>(opaque);
  PyObject* const owner_object = memory_owner(state, array);
  const std::scoped_lock lock(state.mutex);
  const auto owner = state.borrows.find(owner_object);
  if (owner == state.borrows.end()) {
    return;
  }
  const auto held = owner->second.find(array);
  if (held == owner->second.end()) {
    return;
  }
  Borrow& borrow = held->second;
  if (exclusive) {
    borrow.exclusive = false;
  } else if (borrow.shared > 0) {
    borrow.shared -= 1;
  }
  if (!borrow.exclusive && borrow.shared == 0) {
    owner->second.erase(held);
  }
  if (owner->second.empty()) {
    state.borrows.erase(owner);
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
