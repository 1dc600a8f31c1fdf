// Reading values in memory: in place or copied, in one place.
#include "lib/input/memory.hpp"

#include <cstring>
#include <limits>
#include <span>
#include <utility>

#include "binding/numpy_abi.hpp"
#include "binding/threads.hpp"
#include "lib/input/float_buffer.hpp"
#include "lib/input/sequence_copy.hpp"
#include "lib/input/slice_container.hpp"

namespace zorvane::lib {
namespace {

using binding::Object;
using binding::Result;
namespace numpy = binding::numpy;

bool is_array(const NumpyApi& api, PyObject* candidate) {
  return Py_TYPE(candidate) == api.array_type() || binding::is_subtype(Py_TYPE(candidate), api.array_type());
}

bool is_float64(const NumpyApi& api, PyObject* descr) {
  return descr == api.float64.get() || api.equiv_types()(descr, api.float64.get()) != 0;
}

bool valid_at(const std::uint8_t* bitmap, std::uint64_t bit) noexcept {
  return ((bitmap[bit / 8] >> (bit % 8)) & 1u) != 0;
}

// The first bit in [begin, end) that is clear, else end.
std::uint64_t first_clear_bit(const std::uint8_t* bitmap, std::uint64_t begin, std::uint64_t end) noexcept {
  std::uint64_t bit = begin;
  while (bit < end && bit % 64 != 0) {
    if (!valid_at(bitmap, bit)) {
      return bit;
    }
    ++bit;
  }
  for (; bit + 64 <= end; bit += 64) {
    std::uint64_t word = 0;
    std::memcpy(&word, bitmap + bit / 8, sizeof word);
    if (word != ~std::uint64_t{0}) {
      break;  // the bit-wise loop below finds it
    }
  }
  for (; bit < end; ++bit) {
    if (!valid_at(bitmap, bit)) {
      return bit;
    }
  }
  return end;
}

// Whether the memory is one run of float64 that a double* reads as it is,
// with nothing missing.
bool readable_as_doubles(const Memory& memory) noexcept {
  if (memory.chunks.size() != 1 || memory.packed_bits || memory.format.kind != ElementKind::Float64 ||
      memory.format.swapped) {
    return false;
  }
  const Chunk& chunk = memory.chunks[0];
  return chunk.validity == nullptr && chunk.count > 0 && chunk.stride == static_cast<std::ptrdiff_t>(sizeof(double)) &&
         reinterpret_cast<std::uintptr_t>(chunk.data) % alignof(double) == 0;
}

// The series over the memory itself; nullopt where it cannot be read as it
// is, or another module holds a write borrow on it (iteration reads it
// regardless: it is then copied).
std::optional<SeriesHolder> in_place(const NumpyApi& api, Memory& memory) {
  if (memory.keeper == Keeper::Array) {
    return try_array(api, memory.owner.get(), OnConflict::Decline);
  }
  if (!readable_as_doubles(memory)) {
    return std::nullopt;
  }
  const Chunk& chunk = memory.chunks[0];
  const std::span<const double> values(reinterpret_cast<const double*>(chunk.data), chunk.count);
  if (memory.keeper == Keeper::Export) {
    return wrap_exported_values(api, values, memory.owner, memory.exporter);
  }
  return wrap_foreign_values(api, values, std::move(memory.owner));
}

// Writes the chunk's values to `out`; with Missing::Stop, stops at the first
// missing value and returns its position in the chunk.
std::optional<std::size_t> write_chunk(const Chunk& chunk, ElementFormat format, bool packed_bits, Missing missing,
                                       double* out) noexcept {
  const std::uint64_t first = chunk.validity_offset;
  const std::uint64_t end = first + chunk.count;
  if (chunk.validity != nullptr && missing == Missing::Stop) {
    if (const std::uint64_t at = first_clear_bit(chunk.validity, first, end); at != end) {
      return static_cast<std::size_t>(at - first);
    }
  }
  if (packed_bits) {
    const auto* bits = reinterpret_cast<const std::uint8_t*>(chunk.data);
    for (std::size_t k = 0; k < chunk.count; ++k) {
      out[k] = valid_at(bits, chunk.bit_offset + k) ? 1.0 : 0.0;
    }
  } else {
    read_elements(chunk.data, chunk.stride, chunk.count, format, out);
  }
  if (chunk.validity != nullptr && missing == Missing::AsNaN) {
    for (std::uint64_t at = first_clear_bit(chunk.validity, first, end); at < end;
         at = first_clear_bit(chunk.validity, at + 1, end)) {
      out[at - first] = std::numeric_limits<double>::quiet_NaN();
    }
  }
  return std::nullopt;
}

// Every missing value of the chunks, from their validity bitmaps: for the
// note of the refusal, on its path only.
Gaps gaps_of(std::span<const Chunk> chunks, std::size_t total) noexcept {
  GapCounter counter;
  std::size_t offset = 0;
  for (const Chunk& chunk : chunks) {
    if (chunk.validity != nullptr) {
      const std::uint64_t first = chunk.validity_offset;
      const std::uint64_t end = first + chunk.count;
      for (std::uint64_t at = first_clear_bit(chunk.validity, first, end); at < end;
           at = first_clear_bit(chunk.validity, at + 1, end)) {
        counter.missing_at(offset + static_cast<std::size_t>(at - first));
      }
    }
    offset += chunk.count;
  }
  return counter.finish(total);
}

}  // namespace

std::optional<SeriesHolder> try_array(const NumpyApi& api, PyObject* candidate, OnConflict on_conflict) {
  if (!is_array(api, candidate)) {
    return std::nullopt;
  }
  const numpy::ArrayFields* fields = numpy::fields(candidate);
  if (fields->nd != 1 || !is_float64(api, fields->descr)) {
    return std::nullopt;
  }
  const binding::BorrowApi& registry = api.borrows();
  if (on_conflict == OnConflict::Panic) {
    binding::acquire_read_borrow(registry, candidate);
  } else if (!binding::try_acquire_read_borrow(registry, candidate)) {
    return std::nullopt;
  }
  SeriesHolder holder(Object::borrow(candidate), registry,
                      {reinterpret_cast<const double*>(fields->data), static_cast<std::size_t>(fields->dimensions[0])});
  // Read in place only what can be read as doubles: contiguous memory at an
  // address aligned for double (an array unpickled from a network frame, for
  // one, need not be). Anything else is copied by the sequence form.
  const bool contiguous = (fields->flags & (numpy::kCContiguous | numpy::kFContiguous)) != 0;
  const bool aligned = reinterpret_cast<std::uintptr_t>(fields->data) % alignof(double) == 0;
  if (!contiguous || fields->data == nullptr || !aligned) {
    return std::nullopt;  // the holder gives the borrow back
  }
  return holder;
}

Memory array_memory(Object array, ElementFormat format) {
  const numpy::ArrayFields* fields = numpy::fields(array.get());
  Chunk chunk{fields->data, fields->strides[0], static_cast<std::size_t>(fields->dimensions[0])};
  return Memory{format, false, {chunk}, Keeper::Array, std::move(array)};
}

Result<Placed> place(const NumpyApi& api, Memory memory, Missing missing) {
  if (std::optional<SeriesHolder> held = in_place(api, memory)) {
    return Placed{std::move(held)};
  }
  std::size_t total = 0;
  for (const Chunk& chunk : memory.chunks) {
    total += chunk.count;
  }
  FloatBuffer buffer;
  double* out = buffer.append_uninitialised(total);
  if (out == nullptr) {
    return out_of_memory_while_copying();
  }
  std::size_t written = 0;
  for (const Chunk& chunk : memory.chunks) {
    if (const std::optional<std::size_t> at =
            write_chunk(chunk, memory.format, memory.packed_bits, missing, out + written)) {
      return Placed{std::nullopt, written + *at, gaps_of(memory.chunks, total)};
    }
    written += chunk.count;
  }
  return Placed{wrap_buffer(api, buffer)};
}

}  // namespace zorvane::lib
