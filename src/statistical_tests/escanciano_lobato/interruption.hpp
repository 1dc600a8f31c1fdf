// A request to stop a long computation, asked of the caller between chunks of
// work and paced by the work done, so that the asking costs nothing
// measurable and a short series is never asked about at all.
#pragma once

#include <cstdint>

namespace zorvane::statistical_tests::escanciano_lobato {

// Work is counted in units of about a nanosecond or less: one value of a pass
// over the series, one (t, k) pair of the robust terms. The caller's check
// runs once every kUnitsBetweenChecks units, that is every 0.5 to 5 ms of
// work on the machines measured (0.1 to 0.3 ns a pair in the vector
// kernels, about 1 ns a value in the mean's chain of adds); a test of fewer
// units than that (n d below about four million) never calls it.
inline constexpr std::uint64_t kUnitsBetweenChecks = std::uint64_t{1} << 22;

class Interruption {
 public:
  // True: stop. Runs on the computing thread; must not throw.
  using Check = bool (*)(void* context) noexcept;

  // Never stops.
  Interruption() noexcept = default;
  Interruption(Check check, void* context) noexcept : check_(check), context_(context) {}
  Interruption(const Interruption&) = delete;
  Interruption& operator=(const Interruption&) = delete;

  // Counts `units` of work done; true once the computation is to stop. After
  // the first true the check is not called again and every call says true.
  [[nodiscard]] bool advance(std::uint64_t units) noexcept {
    since_check_ += units;
    if (since_check_ >= kUnitsBetweenChecks && !stopped_) [[unlikely]] {
      since_check_ = 0;
      stopped_ = check_ != nullptr && check_(context_);
    }
    return stopped_;
  }

  [[nodiscard]] bool stopped() const noexcept { return stopped_; }

 private:
  Check check_ = nullptr;
  void* context_ = nullptr;
  std::uint64_t since_check_ = 0;
  bool stopped_ = false;
};

}  // namespace zorvane::statistical_tests::escanciano_lobato
