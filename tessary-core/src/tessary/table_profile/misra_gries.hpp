#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <type_traits>
#include <utility>
#include <vector>

namespace tessary {

// The payload of a counter that carries nothing but its key.
struct NoLabel {
  struct Source {};
  void assign(Source) noexcept {}
};

// Misra-Gries heavy hitters over weighted 64-bit keys, each counter with a
// payload (Label) taken, through Label::assign, from the observation that
// created it.
//
// A table of up to `Table` counters, with the guarantee of K = 256. A key
// already counted adds its weight; a new one takes a free counter. The one
// overflow rule: when a new counter would be the (Table + 1)-th, the
// (K + 1)-th largest of those Table + 1 counts, d, is subtracted from all of
// them and those not above 0 are dropped, which leaves at most K. A merge
// adds the counts of equal keys (the payload of the first operand kept) and
// applies the same rule when more than Table remain. Each subtraction takes
// d from at least K + 1 counters, so the counts are lower bounds short by at
// most W / (K + 1) for a stream of total weight W, and every key more
// frequent than that is counted. The rule runs at most once per Table - K
// new counters, at a cost linear in the table, so an observation costs O(1)
// amortised. Results depend only on the sequence of (key, weight) observed,
// never on where counters sit.
//
// Layout: entries 1 to Table (key, count, payload) and an
// open-addressing index of at least twice Table slots, probed linearly from
// the top bits of the key's hash. A slot holds the entry in its low 11 bits
// (0: free) and the top 21 bits of the hash above them, so a probe passes
// another key without reading its entry, and the index rebuilds from
// itself. The overflow rule moves no entry: it lowers the counts in place
// and frees those at 0; the key of a free entry names the next free one.
// New counters take the freed entries, then those never used.
//
// Invariants: entries above used_ are unused; below, size() <= Table
// counters (counts > 0, keys unique, each named by exactly one slot) and
// free entries (count 0) chained from free_. The owner keeps the total
// weight below 2^64.
template <typename Label, std::size_t Table>
class MisraGries {
  static_assert(Table > 256 && Table < 2048, "room for more than K entries, numbered in 11 bits");

 public:
  static constexpr std::size_t guaranteed = 256;  // K
  static constexpr std::size_t capacity = Table;

  // Adds `weight` > 0 to `key`, whose hash is `hash` at every observation;
  // a new counter takes its payload from `label`.
  [[gnu::always_inline]] void add(std::uint64_t key, std::uint64_t weight, std::uint64_t hash,
                                  const typename Label::Source& label = {}) {
    const std::uint32_t tag = tag_of(hash);
    std::size_t p = home_of(tag);
    for (std::uint32_t s; (s = index_[p]) != 0; p = (p + 1) & (slots - 1)) {
      if ((s ^ tag) <= entry_mask && keys_[s & entry_mask] == key) {
        counts_[s & entry_mask] += weight;
        all_units_ = false;
        return;
      }
    }
    if (size_ < Table) {
      set_label(put(p, tag, key, weight), label);
      return;
    }
    absorb_into_full(key, weight, tag, label);
  }

  // The number of counters.
  std::size_t size() const noexcept { return size_; }

  // Calls f(e) for every counted entry, in no set order.
  template <typename F>
  void for_each_entry(F f) const {
    for (std::size_t e = 1; e <= used_; ++e) {
      if (counts_[e] != 0) f(e);
    }
  }

  // The counted entries by ascending key, and what they hold.
  std::vector<std::size_t> by_key() const {
    std::vector<std::size_t> order;
    order.reserve(size_);
    for_each_entry([&](std::size_t e) { order.push_back(e); });
    std::sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) { return keys_[a] < keys_[b]; });
    return order;
  }
  std::uint64_t key(std::size_t e) const noexcept { return keys_[e]; }
  std::uint64_t count(std::size_t e) const noexcept { return counts_[e]; }
  const Label& label(std::size_t e) const noexcept
    requires(!std::is_empty_v<Label>)
  {
    return labels_[e];
  }

  // (key, count) by ascending key.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> counters() const {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
    out.reserve(size_);
    for (const std::size_t e : by_key()) out.emplace_back(keys_[e], counts_[e]);
    return out;
  }

  // Adds `other` into this summary; hash_of(key) is the hash its keys were
  // added with. Allocates before changing anything.
  template <typename HashOf>
  void merge(const MisraGries& other, HashOf hash_of) {
    std::vector<std::pair<std::uint64_t, std::size_t>> fresh;  // other's keys this lacks
    std::vector<std::uint64_t> all;
    fresh.reserve(other.size_);
    all.reserve(size_ + other.size_);
    for (std::size_t e = 1; e <= other.used_; ++e) {
      if (other.counts_[e] == 0) continue;
      const std::uint64_t key = other.keys_[e];
      if (const std::size_t f = find(key, hash_of(key)); f != 0) {
        counts_[f] += other.counts_[e];
        all_units_ = false;
      } else {
        fresh.emplace_back(key, e);
      }
    }
    std::uint64_t d = 0;
    if (size_ + fresh.size() > Table) {
      for (std::size_t e = 1; e <= used_; ++e) {
        if (counts_[e] != 0) all.push_back(counts_[e]);
      }
      for (const auto& [key, e] : fresh) all.push_back(other.counts_[e]);
      d = kth_largest(all.data(), all.size());
      subtract(d);
    }
    std::sort(fresh.begin(), fresh.end());
    for (const auto& [key, e] : fresh) {
      if (other.counts_[e] <= d) continue;
      const std::uint32_t tag = tag_of(hash_of(key));
      const std::size_t f = put(free_slot_from(home_of(tag)), tag, key, other.counts_[e] - d);
      if constexpr (!std::is_empty_v<Label>) labels_[f] = other.labels_[e];
    }
  }

 private:
  static constexpr std::size_t slots = std::bit_ceil(2 * Table);
  static constexpr int slot_bits = std::countr_zero(slots);
  static constexpr std::uint32_t entry_mask = 0x7ff;
  static_assert(slot_bits <= 21, "the home lies within the stored hash bits");

  // The top 21 bits of the hash, above the entry bits.
  static std::uint32_t tag_of(std::uint64_t hash) noexcept { return static_cast<std::uint32_t>(hash >> 43) << 11; }
  static std::size_t home_of(std::uint32_t tag) noexcept { return tag >> (32 - slot_bits); }

  // Labels take no room when they are empty.
  struct NoLabels {};
  using Labels = std::conditional_t<std::is_empty_v<Label>, NoLabels, std::array<Label, Table + 1>>;

  void set_label(std::size_t e, const typename Label::Source& label) noexcept {
    if constexpr (!std::is_empty_v<Label>) labels_[e].assign(label);
  }

  // The entry of `key`, or 0.
  std::size_t find(std::uint64_t key, std::uint64_t hash) const noexcept {
    const std::uint32_t tag = tag_of(hash);
    for (std::size_t p = home_of(tag);; p = (p + 1) & (slots - 1)) {
      const std::uint32_t s = index_[p];
      if (s == 0) return 0;
      if ((s ^ tag) <= entry_mask && keys_[s & entry_mask] == key) return s & entry_mask;
    }
  }

  std::size_t free_slot_from(std::size_t p) const noexcept {
    while (index_[p] != 0) p = (p + 1) & (slots - 1);
    return p;
  }

  void free_all() noexcept {
    index_.fill(0);
    used_ = 0;
    free_ = 0;
    size_ = 0;
    all_units_ = true;
  }

  // A new counter in a free entry, named by the free slot p; returns the
  // entry. size() < Table.
  std::size_t put(std::size_t p, std::uint32_t tag, std::uint64_t key, std::uint64_t count) noexcept {
    std::size_t e;
    if (free_ != 0) {
      e = free_;
      free_ = static_cast<std::size_t>(keys_[e]);
    } else {
      e = ++used_;
    }
    keys_[e] = key;
    counts_[e] = count;
    index_[p] = tag | static_cast<std::uint32_t>(e);
    ++size_;
    all_units_ = all_units_ && count == 1;
    return e;
  }

  // The overflow rule for a full table and a new key.
  [[gnu::noinline]] void absorb_into_full(std::uint64_t key, std::uint64_t weight, std::uint32_t tag,
                                          const typename Label::Source& label) {
    std::uint64_t d = 1;
    if (all_units_) {
      // Every count is 1, so d is 1 and every counter goes.
      free_all();
    } else {
      std::array<std::uint64_t, Table + 1> all = counts_;  // entry 0 holds no count
      all[0] = weight;
      d = kth_largest(all.data(), all.size());
      subtract(d);
    }
    if (weight > d) set_label(put(free_slot_from(home_of(tag)), tag, key, weight - d), label);
  }

  // Subtracts d from every count and frees the entries that reach 0 or
  // less; the index keeps the slots of the others. Branch-free: which
  // counters stay is not predictable.
  void subtract(std::uint64_t d) noexcept {
    std::size_t live = 0;
    std::size_t chain = 0;
    bool units = true;
    for (std::size_t e = used_; e >= 1; --e) {
      const std::uint64_t c = counts_[e];
      const bool stays = c > d;
      counts_[e] = stays ? c - d : 0;
      keys_[e] = stays ? keys_[e] : chain;
      chain = stays ? chain : e;
      live += stays;
      units = units && (!stays || c - d == 1);
    }
    std::array<std::uint32_t, Table + 1> survivors;
    std::size_t n = 0;
    for (const std::uint32_t s : index_) {
      survivors[n] = s;
      n += counts_[s & entry_mask] != 0;  // entry 0, of a free slot, has no count
    }
    index_.fill(0);
    for (std::size_t i = 0; i < n; ++i) index_[free_slot_from(home_of(survivors[i]))] = survivors[i];
    size_ = live;
    free_ = chain;
    all_units_ = units;
  }

  // The (K + 1)-th largest of n > K counts; reorders them. Counts are
  // mostly small, and a tally of those below 16 finds it in one branch-free
  // pass; otherwise it is the (K + 1)-th largest of those of 16 or more.
  static std::uint64_t kth_largest(std::uint64_t* counts, std::size_t n) noexcept {
    constexpr std::uint64_t small = 16;
    std::array<std::array<std::uint32_t, small + 1>, 4> tally{};  // four, so that equal counts do not wait on each other
    for (std::size_t i = 0; i < n; ++i) ++tally[i & 3][std::min(counts[i], small)];
    std::size_t at_least = 0;  // counts >= t
    for (std::uint64_t t = small;; --t) {
      for (const auto& part : tally) at_least += part[t];
      if (at_least > guaranteed) {
        if (t < small) return t;
        break;
      }
      if (t == 0) return 0;
    }
    std::size_t m = 0;
    for (std::size_t i = 0; i < n; ++i) {
      counts[m] = counts[i];
      m += counts[i] >= small;
    }
    std::nth_element(counts, counts + guaranteed, counts + m, std::greater<>());
    return counts[guaranteed];
  }

  // Entry 0 is never used: a free slot names it, and its count stays 0.
  std::array<std::uint64_t, Table + 1> keys_{};
  std::array<std::uint64_t, Table + 1> counts_{};
  [[no_unique_address]] Labels labels_{};
  std::array<std::uint32_t, slots> index_{};
  std::size_t size_ = 0;
  std::size_t used_ = 0;   // entries handed out since all were last freed
  std::size_t free_ = 0;   // the first free entry, 0 if none
  bool all_units_ = true;  // true only while every count is 1
};

}  // namespace tessary
