// The Arrow C data interface: the three records through which Arrow
// producers (pyarrow, polars, pandas, DuckDB, ...) hand over columnar memory,
// as the interface fixes them. Declared here, since nothing of Arrow is
// included or linked. The memory is in this machine's byte order.
#pragma once

#include <cstdint>

namespace zorvane::lib::arrow {

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  std::int64_t flags;
  std::int64_t n_children;
  ArrowSchema** children;
  ArrowSchema* dictionary;
  void (*release)(ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  std::int64_t length;
  std::int64_t null_count;  // -1: not computed
  std::int64_t offset;
  std::int64_t n_buffers;
  std::int64_t n_children;
  const void** buffers;
  ArrowArray** children;
  ArrowArray* dictionary;
  void (*release)(ArrowArray*);
  void* private_data;
};

struct ArrowArrayStream {
  int (*get_schema)(ArrowArrayStream*, ArrowSchema* out);
  int (*get_next)(ArrowArrayStream*, ArrowArray* out);
  const char* (*get_last_error)(ArrowArrayStream*);
  void (*release)(ArrowArrayStream*);
  void* private_data;
};

// The names the PyCapsule interface gives the capsules of each record.
inline constexpr const char* kSchemaCapsule = "arrow_schema";
inline constexpr const char* kArrayCapsule = "arrow_array";
inline constexpr const char* kStreamCapsule = "arrow_array_stream";

}  // namespace zorvane::lib::arrow
