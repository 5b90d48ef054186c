#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tessary {

// Misra-Gries summary of 64-bit keys with `capacity` counters.
//
// Algorithm: a tracked key gains its weight; an untracked key takes a free
// counter if there is one; otherwise, with m the smallest count and
// d = min(weight, m), every counter loses d, counters at 0 are dropped and
// the key is stored with weight - d if that is positive. Merge: counts of
// equal keys add; if more than `capacity` counters remain, the
// (capacity + 1)-th largest count is taken from every counter and those at
// 0 or below are dropped.
//
// Guarantee: every count is a lower bound of its key's true weight, and is
// short of it by at most total / (capacity + 1). Counts never exceed the
// total weight, which the owner keeps below 2^64.
//
// Invariants: at most `capacity` counters, keys unique, counts > 0. A
// 1024-slot index (position + 1, probed linearly from the hash's top bits)
// finds a key in about one probe; the full-table step rebuilds it, at most
// once per capacity + 1 units of weight.
class TopCounters {
 public:
  static constexpr std::size_t capacity = 256;

  void add(std::uint64_t key, std::uint64_t weight, std::uint64_t hash) noexcept {
    std::uint16_t slot = home(hash);
    for (std::uint16_t held; (held = index_[slot]) != 0; slot = (slot + 1) & (index_slots - 1)) {
      if (keys_[held - 1] == key) {
        counts_[held - 1] += weight;
        all_units_ = false;
        return;
      }
    }
    if (size_ < capacity) {
      append(slot, key, weight, home(hash));
      return;
    }
    absorb_into_full(key, weight, hash);
  }


  std::size_t size() const noexcept { return size_; }

  // (key, count) ascending by key.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> counters() const {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
    out.reserve(size_);
    for (std::size_t i = 0; i < size_; ++i) out.emplace_back(keys_[i], counts_[i]);
    std::sort(out.begin(), out.end());
    return out;
  }

  // The summary of both; hash_of(key) gives a key's hash.
  template <typename HashOf>
  void merge(const TopCounters& other, HashOf hash_of) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> all = counters();
    for (const auto& [key, n] : other.counters()) all.emplace_back(key, n);
    std::sort(all.begin(), all.end());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> combined;
    for (const auto& [key, n] : all) {
      if (!combined.empty() && combined.back().first == key) {
        combined.back().second += n;
      } else {
        combined.emplace_back(key, n);
      }
    }
    std::uint64_t cut = 0;
    if (combined.size() > capacity) {
      std::vector<std::uint64_t> counts;
      for (const auto& entry : combined) counts.push_back(entry.second);
      std::nth_element(counts.begin(), counts.begin() + capacity, counts.end(), std::greater<>());
      cut = counts[capacity];
    }
    clear();
    for (const auto& [key, n] : combined) {
      if (n > cut) add(key, n - cut, hash_of(key));
    }
  }

 private:
  static constexpr std::size_t index_slots = 1024;

  static std::uint16_t home(std::uint64_t hash) noexcept { return static_cast<std::uint16_t>(hash >> 54); }

  void append(std::uint16_t free_slot, std::uint64_t key, std::uint64_t count, std::uint16_t home_slot) noexcept {
    const std::size_t position = size_;
    all_units_ = all_units_ && count == 1;
    keys_[position] = key;
    counts_[position] = count;
    homes_[position] = home_slot;
    index_[free_slot] = static_cast<std::uint16_t>(position + 1);
    size_ = position + 1;
  }

  void clear() noexcept {
    index_.fill(0);
    size_ = 0;
    all_units_ = true;
  }

  std::uint16_t free_slot_from(std::uint16_t slot) const noexcept {
    while (index_[slot] != 0) slot = (slot + 1) & (index_slots - 1);
    return slot;
  }

  [[gnu::noinline]] void absorb_into_full(std::uint64_t key, std::uint64_t weight, std::uint64_t hash) noexcept {
    if (all_units_) {
      // Every counter is 1 and drops to 0: no scan needed.
      clear();
      if (weight != 1) append(home(hash), key, weight - 1, home(hash));
      return;
    }
    std::uint64_t smallest = counts_[0];
    for (std::size_t i = 1; i < capacity; ++i) smallest = std::min(smallest, counts_[i]);
    const std::uint64_t decrement = std::min(weight, smallest);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < capacity; ++i) {
      const std::uint64_t count = counts_[i] - decrement;
      keys_[kept] = keys_[i];
      counts_[kept] = count;
      homes_[kept] = homes_[i];
      kept += count != 0;
    }
    index_.fill(0);
    for (std::size_t i = 0; i < kept; ++i) index_[free_slot_from(homes_[i])] = static_cast<std::uint16_t>(i + 1);
    size_ = kept;
    all_units_ = false;  // not known
    if (weight != decrement) append(free_slot_from(home(hash)), key, weight - decrement, home(hash));
  }

  std::array<std::uint64_t, capacity> keys_{};
  std::array<std::uint64_t, capacity> counts_{};
  std::array<std::uint16_t, capacity> homes_{};
  std::array<std::uint16_t, index_slots> index_{};
  std::size_t size_ = 0;
  bool all_units_ = true;  // true only while every count is 1
};

}  // namespace tessary
