#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace tessary {

// Arrow validity bitmaps: bit i, counted from the least significant bit of
// byte i / 8, is 1 when slot i holds a value and 0 when it is null. As a
// 64-bit word, that is little-endian order.
inline std::uint64_t little_endian_word(std::uint64_t word) noexcept {
  if constexpr (std::endian::native == std::endian::big) return __builtin_bswap64(word);
  return word;
}

// Calls on_valid(i) for every valid slot i of [begin, end), in ascending
// order, and returns the number of null slots. A null `validity` means that
// every slot is valid. The bitmap must cover slot end - 1.
//
// Whole 64-slot words are read at once and only their set bits visited:
// one hard-to-predict branch per word instead of one per null slot. Always
// inlined, so that the caller's running state, captured by reference,
// stays in registers through the loop.
template <typename OnValid>
[[gnu::always_inline]] inline std::uint64_t for_each_valid_slot(const std::uint8_t* validity, std::int64_t begin,
                                                                std::int64_t end, OnValid&& on_valid) {
  if (validity == nullptr) {
    for (std::int64_t i = begin; i < end; ++i) on_valid(i);
    return 0;
  }
  std::uint64_t nulls = 0;
  const auto visit = [&](std::int64_t i) {
    if ((validity[i >> 3] >> (i & 7)) & 1) {
      on_valid(i);
    } else {
      ++nulls;
    }
  };
  std::int64_t i = begin;
  for (; i < end && (i & 63) != 0; ++i) visit(i);
  for (; end - i >= 64; i += 64) {
    std::uint64_t word;
    std::memcpy(&word, validity + (i >> 3), sizeof(word));
    word = little_endian_word(word);
    nulls += static_cast<std::uint64_t>(64 - std::popcount(word));
    for (; word != 0; word &= word - 1) on_valid(i + std::countr_zero(word));
  }
  for (; i < end; ++i) visit(i);
  return nulls;
}

}  // namespace tessary
