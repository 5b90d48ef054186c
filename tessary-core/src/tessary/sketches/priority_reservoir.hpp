#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tessary/float_classes.hpp"
#include "tessary/hashing.hpp"

namespace tessary {

// One sampled value.
struct ReservoirEntry {
  std::uint64_t priority;
  double value;  // exactly as observed; -0.0 stays -0.0
};

// Reproducible bottom-k sample (k = 256) of the finite values of a stream.
//
// Each value gets the priority
//   splitmix64(splitmix64(canonical_bits(x)) ^ splitmix64(stream_id) ^ splitmix64(position)),
// a pseudo-random function of the value, the stream identifier and the
// value's position in the stream, and the reservoir keeps the 256 smallest
// priorities offered. No random generator is involved, so equal input under
// equal stream identifier gives an equal sample everywhere.
//
// Invariants: at most `capacity` entries, appended until full; afterwards a
// new value replaces, in place, the entry of largest priority (on a tie the
// one at the highest index), and only if its own priority is strictly
// smaller. While full, that entry's position and priority are cached, so
// the 256 priorities are rescanned only after a replacement. The entries
// live inside the object: nothing is allocated.
class PriorityReservoir {
 public:
  static constexpr std::size_t capacity = 256;

  PriorityReservoir() = default;

  // Offers x, the element at `position` of stream `stream_id`; NaN and
  // infinities are ignored.
  void observe(std::uint64_t stream_id, std::uint64_t position, double x) noexcept {
    if (!is_finite_value(x)) return;
    offer(priority(value_hash(x), splitmix64(stream_id), position), x);
  }

  // The priority of a value from its value_hash and splitmix64(stream_id).
  static std::uint64_t priority(std::uint64_t value_hash, std::uint64_t stream_hash,
                                std::uint64_t position) noexcept {
    return splitmix64(value_hash ^ stream_hash ^ splitmix64(position));
  }

  // Offers finite x with its priority.
  void offer(std::uint64_t priority, double x) noexcept {
    // Once full, almost every offer fails the first test.
    if (priority < largest_priority_ || size_ < capacity) [[unlikely]] admit(priority, x);
  }

  // The sampled values ascending (-0.0 and +0.0 compare equal), equal values
  // by priority ascending.
  std::vector<double> values() const {
    std::vector<ReservoirEntry> sorted(entries_.begin(), entries_.begin() + size_);
    std::stable_sort(sorted.begin(), sorted.end(), [](const ReservoirEntry& a, const ReservoirEntry& b) {
      if (a.value != b.value) return a.value < b.value;
      return a.priority < b.priority;
    });
    std::vector<double> out;
    out.reserve(sorted.size());
    for (const ReservoirEntry& entry : sorted) out.push_back(entry.value);
    return out;
  }

  // The sample in storage order.
  std::span<const ReservoirEntry> entries() const noexcept { return {entries_.data(), size_}; }

 private:
  void admit(std::uint64_t priority, double x) noexcept {
    if (size_ < capacity) {
      entries_[size_++] = ReservoirEntry{priority, x};
      if (size_ == capacity) find_largest();
      return;
    }
    entries_[largest_index_] = ReservoirEntry{priority, x};
    find_largest();
  }

  void find_largest() noexcept {
    std::size_t index = 0;
    std::uint64_t largest = entries_[0].priority;
    for (std::size_t i = 1; i < capacity; ++i) {
      if (entries_[i].priority >= largest) {  // >=: a tie goes to the highest index
        largest = entries_[i].priority;
        index = i;
      }
    }
    largest_index_ = index;
    largest_priority_ = largest;
  }

  std::array<ReservoirEntry, capacity> entries_{};
  std::size_t size_ = 0;
  std::size_t largest_index_ = 0;       // meaningful once full
  std::uint64_t largest_priority_ = 0;  // meaningful once full; 0 admits nothing
};

// Merge: the `capacity` entries of smallest priority of the union, ties by
// value bits; the same set whatever the operand order.
// Orders reservoir entries for merging: priority, then value bits.
inline bool reservoir_precedes(const ReservoirEntry& x, const ReservoirEntry& y) noexcept {
  if (x.priority != y.priority) return x.priority < y.priority;
  return std::bit_cast<std::uint64_t>(x.value) < std::bit_cast<std::uint64_t>(y.value);
}

inline PriorityReservoir merged(const PriorityReservoir& a, const PriorityReservoir& b) {
  std::vector<ReservoirEntry> entries(a.entries().begin(), a.entries().end());
  entries.insert(entries.end(), b.entries().begin(), b.entries().end());
  std::sort(entries.begin(), entries.end(), reservoir_precedes);
  PriorityReservoir out;
  const std::size_t kept = std::min(entries.size(), PriorityReservoir::capacity);
  // Offers below capacity append, so the result stores them in this order.
  for (std::size_t i = 0; i < kept; ++i) out.offer(entries[i].priority, entries[i].value);
  return out;
}

}  // namespace tessary
