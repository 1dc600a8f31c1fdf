// The default largest lag, d = floor(pow(double(n), 0.2)), in integers.
//
// Why the integers agree with a correctly rounded pow. Let y = pow(n_f, a)
// exactly, with n_f = double(n) and a = 0.2 + 2**-54/5 (0.2 as a double is
// 3602879701896397 * 2**-54, a little above 0.2), and RN(y) its correctly
// rounded value. The map n -> floor(RN(y)) never decreases, so it is fixed by
// its thresholds N(k), the smallest n with floor(RN(y)) >= k. At n = k**5
// pow gives k (y is k, or above it by a factor 1 + 2**-54/5 * ln n), so
// N(k) <= k**5. N(k) falls below k**5 when y, still below k there, lies
// within half a unit in the last place of k; since
//   y(k**5 - s) ~ k - k s / (5 k**5) + k (2**-54/5) ln(k**5),
// that takes s up to about k**5 (2**-54 ln(k**5) + 5 ulp(k) / (2k)), which
// reaches 1 first at k = 854 (n = 454,244,160,989,023, 3.6 PB of float64
// values) and stays below 2**16 up to k = 7131. So d is the integer fifth
// root r of n, plus one when n has reached the threshold of r + 1; the
// shortfalls k**5 - N(k) from k = 854 on come from a table computed with
// 300-bit arithmetic (tools/default_lag_table.py) and checked against the C
// library's pow by the tests.
#include "statistical_tests/escanciano_lobato/default_lag.hpp"

#include "statistical_tests/escanciano_lobato/default_lag_table.hpp"

namespace zorvane::statistical_tests::escanciano_lobato {
namespace {

namespace table = default_lag_table;

constexpr std::uint64_t fifth_power(std::uint64_t k) noexcept { return k * k * k * k * k; }

// Largest r with r**5 <= n, for 1 <= n: r lies in [1, kLargestK].
std::uint64_t integer_fifth_root(std::uint64_t n) noexcept {
  std::uint64_t low = 1;  // low**5 <= n
  std::uint64_t high = table::kLargestK + 1;  // high**5 > n, or high past the range
  while (high - low > 1) {
    const std::uint64_t middle = low + (high - low) / 2;
    if (fifth_power(middle) <= n) {
      low = middle;
    } else {
      high = middle;
    }
  }
  return low;
}

// 7131**5 = 18,439,629,140,666,724,651 < 2**64: no fifth power here wraps
static_assert(fifth_power(table::kLargestK) / table::kLargestK / table::kLargestK / table::kLargestK / table::kLargestK ==
              table::kLargestK);
static_assert(table::kFirstShortK + table::kShortfall.size() == table::kLargestK + 1);

}  // namespace

namespace {

std::uint64_t computed_default_lag(std::uint64_t n) noexcept {
  const std::uint64_t root = integer_fifth_root(n);
  const std::uint64_t next = root + 1;
  if (next < table::kFirstShortK || next > table::kLargestK) {
    return root;
  }
  const std::uint64_t threshold = fifth_power(next) - table::kShortfall[next - table::kFirstShortK];
  return n >= threshold ? next : root;
}

}  // namespace

// Remembered for the last n this thread asked for, as ln n is for the
// penalty: many series of one length compute it once.
std::uint64_t default_lag(std::uint64_t n) noexcept {
  thread_local std::uint64_t remembered_n = 0;
  thread_local std::uint64_t remembered_lag = 0;  // default_lag(0) = 0
  if (n != remembered_n) {
    remembered_lag = computed_default_lag(n);
    remembered_n = n;
  }
  return remembered_lag;
}

}  // namespace zorvane::statistical_tests::escanciano_lobato
