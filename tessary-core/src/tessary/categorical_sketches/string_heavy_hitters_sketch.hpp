#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tessary/saturating.hpp"
#include "tessary/utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#include "tessary/sketches/misra_gries_merge.hpp"
#endif

namespace tessary {

// One tracked string: the first bytes of the string that created it (raw,
// possibly cut inside a multi-byte character) and its occurrence count.
struct StringCandidate {
  std::string label;
  std::uint64_t count = 0;
};

// Misra-Gries heavy hitters over hashed strings, with retained labels.
//
// Strings are identified by their 64-bit string_hash. Up to `capacity`
// candidates are tracked; an observation of a tracked string adds its weight.
// An untracked string is inserted while there is room. When the summary is
// full, d = min(weight, smallest count) is subtracted from every candidate,
// those that reach 0 are dropped, and the new string is inserted with
// weight - d only if that is positive. Each reported count is a lower bound
// of its string's true frequency, short by at most W / (capacity + 1) for a
// stream of total weight W, so every string more frequent than that is
// tracked.
//
// A candidate keeps the first `max_retained_label_bytes` bytes of the string
// that created it; a later string with the same hash counts under that label.
// Labels are raw bytes and are decoded to UTF-8 with U+FFFD replacement only
// when reported.
//
// Invariants: at most `capacity` candidates; every stored count is at least
// 1; every label has at most `max_retained_label_bytes` bytes. Counts
// saturate at 2^64 - 1.
//
// Layout: the candidates live in a fixed array of slots with inline label
// buffers, so that storing a candidate never allocates. A hash is looked up
// by comparing the 16-bit tags of all slots at once and confirming the full
// hash of the few that match, so dropping candidates needs no index
// maintenance. Reports sort by hash before anything else, so they equal a
// walk of a map in ascending hash order.
class StringHeavyHittersSketch {
 public:
  static constexpr std::size_t capacity = 32;
  static constexpr std::size_t max_retained_label_bytes = 256;

  // Records `weight` occurrences of the string with hash `hash`. Copies at
  // most max_retained_label_bytes of `label`, and only when it starts a new
  // candidate.
  void observe_hashed(std::uint64_t hash, std::string_view label, std::uint64_t weight) noexcept {
    observe_hashed_borrowed(hash, label, weight);
    retain_labels();
  }

  // As observe_hashed, except that a new candidate only views `label`; the
  // caller keeps those bytes alive and unchanged until it calls
  // retain_labels(), and reads no report before that. Most candidates of a
  // long stream are dropped again soon, so a batch copies only the labels
  // that survive it.
  void observe_hashed_borrowed(std::uint64_t hash, std::string_view label,
                               std::uint64_t weight) noexcept {
    if (weight == 0) return;
    if (const std::size_t slot = find_slot(hash); slot != capacity) {
      counts_[slot] = saturating_add(counts_[slot], weight);
    } else if (occupied_ != all_slots) {
      insert(hash, label, weight);
    } else {
      observe_on_full_summary(hash, label, weight);
    }
  }

  // Copies the labels that candidates still view into their own buffers.
  void retain_labels() noexcept {
    for (SlotMask rest = borrowed_ & occupied_; rest != 0; rest &= rest - 1) {
      const auto slot = static_cast<std::size_t>(std::countr_zero(rest));
      std::copy_n(label_views_[slot], label_sizes_[slot], labels_[slot].data());
    }
    borrowed_ = 0;
  }

  // (decoded label, count) for every candidate: count descending, then label
  // by its UTF-8 bytes ascending (a proper prefix first), then hash ascending.
  std::vector<std::pair<std::string, std::uint64_t>> candidates() const {
    struct Entry {
      std::uint64_t hash;
      std::uint64_t count;
      std::string text;
    };
    std::vector<Entry> entries;
    entries.reserve(size());
    for_each_slot([&](std::size_t slot) {
      entries.push_back({hashes_[slot], counts_[slot], utf8_with_replacement(label(slot))});
    });
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
      if (a.count != b.count) return a.count > b.count;
      // std::string compares chars as unsigned bytes.
      if (const int c = a.text.compare(b.text); c != 0) return c < 0;
      return a.hash < b.hash;
    });
    std::vector<std::pair<std::string, std::uint64_t>> out;
    out.reserve(entries.size());
    for (Entry& e : entries) out.emplace_back(std::move(e.text), e.count);
    return out;
  }

  // The tracked candidates with their raw labels, in ascending hash order.
  std::vector<std::pair<std::uint64_t, StringCandidate>> counters() const {
    std::vector<std::pair<std::uint64_t, StringCandidate>> out;
    out.reserve(size());
    for_each_slot([&](std::size_t slot) {
      out.push_back({hashes_[slot], StringCandidate{std::string(label(slot)), counts_[slot]}});
    });
    std::sort(out.begin(), out.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return out;
  }

  std::size_t size() const noexcept { return static_cast<std::size_t>(std::popcount(occupied_)); }

 private:
  using SlotMask = std::uint32_t;  // bit i: slot i
  static_assert(capacity == std::numeric_limits<SlotMask>::digits);
  static constexpr SlotMask all_slots = ~SlotMask{0};

  static std::uint16_t tag_of(std::uint64_t hash) noexcept { return static_cast<std::uint16_t>(hash); }

  static std::uint16_t retained_size(std::string_view label) noexcept {
    return static_cast<std::uint16_t>(std::min(label.size(), max_retained_label_bytes));
  }

  // The slots whose tag equals `tag`, occupied or not.
  SlotMask slots_tagged(std::uint16_t tag) const noexcept {
#if defined(__SSE2__)
    const __m128i wanted = _mm_set1_epi16(static_cast<short>(tag));
    const auto* tags = reinterpret_cast<const __m128i*>(tags_.data());
    const __m128i low = _mm_packs_epi16(_mm_cmpeq_epi16(_mm_load_si128(tags), wanted),
                                        _mm_cmpeq_epi16(_mm_load_si128(tags + 1), wanted));
    const __m128i high = _mm_packs_epi16(_mm_cmpeq_epi16(_mm_load_si128(tags + 2), wanted),
                                         _mm_cmpeq_epi16(_mm_load_si128(tags + 3), wanted));
    return static_cast<SlotMask>(static_cast<std::uint16_t>(_mm_movemask_epi8(low))) |
           static_cast<SlotMask>(_mm_movemask_epi8(high)) << 16;
#else
    SlotMask tagged = 0;
    for (std::size_t i = 0; i < capacity; ++i) tagged |= static_cast<SlotMask>(tags_[i] == tag) << i;
    return tagged;
#endif
  }

  // The slot of `hash`, or capacity if it has none.
  std::size_t find_slot(std::uint64_t hash) const noexcept {
    for (SlotMask rest = slots_tagged(tag_of(hash)) & occupied_; rest != 0; rest &= rest - 1) {
      const auto slot = static_cast<std::size_t>(std::countr_zero(rest));
      if (hashes_[slot] == hash) return slot;
    }
    return capacity;
  }

  // A new string meets a full summary.
  void observe_on_full_summary(std::uint64_t hash, std::string_view label,
                               std::uint64_t weight) noexcept {
    // Every count is at least 1, so unit weights need no search for the
    // smallest.
    const std::uint64_t decrement = weight == 1 ? 1 : std::min(weight, smallest_count());
    SlotMask survivors = 0;
    for (std::size_t i = 0; i < capacity; ++i) {
      counts_[i] -= decrement;
      survivors |= static_cast<SlotMask>(counts_[i] != 0) << i;
    }
    occupied_ = survivors;
    borrowed_ &= survivors;
    if (weight == decrement) return;
    // The candidates that held the smallest count are gone, so a slot is free.
    insert(hash, label, weight - decrement);
  }

  std::uint64_t smallest_count() const noexcept {
    std::uint64_t smallest = std::numeric_limits<std::uint64_t>::max();
    for (std::size_t i = 0; i < capacity; ++i) smallest = std::min(smallest, counts_[i]);
    return smallest;
  }

  // Stores a new candidate in the first free slot; one must exist.
  void insert(std::uint64_t hash, std::string_view label, std::uint64_t count) noexcept {
    const auto slot = static_cast<std::size_t>(std::countr_zero(static_cast<SlotMask>(~occupied_)));
    counts_[slot] = count;
    hashes_[slot] = hash;
    tags_[slot] = tag_of(hash);
    label_views_[slot] = label.data();
    label_sizes_[slot] = retained_size(label);
    occupied_ |= SlotMask{1} << slot;
    borrowed_ |= SlotMask{1} << slot;
  }

  std::string_view label(std::size_t slot) const noexcept {
    const char* bytes = (borrowed_ >> slot) & 1u ? label_views_[slot] : labels_[slot].data();
    return {bytes, label_sizes_[slot]};
  }

  template <typename F>
  void for_each_slot(F&& f) const {
    for (SlotMask rest = occupied_; rest != 0; rest &= rest - 1) {
      f(static_cast<std::size_t>(std::countr_zero(rest)));
    }
  }

  // Hot fields first; a free slot's fields are stale and never trusted.
  alignas(16) std::array<std::uint16_t, capacity> tags_{};  // low 16 bits of the slot's hash
  std::array<std::uint64_t, capacity> hashes_{};
  std::array<std::uint64_t, capacity> counts_{};  // at least 1 in occupied slots
  SlotMask occupied_ = 0;
  SlotMask borrowed_ = 0;  // occupied slots whose label bytes are the caller's
  std::array<std::uint16_t, capacity> label_sizes_{};
  std::array<const char*, capacity> label_views_{};  // a borrowed slot's label bytes
  std::array<std::array<char, max_retained_label_bytes>, capacity> labels_{};
};

// Merge: the Misra-Gries summary merge (misra_gries_merge.hpp) over the string hashes, counts saturating at 2^64 - 1
// (which they reach only together with the state's count). A
// string tracked by both keeps the label of `a`, the first operand, so the
// label stays that of the string that created the candidate in the earlier
// part of the stream.

inline StringHeavyHittersSketch merged(const StringHeavyHittersSketch& a,
                                       const StringHeavyHittersSketch& b) {
  std::vector<std::pair<std::uint64_t, StringCandidate>> pairs = a.counters();
  for (auto& pair : b.counters()) pairs.push_back(std::move(pair));
  // Stable: of two equal hashes, the one of `a` comes first and keeps its label.
  std::stable_sort(pairs.begin(), pairs.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  StringHeavyHittersSketch out;
  for (const auto& [hash, candidate] : detail::misra_gries_merge(
           std::move(pairs), StringHeavyHittersSketch::capacity,
           [](auto& pair) -> std::uint64_t& { return pair.second.count; },
           [](std::uint64_t x, std::uint64_t y) {
             return y > std::numeric_limits<std::uint64_t>::max() - x ? std::numeric_limits<std::uint64_t>::max()
                                                                       : x + y;
           })) {
    out.observe_hashed(hash, candidate.label, candidate.count);  // distinct hashes, room for all
  }
  return out;
}

}  // namespace tessary
