#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

namespace tessary::text_detail {

// The longest label kept for a value: its first 32 bytes, raw (possibly cut
// inside a multi-byte character).
inline constexpr std::size_t label_bytes = 32;

// Copies n <= 32 bytes with at most two fixed-size, possibly overlapping
// moves (a variable-size copy of a few bytes costs far more).
inline void copy_label(char* to, const char* from, std::size_t n) noexcept {
  if (n >= 16) {
    std::memcpy(to, from, 16);
    std::memcpy(to + n - 16, from + n - 16, 16);
  } else if (n >= 8) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else {
    for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
  }
}

// Counts per 64-bit value hash, each with the label of the value that
// created it, for at most a few thousand hashes.
//
// The entries live in parallel arrays (hash, count, label size, 32-byte
// label buffer) of a power-of-two capacity from 8 on, doubled when full; an
// open-addressing index of twice the capacity, linear probing, holds entry
// number + 1 (0: free) at the low bits of the hash. Lookups and count updates
// allocate nothing; an insert allocates only when it doubles the capacity.
// No operation depends on where an entry sits: every result is read by
// hash, so equal contents behave identically however they were built.
//
// Invariants: size() <= capacity <= 32768, every index slot names a distinct
// entry, every entry is named by exactly one slot, label sizes <= 32.
class HashedCounts {
 public:
  static constexpr std::size_t npos = std::numeric_limits<std::size_t>::max();

  std::size_t size() const noexcept { return size_; }

  // The entry of `hash`, or npos.
  [[gnu::always_inline]] std::size_t find(std::uint64_t hash) const noexcept {
    if (size_ == 0) return npos;
    const std::size_t mask = index_.size() - 1;
    for (std::size_t p = slot_of(hash) & mask;; p = (p + 1) & mask) {
      const std::uint16_t s = index_[p];
      if (s == 0) return npos;
      if (hashes_[s - 1u] == hash) return s - 1u;
    }
  }

  void add(std::size_t entry, std::uint64_t weight) noexcept { counts_[entry] += weight; }

  // A new entry; `hash` must not be present. Keeps the first 32 bytes of
  // `label`.
  void insert(std::uint64_t hash, std::string_view label, std::uint64_t count) {
    if (size_ == hashes_.size()) grow();
    const std::size_t e = size_++;
    hashes_[e] = hash;
    counts_[e] = count;
    sizes_[e] = static_cast<std::uint8_t>(std::min(label.size(), label_bytes));
    copy_label(labels_.data() + e * label_bytes, label.data(), sizes_[e]);
    place(e);
  }

  std::uint64_t hash(std::size_t e) const noexcept { return hashes_[e]; }
  std::uint64_t count(std::size_t e) const noexcept { return counts_[e]; }
  std::string_view label(std::size_t e) const noexcept { return {labels_.data() + e * label_bytes, sizes_[e]}; }

  // The entries in ascending hash order.
  std::vector<std::size_t> by_hash() const {
    std::vector<std::size_t> order(size_);
    for (std::size_t e = 0; e < size_; ++e) order[e] = e;
    std::sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) { return hashes_[a] < hashes_[b]; });
    return order;
  }

  std::size_t heap_bytes() const noexcept {
    return hashes_.capacity() * 8 + counts_.capacity() * 8 + sizes_.capacity() + labels_.capacity() +
           index_.capacity() * 2;
  }

 private:
  static std::size_t slot_of(std::uint64_t hash) noexcept { return static_cast<std::size_t>(hash ^ (hash >> 29)); }

  void place(std::size_t e) noexcept {
    const std::size_t mask = index_.size() - 1;
    std::size_t p = slot_of(hashes_[e]) & mask;
    while (index_[p] != 0) p = (p + 1) & mask;
    index_[p] = static_cast<std::uint16_t>(e + 1);
  }

  // Doubles the capacity; builds apart, so a failed allocation changes nothing.
  void grow() {
    const std::size_t capacity = std::max<std::size_t>(8, 2 * hashes_.size());
    std::vector<std::uint64_t> hashes(capacity);
    std::vector<std::uint64_t> counts(capacity);
    std::vector<std::uint8_t> sizes(capacity);
    std::vector<char> labels(capacity * label_bytes);
    std::vector<std::uint16_t> index(2 * capacity);
    std::copy_n(hashes_.begin(), size_, hashes.begin());
    std::copy_n(counts_.begin(), size_, counts.begin());
    std::copy_n(sizes_.begin(), size_, sizes.begin());
    std::copy_n(labels_.begin(), size_ * label_bytes, labels.begin());
    hashes_.swap(hashes);
    counts_.swap(counts);
    sizes_.swap(sizes);
    labels_.swap(labels);
    index_.swap(index);
    for (std::size_t e = 0; e < size_; ++e) place(e);
  }

  std::vector<std::uint64_t> hashes_;  // size: the capacity
  std::vector<std::uint64_t> counts_;
  std::vector<std::uint8_t> sizes_;
  std::vector<char> labels_;
  std::vector<std::uint16_t> index_;  // twice the capacity
  std::size_t size_ = 0;
};

// The first 32 bytes of a value, as the payload of a top counter.
struct TextLabel {
  using Source = std::string_view;

  std::uint8_t size = 0;
  char bytes[label_bytes] = {};

  void assign(std::string_view value) noexcept {
    size = static_cast<std::uint8_t>(std::min(value.size(), label_bytes));
    copy_label(bytes, value.data(), size);
  }
  std::string_view view() const noexcept { return {bytes, size}; }
};

}  // namespace tessary::text_detail
