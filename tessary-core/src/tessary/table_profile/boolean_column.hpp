#pragma once

#include <nanoarrow/nanoarrow.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tessary/arrow_import/imported_record_batch.hpp"
#include "tessary/count_overflow.hpp"
#include "tessary/serialization/byte_reader.hpp"
#include "tessary/serialization/byte_writer.hpp"
#include "tessary/serialization/state_codec.hpp"
#include "tessary/table_profile/column_summary.hpp"
#include "tessary/validity_bitmap.hpp"

namespace tessary {

namespace boolean_detail {

// The n <= 64 bits of `bitmap` from bit `first` on, as the low bits of a
// word; reads only the bytes that hold them.
inline std::uint64_t bits_at(const std::uint8_t* bitmap, std::int64_t first, int n) noexcept {
  const std::uint8_t* p = bitmap + (first >> 3);
  const int shift = static_cast<int>(first & 7);
  const auto bytes = static_cast<std::size_t>((shift + n + 7) >> 3);  // 1 to 9
  std::uint64_t low = 0;
  std::memcpy(&low, p, bytes < 8 ? bytes : 8);
  low = little_endian_word(low) >> shift;
  if (bytes == 9) low |= static_cast<std::uint64_t>(p[8]) << (64 - shift);
  return n == 64 ? low : low & ((std::uint64_t{1} << n) - 1);
}

// Set bits of `values` at the slots [begin, end) whose bit in `validity` is
// set (every slot when validity is null).
inline std::uint64_t count_true(const std::uint8_t* values, const std::uint8_t* validity, std::int64_t begin,
                                std::int64_t end) noexcept {
  if (validity == nullptr) return static_cast<std::uint64_t>(ArrowBitCountSet(values, begin, end - begin));
  std::uint64_t count = 0;
  for (std::int64_t i = begin; i < end; i += 64) {
    const int n = end - i < 64 ? static_cast<int>(end - i) : 64;
    count += static_cast<std::uint64_t>(std::popcount(bits_at(values, i, n) & bits_at(validity, i, n)));
  }
  return count;
}

}  // namespace boolean_detail

// The state of one boolean column: present values, missing (null) slots and
// the true values among the present ones, all exact. Slices are counted
// whole through the bitmaps, 64 slots a word; a merge adds the counters.
// Invariants: true_count <= count, count + missing <= 2^64 - 1; an update or
// merge that would break the latter throws CountOverflow before any change.
class BooleanColumn {
 public:
  static bool reads(const ArrowSchemaView& field) noexcept { return field.type == NANOARROW_TYPE_BOOL; }

  void observe(const ColumnView& column) {
    const ArrowArrayView& array = *column.array;
    if (column.length == 0) return;
    const std::int64_t begin = array.offset + column.first_slot;
    const std::int64_t end = begin + column.length;
    const std::uint8_t* validity = array.buffer_views[0].data.as_uint8;
    // Nulls from the bitmap itself, which the true values are counted against.
    const auto present = static_cast<std::uint64_t>(
        validity == nullptr ? column.length : ArrowBitCountSet(validity, begin, column.length));
    const std::uint64_t nulls = static_cast<std::uint64_t>(column.length) - present;
    if (count_sum_overflows(seen(), present + nulls)) throw CountOverflow(updated_counts_overflow);
    true_count_ += boolean_detail::count_true(array.buffer_views[1].data.as_uint8, validity,
                                              begin, end);
    count_ += present;
    missing_ += nulls;
  }

  void add_missing(std::uint64_t n) {
    if (count_sum_overflows(seen(), n)) throw CountOverflow(updated_counts_overflow);
    missing_ += n;
  }

  void merge(const BooleanColumn& other) {
    if (count_sum_overflows(seen(), other.seen())) throw CountOverflow(merged_counts_overflow);
    count_ += other.count_;
    missing_ += other.missing_;
    true_count_ += other.true_count_;
  }

  BooleanSummary summary() const { return {count_, missing_, true_count_}; }
  std::uint64_t seen() const noexcept { return count_ + missing_; }
  std::size_t memory_bytes() const noexcept { return sizeof(BooleanColumn); }

  // u8 version 1, varint count, missing, true_count.
  void encode(ByteWriter& out) const {
    out.u8(1);
    out.varint(count_);
    out.varint(missing_);
    out.varint(true_count_);
  }

  static BooleanColumn decode(ByteReader& in, DecodeBudget&) {
    if (in.u8() != 1) throw_corrupt("unknown boolean column version");
    BooleanColumn s;
    s.count_ = in.varint();
    s.missing_ = in.varint();
    s.true_count_ = in.varint();
    if (count_sum_overflows(s.count_, s.missing_)) throw_corrupt("boolean column counts beyond 2^64 - 1");
    if (s.true_count_ > s.count_) throw_corrupt("more true values than values");
    return s;
  }

 private:
  std::uint64_t count_ = 0;
  std::uint64_t missing_ = 0;
  std::uint64_t true_count_ = 0;
};

}  // namespace tessary
