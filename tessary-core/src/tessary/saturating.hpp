#pragma once

#include <cstdint>
#include <limits>

namespace tessary {

// a + b, or 2^64 - 1 where the sum would wrap: the counters of the
// categorical path stop at their largest value instead of restarting at 0.
constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  const std::uint64_t sum = a + b;
  return sum < a ? std::numeric_limits<std::uint64_t>::max() : sum;
}

}  // namespace tessary
