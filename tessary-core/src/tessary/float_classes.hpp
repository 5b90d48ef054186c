#pragma once

#include <bit>
#include <cstdint>

namespace tessary {

// Classification of doubles on their bit pattern: the magnitude bits of
// +/-infinity and NaN lie above those of the largest finite double. One
// integer comparison, with no dependence on the floating-point environment.

// True for +/-infinity. Callers test NaN first.
inline bool is_infinite_bits(double x) noexcept {
  return (std::bit_cast<std::uint64_t>(x) & 0x7fffffffffffffffULL) > 0x7fefffffffffffffULL;
}

// False for NaN and +/-infinity, true for every other double.
inline bool is_finite_value(double x) noexcept {
  return (std::bit_cast<std::uint64_t>(x) & 0x7fffffffffffffffULL) <= 0x7fefffffffffffffULL;
}

}  // namespace tessary
