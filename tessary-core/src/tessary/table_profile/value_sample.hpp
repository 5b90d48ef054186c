#pragma once

#include <algorithm>
#include <array>
#include <bit>
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
// Entries are admitted while their priority is at most the threshold, the
// largest priority of the 256 smallest at the last compaction (any priority
// before the first), and held unordered; at 256 + 128 held, a compaction
// keeps the 256 smallest. A value costs a comparison, an admitted one an
// append, and a compaction, once per 128 admitted, a linear selection: a
// column of n values admits about 256 ln(n / 256) + 384.
//
// Invariants: at most `capacity + slack` entries held, growing one at a time,
// so a short column holds only what it saw; the sample is the `capacity`
// smallest held, which entries() selects. Storage order is not canonical:
// readers sort.
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
  static constexpr std::size_t slack = 128;

  // The priority of the value of hash `value_hash` at `position` of the
  // stream whose splitmix64(stream id) is `stream_hash`.
  static std::uint64_t priority(std::uint64_t value_hash, std::uint64_t stream_hash, std::uint64_t position) noexcept {
    return splitmix64(value_hash ^ (stream_hash + position * 0x9e3779b97f4a7c15ULL));
  }

  // The largest priority that can still enter.
  std::uint64_t threshold() const noexcept { return threshold_; }

  // Offers entries whose priorities were at most threshold() when it was
  // read, in any order. Allocates nothing beyond reserve_for.
  void offer_many(const SampleEntry* offered, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      entries_.push_back(offered[i]);
      if (entries_.size() == capacity + slack) compact();
    }
  }

  // Room for what a run of `more` values can add, so that offers do not allocate.
  void reserve_for(std::uint64_t more) {
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(capacity + slack, entries_.size() + more));
    if (wanted > entries_.capacity()) entries_.reserve(wanted);
  }

  // The sample: the `capacity` smallest entries held, in no set order.
  std::vector<SampleEntry> entries() const {
    std::vector<SampleEntry> out = entries_;
    keep_smallest(out);
    return out;
  }

  std::size_t memory_bytes() const noexcept { return entries_.capacity() * sizeof(SampleEntry); }

  void merge(const ValueSample& other) {
    std::vector<SampleEntry> all = entries_;
    all.insert(all.end(), other.entries_.begin(), other.entries_.end());
    keep_smallest(all);
    std::sort(all.begin(), all.end());
    assign(std::move(all));
  }

  // Entries in canonical order (ascending), as a decoder restores them.
  void assign(std::vector<SampleEntry> sorted) {
    entries_ = std::move(sorted);
    threshold_ = entries_.size() == capacity ? entries_.back().priority : ~std::uint64_t{0};
  }

 private:
  // Keeps the `capacity` smallest entries, in no set order: the entries are
  // grouped by the top 8 bits of their priorities below the bits all leave
  // zero, the groups below the one holding the capacity-th entry are kept
  // whole and that group is selected from. Priorities are uniform, so the
  // group is small; each pass is a loop without branches on the data.
  static void keep_smallest(std::vector<SampleEntry>& entries) {
    if (entries.size() <= capacity) return;
    std::uint64_t all = 0;
    for (const SampleEntry& e : entries) all |= e.priority;
    const int shift = std::max(0, static_cast<int>(std::bit_width(all)) - 8);
    std::array<std::uint32_t, 256> sizes{};
    for (const SampleEntry& e : entries) ++sizes[static_cast<std::size_t>(e.priority >> shift)];
    std::uint64_t group = 0;
    std::size_t below = 0;
    while (below + sizes[group] < capacity) below += sizes[group++];
    std::vector<SampleEntry> candidates(sizes[group] + 1);
    std::size_t found = 0;
    std::size_t kept = 0;
    for (const SampleEntry& e : entries) {
      const std::uint64_t g = e.priority >> shift;
      candidates[found] = e;
      found += g == group ? 1 : 0;
      entries[kept] = e;  // kept <= the index read
      kept += g < group ? 1 : 0;
    }
    const auto needed = static_cast<std::ptrdiff_t>(capacity - below);
    std::nth_element(candidates.begin(), candidates.begin() + (needed - 1), candidates.begin() + static_cast<std::ptrdiff_t>(found));
    std::copy(candidates.begin(), candidates.begin() + needed, entries.begin() + static_cast<std::ptrdiff_t>(kept));
    entries.resize(capacity);
  }

  void compact() {
    keep_smallest(entries_);
    threshold_ = std::max_element(entries_.begin(), entries_.end())->priority;
  }

  std::vector<SampleEntry> entries_;
  std::uint64_t threshold_ = ~std::uint64_t{0};
};

}  // namespace tessary
