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
//   splitmix64(value_hash ^ (splitmix64(s) + p * 0x9e3779b97f4a7c15)),
// one mixing step over the value's hash and a Weyl sequence of positions
// (the generator splitmix64 itself steps), and the sample keeps the 256 entries
// smallest by (priority, key). That set is a function of the values and
// their positions alone, so any split of a stream gives the same set, and a
// merge keeps the 256 smallest of the union.
//
// Invariants: at most `capacity` entries; once full, threshold_ is their
// largest priority, and they form a max-heap by (priority, key) while heap_
// is set (a single offer sets it), so a replacement costs log k steps. Entries grow one
// at a time up to the capacity, so a short column holds only what it saw.
// Their order in storage is not canonical: readers sort them.
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

  // The priority of the value of hash `value_hash` at `position` of the
  // stream whose splitmix64(stream id) is `stream_hash`.
  static std::uint64_t priority(std::uint64_t value_hash, std::uint64_t stream_hash, std::uint64_t position) noexcept {
    return splitmix64(value_hash ^ (stream_hash + position * 0x9e3779b97f4a7c15ULL));
  }

  void offer(std::uint64_t priority, std::uint64_t key) {
    if (entries_.size() < capacity || priority <= threshold_) [[unlikely]] admit({priority, key});
  }

  // The largest priority that can still enter; any while not full.
  std::uint64_t threshold() const noexcept {
    return entries_.size() < capacity ? ~std::uint64_t{0} : threshold_;
  }

  // Offers buffer[capacity, capacity + n) at once, as offer() would one by
  // one in any order; buffer[0, capacity) is room to work in.
  void offer_many(SampleEntry* buffer, std::size_t n) {
    SampleEntry* offered = buffer + capacity;
    if (n <= one_by_one) {
      for (std::size_t i = 0; i < n; ++i) offer(offered[i].priority, offered[i].key);
      return;
    }
    // The smallest `capacity` of the held and the offered entries.
    SampleEntry* all = offered - entries_.size();
    std::copy(entries_.begin(), entries_.end(), all);
    const std::size_t total = entries_.size() + n;
    if (total > capacity) std::nth_element(all, all + capacity, all + total);
    entries_.assign(all, all + std::min(total, capacity));
    if (entries_.size() == capacity) {
      // The heap waits for the next single offer; many runs never need it.
      heap_ = false;
      threshold_ = std::max_element(entries_.begin(), entries_.end())->priority;
    }
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
    if (entries_.size() == capacity) make_heap();
  }

 private:
  void admit(const SampleEntry& entry) {
    if (entries_.size() < capacity) {
      entries_.push_back(entry);
      if (entries_.size() == capacity) make_heap();
      return;
    }
    if (!heap_) make_heap();
    if (!(entry < entries_.front())) return;
    // The entry takes the root's place and sinks below larger children.
    const std::size_t n = entries_.size();
    std::size_t i = 0;
    for (std::size_t child = 1; child < n; child = 2 * i + 1) {
      if (child + 1 < n && entries_[child] < entries_[child + 1]) ++child;
      if (!(entry < entries_[child])) break;
      entries_[i] = entries_[child];
      i = child;
    }
    entries_[i] = entry;
    threshold_ = entries_.front().priority;
  }

  void make_heap() {
    std::make_heap(entries_.begin(), entries_.end());
    threshold_ = entries_.front().priority;
    heap_ = true;
  }

  static constexpr std::size_t one_by_one = 16;

  std::vector<SampleEntry> entries_;
  std::uint64_t threshold_ = 0;
  bool heap_ = true;
};

}  // namespace tessary
