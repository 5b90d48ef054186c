#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "tessary/hashing.hpp"

namespace tessary {

inline constexpr std::uint64_t fnv1a64_offset_basis = 0xcbf29ce484222325ULL;
inline constexpr std::uint64_t fnv1a64_prime = 0x100000001b3ULL;

// Folds bytes into a running FNV-1a 64 value. Feeding a string in pieces
// gives the same value as feeding it whole, so a caller can hash while it
// copies.
constexpr std::uint64_t fnv1a64_update(std::uint64_t f, const std::uint8_t* data,
                                       std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    f = (f ^ data[i]) * fnv1a64_prime;
  }
  return f;
}

// Turns the FNV-1a 64 value of a whole string and its full byte length into
// the string's hash. FNV alone mixes its last bytes poorly into the high
// bits, which select HyperLogLog registers; the final SplitMix64 spreads
// them, and the length keeps strings apart whose FNV values collide.
constexpr std::uint64_t string_hash_finish(std::uint64_t fnv, std::uint64_t byte_length) noexcept {
  return splitmix64(fnv ^ splitmix64(byte_length));
}

// Hash of a string's raw bytes, taken as they stand (no UTF-8 validation or
// normalisation): SplitMix64 of (FNV-1a 64 of the bytes XOR SplitMix64 of
// the byte count).
constexpr std::uint64_t string_hash(const std::uint8_t* data, std::size_t n) noexcept {
  return string_hash_finish(fnv1a64_update(fnv1a64_offset_basis, data, n), n);
}

constexpr std::uint64_t string_hash(std::span<const std::uint8_t> bytes) noexcept {
  return string_hash(bytes.data(), bytes.size());
}

constexpr std::uint64_t string_hash(std::string_view bytes) noexcept {
  // A separate loop, because a constant expression cannot reinterpret the
  // chars as bytes.
  std::uint64_t f = fnv1a64_offset_basis;
  for (char c : bytes) {
    f = (f ^ static_cast<unsigned char>(c)) * fnv1a64_prime;
  }
  return string_hash_finish(f, bytes.size());
}

}  // namespace tessary
