#pragma once

#include <cstdint>
#include <limits>
#include <stdexcept>

#include "tessary/numeric_state.hpp"

namespace tessary {

// A merge or an update that would take a counter past 2^64 - 1. Thrown
// before anything changes, so the state stays as it was; the binding
// reports it as OverflowError.
class CountOverflow : public std::overflow_error {
 public:
  using std::overflow_error::overflow_error;
};

inline constexpr const char* merged_counts_overflow = "the merged counts would exceed 2**64 - 1";
inline constexpr const char* updated_counts_overflow = "the updated counts would exceed 2**64 - 1";

// Whether a + b passes 2^64 - 1.
constexpr bool count_sum_overflows(std::uint64_t a, std::uint64_t b) noexcept {
  return b > std::numeric_limits<std::uint64_t>::max() - a;
}

// Throws CountOverflow unless every counter of NumericState::merge(a, b)
// fits. The quantile bins and heavy hitters of a state count no more than
// its finite values, so this covers their sums too.
inline void require_mergeable_counts(const NumericState& a, const NumericState& b) {
  if (count_sum_overflows(a.count, b.count) || count_sum_overflows(a.missing, b.missing) ||
      count_sum_overflows(a.infinite, b.infinite)) {
    throw CountOverflow(merged_counts_overflow);
  }
}

}  // namespace tessary
