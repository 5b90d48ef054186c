#pragma once

#include <bit>
#include <cstddef>
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
// every slot is valid. The bitmap must cover slot end - 1; no byte after the
// one that holds it is read.
//
// The bitmap is read 64 slots at a time, the first and last words masked to
// the range, and only the set bits are visited: one hard-to-predict branch
// per word instead of one per null slot. on_valid appears once per loop, so
// that it can be inlined without multiplying the code; with it inlined (an
// always_inline lambda), the caller's running state, captured by reference,
// stays in registers through the loop.
template <typename OnValid>
[[gnu::always_inline]] inline std::uint64_t for_each_valid_slot(const std::uint8_t* validity, std::int64_t begin,
                                                                std::int64_t end, OnValid&& on_valid) {
  if (validity == nullptr) {
    for (std::int64_t i = begin; i < end; ++i) on_valid(i);
    return 0;
  }
  if (begin >= end) return 0;
  std::uint64_t nulls = 0;
  const std::int64_t last = (end - 1) >> 6;
  for (std::int64_t w = begin >> 6; w <= last; ++w) {
    const std::int64_t base = w << 6;
    std::uint64_t word = 0;
    if (w < last) [[likely]] {
      std::memcpy(&word, validity + (base >> 3), sizeof(word));
    } else {
      // Only the bytes up to the one holding slot end - 1.
      std::memcpy(&word, validity + (base >> 3), static_cast<std::size_t>(((end - base) + 7) >> 3));
    }
    word = little_endian_word(word);
    const std::int64_t low = base < begin ? begin - base : 0;
    const std::int64_t high = end - base < 64 ? end - base : 64;
    word &= ~std::uint64_t{0} << low;
    if (high < 64) word &= (std::uint64_t{1} << high) - 1;
    nulls += static_cast<std::uint64_t>((high - low) - std::popcount(word));
    for (; word != 0; word &= word - 1) on_valid(base + std::countr_zero(word));
  }
  return nulls;
}

}  // namespace tessary
