#pragma once

#include <nanoarrow/nanoarrow.h>

#include <cstddef>
#include <cstdint>

#include "tessary/arrow_import/imported_record_batch.hpp"
#include "tessary/count_overflow.hpp"
#include "tessary/serialization/byte_reader.hpp"
#include "tessary/serialization/byte_writer.hpp"
#include "tessary/serialization/state_codec.hpp"
#include "tessary/table_profile/column_summary.hpp"

namespace tessary {

// The state of a column of any type that no other state reads: present and
// missing slots, exact. A slot is missing when the validity bitmap says so;
// every slot of a null-type array is missing, and types without a validity
// bitmap (unions, run-end encoded) have none missing. A merge adds the
// counters. Invariant: count + missing <= 2^64 - 1; an update or merge that
// would break it throws CountOverflow before any change.
class OtherColumn {
 public:
  static bool reads(const ArrowSchemaView&) noexcept { return true; }

  void observe(const ColumnView& column) {
    const auto nulls =
        static_cast<std::uint64_t>(arrow_import_detail::null_count(*column.array, column.first_slot, column.length));
    const auto length = static_cast<std::uint64_t>(column.length);
    if (count_sum_overflows(seen(), length)) throw CountOverflow(updated_counts_overflow);
    count_ += length - nulls;
    missing_ += nulls;
  }

  void add_missing(std::uint64_t n) {
    if (count_sum_overflows(seen(), n)) throw CountOverflow(updated_counts_overflow);
    missing_ += n;
  }

  void merge(const OtherColumn& other) {
    if (count_sum_overflows(seen(), other.seen())) throw CountOverflow(merged_counts_overflow);
    count_ += other.count_;
    missing_ += other.missing_;
  }

  OtherSummary summary() const { return {count_, missing_}; }
  std::uint64_t seen() const noexcept { return count_ + missing_; }
  std::size_t memory_bytes() const noexcept { return sizeof(OtherColumn); }

  // u8 version 1, varint count, missing.
  void encode(ByteWriter& out) const {
    out.u8(1);
    out.varint(count_);
    out.varint(missing_);
  }

  static OtherColumn decode(ByteReader& in, DecodeBudget&) {
    if (in.u8() != 1) throw_corrupt("unknown column version");
    OtherColumn s;
    s.count_ = in.varint();
    s.missing_ = in.varint();
    if (count_sum_overflows(s.count_, s.missing_)) throw_corrupt("column counts beyond 2^64 - 1");
    return s;
  }

 private:
  std::uint64_t count_ = 0;
  std::uint64_t missing_ = 0;
};

}  // namespace tessary
