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
// before the first), and held unordered; at 256 + 256 held, a compaction
// keeps the 256 smallest. A value costs a comparison, an admitted one an
// append, and a compaction, once per 256 admitted, a linear selection: a
// column of n values admits about 256 ln(n / 256) + 512, so a column of
// 2,000 compacts three times.
//
// Invariants: at most `capacity + slack` entries held, each of priority at
// most the threshold, growing one at a time, so a short column holds only
// what it saw; the sample is the `capacity` smallest held, which entries()
// selects. Storage order is not canonical: readers sort.
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
  static constexpr std::size_t slack = 256;

  // The priority of the value of hash `value_hash` at `position` of the
  // stream whose splitmix64(stream id) is `stream_hash`.
  static std::uint64_t priority(std::uint64_t value_hash, std::uint64_t stream_hash, std::uint64_t position) noexcept {
    return splitmix64(value_hash ^ (stream_hash + position * 0x9e3779b97f4a7c15ULL));
  }

  // The largest priority that can still enter.
  std::uint64_t threshold() const noexcept { return threshold_; }

  // Offers entries whose priorities were at most threshold() when it was
  // read, in any order; after a compaction, those of the rest above the new
  // threshold, which cannot be in the sample, are dropped from `offered`.
  // Allocates nothing beyond reserve_for.
  void offer_many(SampleEntry* offered, std::size_t n) {
    SampleEntry* end = offered + n;
    while (offered != end) {
      const auto taken = std::min(static_cast<std::size_t>(end - offered), capacity + slack - entries_.size());
      entries_.insert(entries_.end(), offered, offered + taken);
      offered += taken;
      if (entries_.size() < capacity + slack) return;
      compact();
      SampleEntry* kept = offered;
      for (const SampleEntry* e = offered; e != end; ++e) {
        *kept = *e;  // kept <= e
        kept += e->priority <= threshold_ ? 1 : 0;
      }
      end = kept;
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
    if (out.size() > capacity) keep_smallest(out, threshold_);
    return out;
  }

  std::size_t memory_bytes() const noexcept { return entries_.capacity() * sizeof(SampleEntry); }

  void merge(const ValueSample& other) {
    std::vector<SampleEntry> all = entries_;
    all.insert(all.end(), other.entries_.begin(), other.entries_.end());
    if (all.size() > capacity) keep_smallest(all, std::max(threshold_, other.threshold_));
    std::sort(all.begin(), all.end());
    assign(std::move(all));
  }

  // Entries in canonical order (ascending), as a decoder restores them.
  void assign(std::vector<SampleEntry> sorted) {
    entries_ = std::move(sorted);
    threshold_ = entries_.size() == capacity ? entries_.back().priority : ~std::uint64_t{0};
  }

 private:
  // Keeps the `capacity` smallest of more entries, in no set order, and
  // returns the largest priority kept. The entries are grouped by the 8 bits
  // of their priorities below the bits `bound`, the threshold, leaves zero
  // (any above it in the last group), the groups below the one holding the
  // capacity-th entry are kept whole and that group is selected from.
  // Priorities are uniform, so the group is small; each pass is a loop
  // without branches on the data.
  static std::uint64_t keep_smallest(std::vector<SampleEntry>& entries, std::uint64_t bound) {
    const int shift = std::max(0, static_cast<int>(std::bit_width(bound)) - 8);
    const auto group_of = [shift](const SampleEntry& e) { return std::min<std::uint64_t>(e.priority >> shift, 255); };
    std::array<std::uint32_t, 256> sizes{};
    for (const SampleEntry& e : entries) ++sizes[group_of(e)];
    std::uint64_t group = 0;
    std::size_t below = 0;
    while (below + sizes[group] < capacity) below += sizes[group++];
    // The group's entries, and a spare slot that takes the others' writes.
    std::array<SampleEntry, capacity + slack + 1> local;
    std::vector<SampleEntry> spilled;
    SampleEntry* candidates = local.data();
    if (sizes[group] + 1 > local.size()) {
      spilled.resize(sizes[group] + 1);
      candidates = spilled.data();
    }
    std::size_t found = 0;
    std::size_t kept = 0;
    for (const SampleEntry& e : entries) {
      const std::uint64_t g = group_of(e);
      candidates[found] = e;
      found += g == group ? 1 : 0;
      entries[kept] = e;  // kept <= the index read
      kept += g < group ? 1 : 0;
    }
    const auto needed = static_cast<std::ptrdiff_t>(capacity - below);
    std::nth_element(candidates, candidates + (needed - 1), candidates + found);
    std::copy(candidates, candidates + needed, entries.begin() + static_cast<std::ptrdiff_t>(kept));
    entries.resize(capacity);
    // The needed-th smallest of the group is the largest kept: the groups below hold smaller priorities.
    return candidates[needed - 1].priority;
  }

  void compact() { threshold_ = keep_smallest(entries_, threshold_); }

  std::vector<SampleEntry> entries_;
  std::uint64_t threshold_ = ~std::uint64_t{0};
};

}  // namespace tessary
