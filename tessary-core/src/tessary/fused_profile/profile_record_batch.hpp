#pragma once

#include <nanoarrow/nanoarrow.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "tessary/fused_profile/batch_profile_state.hpp"
#include "tessary/fused_profile/numeric_profile_state.hpp"

namespace tessary {

// One column of a record batch. `field` is the parsed schema of the column's
// field (ArrowSchemaViewInit); its logical type decides whether the column
// is profiled. `array` is an ArrowArrayView filled by ArrowArrayViewSetArray,
// directly or as a child of a struct view, so that its buffer sizes are
// known. The column is the slots [first_slot, first_slot + length) of
// `array`, slot j being physical element array->offset + j: a child of a
// struct array has first_slot = the struct's offset and length = the
// struct's length; a standalone array has first_slot 0 and its own length.
struct ColumnView {
  std::string_view name;
  const ArrowSchemaView* field = nullptr;
  const ArrowArrayView* array = nullptr;
  std::int64_t first_slot = 0;
  std::int64_t length = 0;
};

// A record batch: its row count and its columns in schema order. Nothing of
// it is retained by profile_record_batch.
struct RecordBatchView {
  std::uint64_t rows = 0;
  std::span<const ColumnView> columns;
};

namespace fused_profile_detail {

// Feeds slots [begin, end) (physical indices, array offset applied) of one
// primitive column to `state`, in order. One instantiation per element type,
// so the width and the conversion are fixed for the whole loop; the
// conversion of a 64-bit integer rounds to nearest, ties to even.
//
// The moments come in and go out by value: a local copy whose address never
// escapes stays in registers, where a reference would be re-read after every
// store into the sketch's bins.
// Validity bitmaps number their bits from the least significant bit of
// byte 0: as a 64-bit word, that is little-endian order.
inline std::uint64_t little_endian_word(std::uint64_t word) noexcept {
  if constexpr (std::endian::native == std::endian::big) return __builtin_bswap64(word);
  return word;
}

template <typename Element, typename Moments>
Moments scan_slots(Moments exact, LogQuantileSketch& quantiles, const Element* values,
                   const std::uint8_t* validity, std::int64_t begin, std::int64_t end) {
  if (validity == nullptr) {
    for (std::int64_t i = begin; i < end; ++i) {
      NumericProfileState::observe_value(exact, quantiles, static_cast<double>(values[i]));
    }
  } else {
    const auto observe_slot = [&](std::int64_t i) {
      if ((validity[i >> 3] >> (i & 7)) & 1) {
        NumericProfileState::observe_value(exact, quantiles, static_cast<double>(values[i]));
      } else {
        ++exact.missing;
      }
    };
    std::int64_t i = begin;
    for (; i < end && (i & 63) != 0; ++i) observe_slot(i);
    // Whole 64-slot words: visiting only the set bits, in order, costs one
    // hard-to-predict branch per word instead of one per null slot.
    for (; end - i >= 64; i += 64) {
      std::uint64_t word;
      std::memcpy(&word, validity + (i >> 3), sizeof(word));
      word = little_endian_word(word);
      exact.missing += static_cast<std::uint64_t>(64 - std::popcount(word));
      for (; word != 0; word &= word - 1) {
        const std::int64_t slot = i + std::countr_zero(word);
        NumericProfileState::observe_value(exact, quantiles, static_cast<double>(values[slot]));
      }
    }
    for (; i < end; ++i) observe_slot(i);
  }
  return exact;
}

template <typename Element>
void scan_column(NumericProfileState& state, const Element* values, const std::uint8_t* validity,
                 std::int64_t begin, std::int64_t end) {
  // Separate locals keep the moments in registers (see observe_value).
  LogQuantileSketch quantiles = std::move(state.quantiles);
  if (RunningNumericState::fits(state.exact, static_cast<std::uint64_t>(end - begin))) {
    scan_slots(RunningNumericState::from(state.exact), quantiles, values, validity, begin, end)
        .store(state.exact);
  } else {
    state.exact = scan_slots(state.exact, quantiles, values, validity, begin, end);
  }
  state.quantiles = std::move(quantiles);
}

// Profiles `column` as an array of Element, or returns false without
// touching `state` when the array is not a primitive array of the field's
// type whose buffers cover the column's slots.
template <typename Element>
bool profile_column(const ColumnView& column, NumericProfileState& state) {
  const ArrowArrayView& array = *column.array;
  if (array.storage_type != column.field->type) return false;
  if (column.first_slot < 0 || column.length < 0 || array.offset < 0 ||
      column.first_slot > array.length || column.length > array.length - column.first_slot) {
    return false;
  }
  const std::int64_t begin = array.offset + column.first_slot;
  const std::int64_t end = begin + column.length;
  const ArrowBufferView& validity = array.buffer_views[0];
  const ArrowBufferView& values = array.buffer_views[1];
  if (column.length != 0 &&
      (values.data.data == nullptr ||
       values.size_bytes / static_cast<std::int64_t>(sizeof(Element)) < end)) {
    return false;
  }
  if (validity.data.data != nullptr && validity.size_bytes < (end + 7) / 8) return false;
  scan_column(state, static_cast<const Element*>(values.data.data), validity.data.as_uint8, begin,
              end);
  return true;
}

// Dispatches on the field's logical type: storage-compatible types such as
// timestamps, dates, durations and dictionary indices are not numbers.
// Extension types are skipped too: their meaning is not their storage's.
inline bool profile_numeric_column(const ColumnView& column, NumericProfileState& state) {
  if (column.field == nullptr || column.array == nullptr) return false;
  if (column.field->extension_name.data != nullptr) return false;
  switch (column.field->type) {
    case NANOARROW_TYPE_INT8:
      return profile_column<std::int8_t>(column, state);
    case NANOARROW_TYPE_INT16:
      return profile_column<std::int16_t>(column, state);
    case NANOARROW_TYPE_INT32:
      return profile_column<std::int32_t>(column, state);
    case NANOARROW_TYPE_INT64:
      return profile_column<std::int64_t>(column, state);
    case NANOARROW_TYPE_UINT8:
      return profile_column<std::uint8_t>(column, state);
    case NANOARROW_TYPE_UINT16:
      return profile_column<std::uint16_t>(column, state);
    case NANOARROW_TYPE_UINT32:
      return profile_column<std::uint32_t>(column, state);
    case NANOARROW_TYPE_UINT64:
      return profile_column<std::uint64_t>(column, state);
    case NANOARROW_TYPE_FLOAT:
      return profile_column<float>(column, state);
    case NANOARROW_TYPE_DOUBLE:
      return profile_column<double>(column, state);
    default:
      return false;
  }
}

}  // namespace fused_profile_detail

// Profiles every numeric column of `batch`, one pass per column.
//
// Columns whose field type is Int8/16/32/64, UInt8/16/32/64, Float32 or
// Float64 get a NumericProfileState: a null slot (validity bit 0, tested
// only when a validity bitmap exists, whatever the reported null count)
// counts as missing, every other slot is converted to double and observed.
// Every other column, and any column whose array does not match its field,
// is named in skipped_columns. Of two profiled columns with the same name
// the later one wins. `rows` is the batch's row count, not checked against
// the column lengths.
inline BatchProfileState profile_record_batch(const RecordBatchView& batch) {
  BatchProfileState result;
  result.rows = batch.rows;
  for (const ColumnView& column : batch.columns) {
    std::string name(column.name);
    NumericProfileState state;
    if (fused_profile_detail::profile_numeric_column(column, state)) {
      result.profiles.insert_or_assign(std::move(name), std::move(state));
    } else {
      result.skipped_columns.insert(std::move(name));
    }
  }
  return result;
}

}  // namespace tessary
