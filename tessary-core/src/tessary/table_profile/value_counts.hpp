#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace tessary {

// Exact counts of up to `limit` distinct 64-bit keys.
//
// Algorithm: open addressing with linear probing over a power-of-two table
// at most half full, a slot being free while its count is 0; the home slot
// is the top bits of key * 2^64 / phi.
//
// Guarantee: counts are exact; add() refuses, changing nothing, a new key
// beyond `limit` (the owner then switches to sketches), and tells a key
// inserted from one counted again.
//
// Invariants: size() <= limit; every stored count > 0; capacity 0 or a
// power of two at least 2 size().
class ValueCounts {
 public:
  static constexpr std::size_t limit = 1000;

  using Entry = std::pair<std::uint64_t, std::uint64_t>;  // (key, count)

  enum class Added : std::uint8_t { refused, counted, inserted };

  // Adds weight to key, held (counted) or new (inserted); refused, changing
  // nothing, when the key is new and `limit` keys are held. May allocate
  // (grow) unless reserve_for covered it. Inlined into the loops that count:
  // the probe is what they spend on.
  [[gnu::always_inline]] Added add(std::uint64_t key, std::uint64_t weight) {
    if (2 * (size_ + 1) > slots_.size()) [[unlikely]] return add_growing(key, weight);
    Entry& slot = slots_[slot_of(key)];
    if (slot.second != 0) {
      slot.second += weight;
      return Added::counted;
    }
    if (size_ == limit) return Added::refused;
    slot = {key, weight};
    ++size_;
    return Added::inserted;
  }

  // Room for `distinct` keys in all (at most limit) without growing.
  void reserve_for(std::size_t distinct) {
    distinct = std::min(distinct, limit);
    if (2 * distinct > slots_.size()) grow(distinct);
  }

  std::size_t size() const noexcept { return size_; }
  std::size_t memory_bytes() const noexcept { return slots_.capacity() * sizeof(Entry); }

  // (key, count) in table order, which depends on the history of the table.
  std::vector<Entry> entries() const {
    std::vector<Entry> out(size_ + 1);  // the spare entry takes the write of each free slot
    pack_into(out.data());
    out.pop_back();
    return out;
  }

  // The entries as entries() lists them, moved to the front of the table's
  // own storage, for an owner that is done counting: nothing is allocated.
  // The table is then fit only for clear_and_release(), which ends the span.
  std::span<const Entry> take_entries() noexcept { return {slots_.data(), pack_into(slots_.data())}; }

  void clear_and_release() noexcept {
    std::vector<Entry>().swap(slots_);
    size_ = 0;
    mask_ = 0;
    shift_ = 64;
  }

 private:
  std::size_t home(std::uint64_t key) const noexcept {
    return static_cast<std::size_t>((key * 0x9e3779b97f4a7c15ULL) >> shift_);
  }

  // Writes the held entries, in table order, to out[0, size_) and returns
  // size_. Every slot is written, a free one over the entry that comes
  // next, without a branch on the slots (about half are free): `out` has
  // room for size_ + 1, or is the table itself, each slot read before any
  // write reaches it.
  std::size_t pack_into(Entry* out) const noexcept {
    std::size_t n = 0;
    for (const Entry* slot = slots_.data(); slot != slots_.data() + slots_.size(); ++slot) {
      const Entry entry = *slot;
      out[n] = entry;
      n += entry.second != 0 ? 1 : 0;
    }
    return n;
  }

  // The slot holding `key`, or the free one where it would go; the table
  // is not empty.
  std::size_t slot_of(std::uint64_t key) const noexcept {
    std::size_t i = home(key);
    while (slots_[i].second != 0 && slots_[i].first != key) i = (i + 1) & mask_;
    return i;
  }

  // add() where a new key would not fit without growing.
  [[gnu::noinline]] Added add_growing(std::uint64_t key, std::uint64_t weight) {
    if (!slots_.empty()) {
      Entry& slot = slots_[slot_of(key)];
      if (slot.second != 0) {
        slot.second += weight;
        return Added::counted;
      }
    }
    if (size_ == limit) return Added::refused;
    grow(size_ + 1);
    insert_new(key, weight);
    return Added::inserted;
  }

  // A key the table does not hold, with room for it.
  void insert_new(std::uint64_t key, std::uint64_t weight) noexcept {
    slots_[slot_of(key)] = {key, weight};
    ++size_;
  }

  void grow(std::size_t distinct) {
    std::size_t capacity = 16;
    while (capacity < 2 * distinct) capacity *= 2;
    if (capacity <= slots_.size()) return;
    std::vector<Entry> old(capacity);
    old.swap(slots_);
    mask_ = capacity - 1;
    shift_ = 64 - std::countr_zero(capacity);
    size_ = 0;
    for (const Entry& slot : old) {
      if (slot.second != 0) insert_new(slot.first, slot.second);
    }
  }

  std::vector<Entry> slots_;
  std::size_t size_ = 0;
  std::size_t mask_ = 0;
  int shift_ = 64;
};

}  // namespace tessary
