// Arrow columns of numbers: their formats, their chunks and their values.
#include "lib/input/arrow_values.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

namespace zorvane::lib::arrow {
namespace {

std::int32_t read_int32(const char*& p) noexcept {
  std::int32_t value = 0;
  std::memcpy(&value, p, sizeof value);
  p += sizeof value;
  return value;
}

// Whether the schema's metadata names an extension type, whose values mean
// something other than their storage.
bool names_extension(const char* metadata) noexcept {
  if (metadata == nullptr) {
    return false;
  }
  const char* p = metadata;
  const std::int32_t pairs = read_int32(p);
  for (std::int32_t i = 0; i < pairs; ++i) {
    const std::int32_t key_length = read_int32(p);
    const std::string_view key(p, static_cast<std::size_t>(key_length));
    p += key_length;
    const std::int32_t value_length = read_int32(p);
    p += value_length;
    if (key == "ARROW:extension:name") {
      return true;
    }
  }
  return false;
}

bool well_formed(const ArrowArray& chunk) noexcept {
  return !(chunk.release == nullptr || chunk.length < 0 || chunk.offset < 0 || chunk.n_buffers != 2 ||
           chunk.n_children != 0 || chunk.dictionary != nullptr ||
           (chunk.length > 0 && chunk.buffers[1] == nullptr));
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

}  // namespace

std::optional<ColumnFormat> column_format(const ArrowSchema& schema) noexcept {
  if (schema.format == nullptr || schema.dictionary != nullptr || schema.n_children != 0 ||
      names_extension(schema.metadata)) {
    return std::nullopt;
  }
  const std::string_view code = schema.format;
  if (code == "b") {
    return ColumnFormat{{ElementKind::Bool, 1, false}, true};
  }
  if (const std::optional<ElementFormat> element = arrow_element_format(code)) {
    return ColumnFormat{*element, false};
  }
  return std::nullopt;
}

std::size_t Column::length() const noexcept {
  std::size_t total = 0;
  for (const Owned<ArrowArray>& chunk : chunks) {
    total += static_cast<std::size_t>(chunk->length);
  }
  return total;
}

bool Column::may_lack_values(std::size_t i) const noexcept {
  const ArrowArray& chunk = *chunks[i];
  return chunk.null_count != 0 && chunk.buffers[0] != nullptr;
}

std::optional<Column> single_array(Owned<ArrowSchema> schema, Owned<ArrowArray> array) {
  const std::optional<ColumnFormat> format = column_format(*schema);
  if (!format || !well_formed(*array)) {
    return std::nullopt;
  }
  Column column{std::move(schema), {}, *format};
  column.chunks.push_back(std::move(array));
  return column;
}

std::optional<Column> read_stream(Owned<ArrowArrayStream> stream) {
  ArrowSchema schema{};
  if (stream->get_schema(stream.get(), &schema) != 0) {
    return std::nullopt;
  }
  Owned<ArrowSchema> owned_schema(&schema);
  const std::optional<ColumnFormat> format = column_format(*owned_schema);
  if (!format) {
    return std::nullopt;
  }
  Column column{std::move(owned_schema), {}, *format};
  std::uint64_t total = 0;
  for (;;) {
    ArrowArray chunk{};
    if (stream->get_next(stream.get(), &chunk) != 0) {
      return std::nullopt;
    }
    if (chunk.release == nullptr) {
      return column;  // the end of the stream
    }
    Owned<ArrowArray> owned(&chunk);
    if (!well_formed(*owned) || static_cast<std::uint64_t>(owned->length) >
                                    std::numeric_limits<std::int64_t>::max() / sizeof(double) - total) {
      return std::nullopt;
    }
    total += static_cast<std::uint64_t>(owned->length);
    column.chunks.push_back(std::move(owned));
  }
}

std::optional<std::span<const double>> in_place_values(const ArrowArray& chunk, const ColumnFormat& format) noexcept {
  if (format.packed_bits || format.element.kind != ElementKind::Float64 || chunk.length == 0 ||
      (chunk.null_count != 0 && chunk.buffers[0] != nullptr)) {
    return std::nullopt;
  }
  const auto* first = static_cast<const double*>(chunk.buffers[1]) + chunk.offset;
  if (reinterpret_cast<std::uintptr_t>(first) % alignof(double) != 0) {
    return std::nullopt;
  }
  return std::span<const double>(first, static_cast<std::size_t>(chunk.length));
}

std::optional<std::size_t> write_values(const Column& column, Missing missing, double* out) noexcept {
  std::size_t written = 0;
  for (std::size_t i = 0; i < column.chunks.size(); ++i) {
    const ArrowArray& chunk = *column.chunks[i];
    const auto count = static_cast<std::uint64_t>(chunk.length);
    const auto offset = static_cast<std::uint64_t>(chunk.offset);
    const auto* bitmap = static_cast<const std::uint8_t*>(chunk.buffers[0]);
    const bool check = column.may_lack_values(i);
    if (check && missing == Missing::Stop) {
      if (const std::uint64_t at = first_clear_bit(bitmap, offset, offset + count); at != offset + count) {
        return written + (at - offset);
      }
    }
    if (column.format.packed_bits) {
      const auto* bits = static_cast<const std::uint8_t*>(chunk.buffers[1]);
      for (std::uint64_t k = 0; k < count; ++k) {
        out[written + k] = valid_at(bits, offset + k) ? 1.0 : 0.0;
      }
    } else {
      const std::size_t size = column.format.element.size;
      read_elements(static_cast<const char*>(chunk.buffers[1]) + offset * size,
                    static_cast<binding::numpy::npy_intp>(size), count, column.format.element, out + written);
    }
    if (check && missing == Missing::AsNaN) {
      for (std::uint64_t at = first_clear_bit(bitmap, offset, offset + count); at < offset + count;
           at = first_clear_bit(bitmap, at + 1, offset + count)) {
        out[written + (at - offset)] = std::numeric_limits<double>::quiet_NaN();
      }
    }
    written += count;
  }
  return std::nullopt;
}

}  // namespace zorvane::lib::arrow
