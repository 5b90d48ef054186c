#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessary {

// Counts over integer indices, stored only for the range in use.
//
// Algorithm: the counts of [first, first + size) are held in one exactly
// sized array; any other index counts 0. Covering an index outside widens
// the range to it and, for a stream moving steadily one way, by an eighth
// more in that direction, within the limits the owner gives, so growth costs
// amortised constant time per index.
//
// Invariants: size() is the stored range's length and its allocation; an
// empty window stores nothing.
class CountWindow {
 public:
  std::int64_t first() const noexcept { return first_; }
  std::size_t size() const noexcept { return counts_.size(); }
  // The size less one first: the last index may be the largest int64.
  std::int64_t last() const noexcept { return first_ + (static_cast<std::int64_t>(counts_.size()) - 1); }
  bool empty() const noexcept { return counts_.empty(); }
  std::size_t memory_bytes() const noexcept { return counts_.capacity() * sizeof(std::uint64_t); }

  // Adds weight at index if it is stored; false otherwise.
  [[gnu::always_inline]] bool add(std::int64_t index, std::uint64_t weight) noexcept {
    const auto offset = static_cast<std::uint64_t>(index) - static_cast<std::uint64_t>(first_);
    if (offset >= counts_.size()) [[unlikely]] return false;
    counts_[offset] += weight;
    return true;
  }

  std::uint64_t at(std::int64_t index) const noexcept {
    const auto offset = static_cast<std::uint64_t>(index) - static_cast<std::uint64_t>(first_);
    return offset < counts_.size() ? counts_[offset] : 0;
  }

  // Stores [low, high] and possibly more, all within [low_limit, high_limit]
  // (low_limit <= low <= high <= high_limit); counts outside the limits
  // must be 0 and are let go. Indices may lie at either end of the 64-bit
  // range: the slack is added in wider arithmetic.
  void cover(std::int64_t low, std::int64_t high, std::int64_t low_limit, std::int64_t high_limit) {
    if (!counts_.empty() && low >= first_ && high <= last() && first_ >= low_limit && last() <= high_limit) return;
    __int128 wide_from = low;
    __int128 wide_to = high;
    if (!counts_.empty()) {
      const auto slack = static_cast<__int128>(counts_.size() / 8);
      wide_from = low < first_ ? low - slack : std::min(low, first_);
      wide_to = high > last() ? high + slack : std::max(high, last());
    }
    const auto from = static_cast<std::int64_t>(std::max<__int128>(wide_from, low_limit));
    const auto to = static_cast<std::int64_t>(std::min<__int128>(wide_to, high_limit));
    // Zeros, the kept counts in one copy, zeros.
    std::vector<std::uint64_t> wider;
    wider.reserve(static_cast<std::size_t>(to - from + 1));
    const std::int64_t kept_from = std::max(from, first_);
    const std::int64_t kept_to = std::min(to, last());
    if (kept_from <= kept_to) {
      wider.resize(static_cast<std::size_t>(kept_from - from));
      const auto kept = counts_.begin() + (kept_from - first_);
      wider.insert(wider.end(), kept, kept + (kept_to - kept_from + 1));
    }
    wider.resize(static_cast<std::size_t>(to - from + 1));
    counts_.swap(wider);
    first_ = from;
  }

  // Replaces the content: counts[j] at index first + j.
  void assign(std::int64_t first, std::vector<std::uint64_t> counts) noexcept {
    first_ = first;
    counts_ = std::move(counts);
  }

  // Removes the indices below `index`, returning the sum of their counts.
  std::uint64_t drop_below(std::int64_t index) {
    if (counts_.empty() || index <= first_) return 0;
    std::uint64_t dropped = 0;
    if (index > last()) {
      for (std::uint64_t n : counts_) dropped += n;
      std::vector<std::uint64_t>().swap(counts_);
      first_ = 0;
      return dropped;
    }
    const auto cut = static_cast<std::size_t>(index - first_);
    for (std::size_t j = 0; j < cut; ++j) dropped += counts_[j];
    counts_ = std::vector<std::uint64_t>(counts_.begin() + static_cast<std::ptrdiff_t>(cut), counts_.end());
    first_ = index;
    return dropped;
  }

  // f(index, count) for every nonzero count, ascending.
  template <typename F>
  void for_each(F&& f) const {
    for (std::size_t j = 0; j < counts_.size(); ++j) {
      if (counts_[j] != 0) f(first_ + static_cast<std::int64_t>(j), counts_[j]);
    }
  }

  // f(g, n) for every group g = index >> shift (0 <= shift < 63) of the
  // stored indices in [low, high], ascending, n the sum of the group's
  // counts there (0 included): runs of adjacent counts summed without a
  // branch on them, for walks into wider bins (or, at shift 0, over each
  // stored count).
  template <typename F>
  void for_each_group(std::int64_t low, std::int64_t high, int shift, F&& f) const {
    if (counts_.empty() || high < first_ || low > last()) return;
    // Walked by offset: the last index may be the largest int64, past which no index steps.
    const auto mask = (std::uint64_t{1} << shift) - 1;
    const auto begin = static_cast<std::size_t>(std::max(low, first_) - first_);
    const auto end = static_cast<std::size_t>(std::min(high, last()) - first_) + 1;
    for (std::size_t at = begin; at < end;) {
      const std::int64_t index = first_ + static_cast<std::int64_t>(at);
      const auto run = static_cast<std::size_t>(
          std::min<std::uint64_t>(end - at, mask - (static_cast<std::uint64_t>(index) & mask) + 1));
      std::uint64_t sum = 0;
      for (std::size_t j = at; j < at + run; ++j) sum += counts_[j];
      f(index >> shift, sum);
      at += run;
    }
  }

  const std::vector<std::uint64_t>& counts() const noexcept { return counts_; }

  // The stored counts, the first at index first(), for a loop that adds
  // only at indices known to be stored.
  std::uint64_t* stored() noexcept { return counts_.data(); }

 private:
  std::int64_t first_ = 0;
  std::vector<std::uint64_t> counts_;
};

}  // namespace tessary
