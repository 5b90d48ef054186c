#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "tessary/hashing.hpp"
#include "tessary/sketches/misra_gries_merge.hpp"

namespace tessary {

// Misra-Gries heavy-hitter summary of float64 values, keyed by their
// canonical bit pattern (see canonical_bits), with at most 32 counters.
//
// A key that is tracked gains its weight; an untracked key takes a free
// counter if there is one. Otherwise, with m the smallest count and
// d = min(weight, m), every counter loses d, counters that reach 0 are
// dropped, and the key is stored with weight - d only if that is positive.
// Every count is a lower bound of its key's true total weight, and any key
// whose weight exceeds total / 33 is tracked.
//
// Invariants: at most `capacity` counters; every tracked key is unique.
//
// Storage: the counters sit densely in small arrays (cheap to scan and
// compact); a 256-slot byte index, probed linearly from the top bits of
// splitmix64(key), finds a key's counter in about one probe. The full-table
// step scans every counter and rebuilds the index, which happens at most once
// per 33 units of weight; while every counter is known to be 1 (a stream of
// distinct values) it skips the scan and just empties the table.
class HeavyHittersSketch {
 public:
  static constexpr std::size_t capacity = 32;

  HeavyHittersSketch() = default;

  // Adds `weight` occurrences of `key`.
  void observe_weighted(std::uint64_t key, std::uint64_t weight) noexcept {
    observe_weighted(key, weight, splitmix64(key));
  }

  // observe_weighted() for a caller that already holds key_hash ==
  // splitmix64(key) (for a value key, value_hash of the value).
  void observe_weighted(std::uint64_t key, std::uint64_t weight, std::uint64_t key_hash) noexcept {
    if (weight == 0) return;
    std::uint8_t slot = home_slot(key_hash);
    for (std::uint8_t held; (held = index_[slot]) != 0; ++slot) {  // slot wraps at 256
      if (keys_[held - 1] == key) {
        counts_[held - 1] += weight;
        all_units_ = false;
        return;
      }
    }
    if (size_ < capacity) {
      append(slot, key, weight, key_hash);
      return;
    }
    absorb_into_full(key, weight, key_hash);
  }

  // (value, count) of every counter, count descending, then value ascending
  // in the IEEE-754 total order.
  std::vector<std::pair<double, std::uint64_t>> candidates() const {
    std::vector<std::pair<double, std::uint64_t>> out;
    out.reserve(size_);
    for (std::size_t i = 0; i < size_; ++i) out.emplace_back(std::bit_cast<double>(keys_[i]), counts_[i]);
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
      if (a.second != b.second) return a.second > b.second;
      return total_order_key(a.first) < total_order_key(b.first);
    });
    return out;
  }

  std::size_t size() const noexcept { return size_; }

 private:
  static std::uint8_t home_slot(std::uint64_t key_hash) noexcept {
    return static_cast<std::uint8_t>(key_hash >> 56);
  }

  void append(std::uint8_t free_slot, std::uint64_t key, std::uint64_t count, std::uint64_t key_hash) noexcept {
    const std::size_t position = size_;  // read once: the stores below may alias it
    keys_[position] = key;
    counts_[position] = count;
    all_units_ = all_units_ && count == 1;
    homes_[position] = home_slot(key_hash);
    index_[free_slot] = static_cast<std::uint8_t>(position + 1);
    size_ = position + 1;
  }

  // Orders doubles as the IEEE-754 total order does (-0.0 before +0.0).
  static std::int64_t total_order_key(double value) noexcept {
    const std::int64_t bits = std::bit_cast<std::int64_t>(value);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
  }

  // The Misra-Gries step for an untracked key arriving at a full table.
  [[gnu::noinline]] void absorb_into_full(std::uint64_t key, std::uint64_t weight,
                                          std::uint64_t key_hash) noexcept {
    if (all_units_) {
      // Every counter is 1, so all of them drop to 0: no scan needed.
      clear();
      if (weight != 1) append(home_slot(key_hash), key, weight - 1, key_hash);
      return;
    }
    std::uint64_t smallest = counts_[0];
    std::uint64_t greatest = counts_[0];
    for (std::size_t i = 1; i < capacity; ++i) {
      smallest = std::min(smallest, counts_[i]);
      greatest = std::max(greatest, counts_[i]);
    }
    const std::uint64_t decrement = std::min(weight, smallest);
    if (greatest == decrement) {
      // Every counter drops to 0.
      clear();
      if (weight != decrement) {
        std::uint8_t slot = home_slot(key_hash);
        append(slot, key, weight - decrement, key_hash);
      }
      return;
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < capacity; ++i) {
      const std::uint64_t count = counts_[i] - decrement;
      keys_[kept] = keys_[i];
      counts_[kept] = count;
      homes_[kept] = homes_[i];
      kept += count != 0;
    }
    if (kept != capacity) {
      // Counters moved: index the survivors afresh.
      index_.fill(0);
      for (std::size_t i = 0; i < kept; ++i) {
        std::uint8_t slot = homes_[i];
        while (index_[slot] != 0) ++slot;
        index_[slot] = static_cast<std::uint8_t>(i + 1);
      }
    }
    size_ = kept;
    all_units_ = false;  // not known: the survivors keep counts above 1
    const std::uint64_t remainder = weight - decrement;
    if (remainder != 0) {
      std::uint8_t slot = home_slot(key_hash);
      while (index_[slot] != 0) ++slot;
      append(slot, key, remainder, key_hash);
    }
  }

  void clear() noexcept {
    index_.fill(0);
    size_ = 0;
    all_units_ = true;
  }

  std::array<std::uint64_t, capacity> keys_{};
  std::array<std::uint64_t, capacity> counts_{};
  std::array<std::uint8_t, capacity> homes_{};  // home index slot of each counter
  std::array<std::uint8_t, 256> index_{};       // counter position + 1, or 0 for free
  std::size_t size_ = 0;
  // True only while every counter held is exactly 1, the usual state of a
  // stream of distinct values; false means unknown.
  bool all_units_ = true;
};

// Merge: the Misra-Gries summary merge (misra_gries_merge.hpp) over the
// value bits; built apart from the operands, which are only read.
inline HeavyHittersSketch merged(const HeavyHittersSketch& a, const HeavyHittersSketch& b) {
  // A candidate's value is the float whose bits are its key.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs;
  for (const HeavyHittersSketch* sketch : {&a, &b}) {
    for (const auto& [value, count] : sketch->candidates()) pairs.emplace_back(std::bit_cast<std::uint64_t>(value), count);
  }
  std::stable_sort(pairs.begin(), pairs.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  HeavyHittersSketch out;
  for (const auto& [key, count] :
       detail::misra_gries_merge(
           std::move(pairs), HeavyHittersSketch::capacity,
           [](auto& pair) -> std::uint64_t& { return pair.second; },
           // No wrap: a sketch's counts sum to at most its stream's finite
           // values, and merged(NumericStreamState) refuses counts past 2^64 - 1.
           [](std::uint64_t x, std::uint64_t y) { return x + y; })) {
    out.observe_weighted(key, count);  // at most capacity distinct keys: plain inserts
  }
  return out;
}

}  // namespace tessary
