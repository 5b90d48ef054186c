#pragma once

// What the core test files share: bit patterns, special values and a
// deterministic stream of values of every kind.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tessary/hashing.hpp"

namespace tessary {

inline constexpr double inf = std::numeric_limits<double>::infinity();
inline constexpr double nan = std::numeric_limits<double>::quiet_NaN();
inline constexpr double largest = std::numeric_limits<double>::max();
inline constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();
using Candidates = std::vector<std::pair<double, std::uint64_t>>;
using Pairs = std::vector<std::pair<std::string, std::uint64_t>>;

inline std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
inline std::optional<std::uint64_t> bits(std::optional<double> x) {
  return x ? std::optional(bits(*x)) : std::nullopt;
}

// Deterministic values: repeats from a small pool, zeros of both signs, NaN,
// infinities, and magnitudes from the zero bucket up to 2^29.
inline double value_at(std::uint64_t i) {
  const std::uint64_t r = splitmix64(i);
  switch (r % 10) {
    case 0: return static_cast<double>(r % 7);
    case 1: return (r & 64) ? 0.0 : -0.0;
    case 2: return nan;
    case 3: return (r & 64) ? inf : -inf;
    default: return std::ldexp(static_cast<double>(r >> 11) * 0x1p-53 - 0.4, static_cast<int>(r % 90) - 60);
  }
}

}  // namespace tessary
