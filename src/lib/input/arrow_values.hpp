// A column of numbers handed over through the Arrow C data interface: its
// format and its chunks, taken over from the producer (lib/input/memory.hpp
// reads their values).
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "lib/input/element_format.hpp"
#include "lib/input/arrow_abi.hpp"

namespace zorvane::lib::arrow {

// A record taken over from its producer: released (its release callback
// called) when this goes, unless moved on.
template <class Record>
class Owned {
 public:
  Owned() noexcept : record_{} {}
  // Takes `source` over and marks it released, as the interface's move does.
  explicit Owned(Record* source) noexcept : record_(*source) { source->release = nullptr; }
  Owned(Owned&& other) noexcept : record_(other.record_) { other.record_.release = nullptr; }
  Owned& operator=(Owned&&) = delete;
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() {
    if (record_.release != nullptr) {
      record_.release(&record_);
    }
  }
  [[nodiscard]] Record* get() noexcept { return &record_; }
  [[nodiscard]] const Record& operator*() const noexcept { return record_; }
  [[nodiscard]] const Record* operator->() const noexcept { return &record_; }
  [[nodiscard]] bool released() const noexcept { return record_.release == nullptr; }

 private:
  Record record_;
};

// How a column's values are laid out: one of the plain element formats, or
// booleans packed eight to a byte.
struct ColumnFormat {
  ElementFormat element;
  bool packed_bits;
};

// The format of a flat column of booleans, integers or floats (Arrow's
// "b", "c" to "L", "f", "g"); nullopt for every other type (half floats,
// decimals, strings, dates, dictionaries, nested and extension types).
[[nodiscard]] std::optional<ColumnFormat> column_format(const ArrowSchema& schema) noexcept;

// A column's chunks in order; empty chunks included.
struct Column {
  Owned<ArrowSchema> schema;
  std::vector<Owned<ArrowArray>> chunks;
  ColumnFormat format;

  [[nodiscard]] std::size_t length() const noexcept;
  // Whether chunk `i` has a value missing somewhere.
  [[nodiscard]] bool may_lack_values(std::size_t i) const noexcept;
};

// Takes the stream's schema and every chunk over (the stream is released
// here); nullopt when the producer fails, a chunk is malformed, or the type
// is not one of column_format's.
[[nodiscard]] std::optional<Column> read_stream(Owned<ArrowArrayStream> stream);
// The same for a single array and its schema.
[[nodiscard]] std::optional<Column> single_array(Owned<ArrowSchema> schema, Owned<ArrowArray> array);

}  // namespace zorvane::lib::arrow
