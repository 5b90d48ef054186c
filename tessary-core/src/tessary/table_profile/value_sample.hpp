#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tessary/hashing.hpp"

namespace tessary {

// Reproducible bottom-k sample (k = 256) of the values of a column.
//
// Algorithm: the value at position p of stream s gets the priority
//   splitmix64(value_hash ^ splitmix64(s) ^ splitmix64(p))
// (PriorityReservoir's priority), and the sample keeps the 256 entries
// smallest by (priority, key). That set is a function of the values and
// their positions alone, so any split of a stream gives the same set, and a
// merge keeps the 256 smallest of the union.
//
// Invariants: at most `capacity` entries; once full, `largest` is the
// position of the largest (priority, key) entry. Entries grow one at a
// time up to the capacity, so a short column holds only what it saw.
struct SampleEntry {
  std::uint64_t priority;
  std::uint64_t key;  // the value's order key (-0.0 below +0.0: the value as stored)

  bool operator<(const SampleEntry& b) const noexcept {
    return priority != b.priority ? priority < b.priority : key < b.key;
  }
};

class ValueSample {
 public:
  static constexpr std::size_t capacity = 256;

  void offer(std::uint64_t priority, std::uint64_t key) {
    if (entries_.size() < capacity || priority <= threshold_) [[unlikely]] admit({priority, key});
  }

  // Room for what a run of `more` values can add, so that offer() does not allocate.
  void reserve_for(std::uint64_t more) {
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, entries_.size() + more));
    if (wanted > entries_.capacity()) entries_.reserve(wanted);
  }

  const std::vector<SampleEntry>& entries() const noexcept { return entries_; }
  std::size_t memory_bytes() const noexcept { return entries_.capacity() * sizeof(SampleEntry); }

  void merge(const ValueSample& other) {
    std::vector<SampleEntry> all = entries_;
    all.insert(all.end(), other.entries_.begin(), other.entries_.end());
    std::sort(all.begin(), all.end());
    if (all.size() > capacity) all.resize(capacity);
    assign(std::move(all));
  }

  // Entries in canonical order (ascending), as a decoder restores them.
  void assign(std::vector<SampleEntry> sorted) {
    entries_ = std::move(sorted);
    if (entries_.size() == capacity) find_largest();
  }

 private:
  void admit(const SampleEntry& entry) {
    if (entries_.size() < capacity) {
      entries_.push_back(entry);
      if (entries_.size() == capacity) find_largest();
      return;
    }
    if (!(entry < entries_[largest_])) return;
    entries_[largest_] = entry;
    find_largest();
  }

  void find_largest() noexcept {
    std::size_t index = 0;
    for (std::size_t i = 1; i < entries_.size(); ++i) {
      if (entries_[index] < entries_[i]) index = i;
    }
    largest_ = index;
    threshold_ = entries_[index].priority;
  }

  std::vector<SampleEntry> entries_;
  std::size_t largest_ = 0;
  std::uint64_t threshold_ = 0;
};

}  // namespace tessary
