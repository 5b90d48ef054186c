#pragma once

#include <bit>
#include <cstdint>

namespace tessary {

// The system's hash functions, shared by every sketch that hashes: all
// arithmetic is on unsigned 64-bit integers with wrap-around, so a hash is
// the same on every machine.

// SplitMix64 output function: the system's 64-bit mixing step.
constexpr std::uint64_t splitmix64(std::uint64_t z) noexcept {
  z += 0x9e3779b97f4a7c15ULL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// Bit pattern of a double with both zeros mapped to 0, so that +0.0 and
// -0.0 are one value for hashing and heavy hitters.
inline std::uint64_t canonical_bits(double x) noexcept {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  // Mask arithmetic rather than a test, so that zeros cost no branch.
  const std::uint64_t magnitude = bits << 1;
  const std::uint64_t is_zero = (~magnitude & (magnitude - 1)) >> 63;
  return bits & (is_zero - 1);
}

// Hash of a finite double.
inline std::uint64_t value_hash(double x) noexcept { return splitmix64(canonical_bits(x)); }

}  // namespace tessary
