// Arrow columns of numbers: their formats and their chunks.
#include "lib/input/arrow_values.hpp"

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

}  // namespace zorvane::lib::arrow
