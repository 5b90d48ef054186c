#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tessary/categorical_sketches/utf8.hpp"

namespace tessary {

// One tracked string: the first bytes of the string that created it (raw,
// possibly cut inside a multi-byte character) and its occurrence count.
struct StringCandidate {
  std::string label;
  std::uint64_t count = 0;
};

// Misra-Gries heavy hitters over hashed strings, with retained labels.
//
// Strings are identified by their 64-bit string_hash. Up to `capacity`
// candidates are tracked; an observation of a tracked string adds its weight.
// An untracked string is inserted while there is room. When the summary is
// full, d = min(weight, smallest count) is subtracted from every candidate,
// those that reach 0 are dropped, and the new string is inserted with
// weight - d only if that is positive. Each reported count is a lower bound
// of its string's true frequency, short by at most W / (capacity + 1) for a
// stream of total weight W, so every string more frequent than that is
// tracked.
//
// A candidate keeps the first `max_retained_label_bytes` bytes of the string
// that created it; a later string with the same hash counts under that label.
// Labels are raw bytes and are decoded to UTF-8 with U+FFFD replacement only
// when reported.
//
// Invariants: at most `capacity` candidates; every stored count is at least
// 1; every label has at most `max_retained_label_bytes` bytes. Counts
// saturate at 2^64 - 1.
//
// Layout: the candidates live in a fixed array of slots with inline label
// buffers, so that storing a candidate never allocates, and a small
// open-addressing index maps hashes to slots. Reports sort by hash before
// anything else, so they equal a walk of a map in ascending hash order.
class StringHeavyHittersSketch {
 public:
  static constexpr std::size_t capacity = 32;
  static constexpr std::size_t max_retained_label_bytes = 256;

  // Records `weight` occurrences of the string with hash `hash`. Copies at
  // most max_retained_label_bytes of `label`, and only when it starts a new
  // candidate.
  void observe_hashed(std::uint64_t hash, std::string_view label, std::uint64_t weight) noexcept {
    if (weight == 0) return;
    std::size_t position = home_position(hash);
    for (; index_[position] != empty_position; position = next_position(position)) {
      const std::size_t slot = index_[position] - 1u;
      if (hashes_[slot] == hash) {
        counts_[slot] = saturating_add(counts_[slot], weight);
        return;
      }
    }
    if (occupied_ != all_slots) {
      insert(position, hash, label, weight);
      return;
    }
    // Every count is at least 1, so unit weights need no search for the
    // smallest.
    const std::uint64_t decrement = weight == 1 ? 1 : std::min(weight, smallest_count());
    SlotMask survivors = 0;
    for (std::size_t i = 0; i < capacity; ++i) {
      counts_[i] -= decrement;
      survivors |= static_cast<SlotMask>(counts_[i] != 0) << i;
    }
    if (survivors != occupied_) {
      occupied_ = survivors;
      rebuild_index();
    }
    if (weight == decrement) return;
    // The candidates that held the smallest count are gone, so a slot is free.
    insert(free_position(hash), hash, label, weight - decrement);
  }

  // (decoded label, count) for every candidate: count descending, then label
  // by its UTF-8 bytes ascending (a proper prefix first), then hash ascending.
  std::vector<std::pair<std::string, std::uint64_t>> candidates() const {
    struct Entry {
      std::uint64_t hash;
      std::uint64_t count;
      std::string text;
    };
    std::vector<Entry> entries;
    entries.reserve(size());
    for_each_slot([&](std::size_t slot) {
      entries.push_back({hashes_[slot], counts_[slot], utf8_with_replacement(label(slot))});
    });
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
      if (a.count != b.count) return a.count > b.count;
      // std::string compares chars as unsigned bytes.
      if (const int c = a.text.compare(b.text); c != 0) return c < 0;
      return a.hash < b.hash;
    });
    std::vector<std::pair<std::string, std::uint64_t>> out;
    out.reserve(entries.size());
    for (Entry& e : entries) out.emplace_back(std::move(e.text), e.count);
    return out;
  }

  // The tracked candidates with their raw labels, in ascending hash order.
  std::vector<std::pair<std::uint64_t, StringCandidate>> counters() const {
    std::vector<std::pair<std::uint64_t, StringCandidate>> out;
    out.reserve(size());
    for_each_slot([&](std::size_t slot) {
      out.push_back({hashes_[slot], StringCandidate{std::string(label(slot)), counts_[slot]}});
    });
    std::sort(out.begin(), out.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return out;
  }

  std::size_t size() const noexcept { return static_cast<std::size_t>(std::popcount(occupied_)); }

 private:
  using SlotMask = std::uint32_t;  // bit i: slot i holds a candidate
  static_assert(capacity == std::numeric_limits<SlotMask>::digits);
  static constexpr SlotMask all_slots = ~SlotMask{0};

  // Four positions per slot keep the index at most a quarter full, so that
  // probes are short; an entry is a slot number plus one.
  static constexpr std::size_t index_size = 4 * capacity;
  static constexpr std::uint8_t empty_position = 0;

  static std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    const std::uint64_t sum = a + b;
    return sum < a ? std::numeric_limits<std::uint64_t>::max() : sum;
  }

  // Low hash bits: the high ones already select HyperLogLog registers.
  static std::size_t home_position(std::uint64_t hash) noexcept {
    return static_cast<std::size_t>(hash) & (index_size - 1);
  }

  static std::size_t next_position(std::size_t position) noexcept {
    return (position + 1) & (index_size - 1);
  }

  std::size_t free_position(std::uint64_t hash) const noexcept {
    std::size_t position = home_position(hash);
    while (index_[position] != empty_position) position = next_position(position);
    return position;
  }

  // Linear probing cannot simply forget an entry, so after removals the
  // index is built anew from the surviving slots.
  void rebuild_index() noexcept {
    index_.fill(empty_position);
    for_each_slot([&](std::size_t slot) {
      index_[free_position(hashes_[slot])] = static_cast<std::uint8_t>(slot + 1);
    });
  }

  std::uint64_t smallest_count() const noexcept {
    std::uint64_t smallest = std::numeric_limits<std::uint64_t>::max();
    for (std::size_t i = 0; i < capacity; ++i) smallest = std::min(smallest, counts_[i]);
    return smallest;
  }

  // `position` is the free index position where the probe for `hash` ended.
  void insert(std::size_t position, std::uint64_t hash, std::string_view label,
              std::uint64_t count) noexcept {
    const auto slot = static_cast<std::size_t>(std::countr_zero(static_cast<SlotMask>(~occupied_)));
    const std::size_t n = std::min(label.size(), max_retained_label_bytes);
    copy_label_bytes(labels_[slot].data(), label.data(), n);
    label_sizes_[slot] = static_cast<std::uint16_t>(n);
    hashes_[slot] = hash;
    counts_[slot] = count;
    occupied_ |= SlotMask{1} << slot;
    index_[position] = static_cast<std::uint8_t>(slot + 1);
  }

  // Copies with fixed-size moves that overlap as needed, so that short labels
  // of varying length take few and well-predicted branches; a general
  // memcpy of variable length made insertions a third slower.
  static void copy_label_bytes(char* dst, const char* src, std::size_t n) noexcept {
    if (n < 4) {
      if (n != 0) {
        dst[0] = src[0];
        dst[n / 2] = src[n / 2];
        dst[n - 1] = src[n - 1];
      }
    } else if (n <= 16) {
      const std::size_t last = n - 4;
      const std::size_t second = std::min<std::size_t>(4, last);
      const std::size_t third = std::min<std::size_t>(8, last);
      std::memcpy(dst, src, 4);
      std::memcpy(dst + second, src + second, 4);
      std::memcpy(dst + third, src + third, 4);
      std::memcpy(dst + last, src + last, 4);
    } else {
      for (std::size_t i = 0; i + 16 < n; i += 16) std::memcpy(dst + i, src + i, 16);
      std::memcpy(dst + n - 16, src + n - 16, 16);
    }
  }

  std::string_view label(std::size_t slot) const noexcept {
    return {labels_[slot].data(), label_sizes_[slot]};
  }

  template <typename F>
  void for_each_slot(F&& f) const {
    for (SlotMask rest = occupied_; rest != 0; rest &= rest - 1) {
      f(static_cast<std::size_t>(std::countr_zero(rest)));
    }
  }

  // Hot fields first; a free slot's fields are stale and never read.
  std::array<std::uint64_t, capacity> hashes_{};
  std::array<std::uint64_t, capacity> counts_{};  // at least 1 in occupied slots
  std::array<std::uint8_t, index_size> index_{};
  SlotMask occupied_ = 0;
  std::array<std::uint16_t, capacity> label_sizes_{};
  std::array<std::array<char, max_retained_label_bytes>, capacity> labels_{};
};

}  // namespace tessary
