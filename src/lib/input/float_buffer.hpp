// A growable float64 buffer that hands its memory over to the array that
// wraps it (malloc/realloc/free, so that the owner type can free it).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <limits>

namespace zorvane::lib {

// Pointer for an empty buffer: non-null, aligned, addresses no storage.
inline double* empty_buffer() noexcept { return reinterpret_cast<double*>(alignof(double)); }

// Frees what a FloatBuffer handed over (nothing when its capacity was 0).
inline void free_buffer(double* data, std::size_t capacity) noexcept {
  if (capacity != 0) {
    std::free(data);
  }
}

class FloatBuffer {
 public:
  FloatBuffer() noexcept = default;
  FloatBuffer(const FloatBuffer&) = delete;
  FloatBuffer& operator=(const FloatBuffer&) = delete;
  ~FloatBuffer() { free_buffer(data_, capacity_); }

  // Room for `wanted` values, or for fewer when that much cannot be had.
  void reserve_hint(std::size_t wanted) noexcept {
    constexpr std::size_t kFallback = 4096;
    if (wanted > std::numeric_limits<std::size_t>::max() / sizeof(double) || !grow_to(wanted)) {
      static_cast<void>(grow_to(std::min(wanted, kFallback)));
    }
  }
  // Room for `count` more values, counted as written; null when memory is
  // exhausted. The caller fills all of them.
  [[nodiscard]] double* append_uninitialised(std::size_t count) noexcept {
    if (count > capacity_ - length_ && !grow_to(length_ + count)) {
      return nullptr;
    }
    double* first = data_ + length_;
    length_ += count;
    return first;
  }
  // False when memory is exhausted.
  [[nodiscard]] bool push(double value) noexcept {
    if (length_ == capacity_ && !grow_to(capacity_ < 8 ? 8 : capacity_ * 2)) {
      return false;
    }
    data_[length_++] = value;
    return true;
  }
  [[nodiscard]] double* data() const noexcept { return data_; }
  [[nodiscard]] std::size_t size() const noexcept { return length_; }
  [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
  // Hands the buffer over; this object is left empty.
  void release() noexcept {
    data_ = empty_buffer();
    length_ = capacity_ = 0;
  }

 private:
  bool grow_to(std::size_t capacity) noexcept {
    if (capacity <= capacity_) {
      return true;
    }
    if (capacity > std::numeric_limits<std::size_t>::max() / sizeof(double)) {
      return false;
    }
    void* grown = std::realloc(capacity_ == 0 ? nullptr : data_, capacity * sizeof(double));
    if (grown == nullptr) {
      return false;
    }
    data_ = static_cast<double*>(grown);
    capacity_ = capacity;
    return true;
  }

  double* data_ = empty_buffer();
  std::size_t length_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace zorvane::lib
