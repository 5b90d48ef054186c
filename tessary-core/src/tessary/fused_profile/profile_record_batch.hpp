#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tessary/arrow_import/imported_record_batch.hpp"
#include "tessary/arrow_import/numeric_column.hpp"
#include "tessary/fused_profile/batch_profile_state.hpp"
#include "tessary/fused_profile/numeric_profile_state.hpp"
#include "tessary/thread_pool.hpp"
#include "tessary/validity_bitmap.hpp"

namespace tessary {

namespace fused_profile_detail {

// Feeds slots [begin, end) (physical indices, array offset applied) of one
// primitive column to the moments and the sketch, in order; the conversion
// of a 64-bit integer rounds to nearest, ties to even.
//
// The moments come in and go out by value: a local copy whose address never
// escapes stays in registers, where a reference would be re-read after every
// store into the sketch's bins.
template <typename Element, typename Moments>
Moments scan_slots(Moments exact, LogQuantileSketch& quantiles, const Element* values,
                   const std::uint8_t* validity, std::int64_t begin, std::int64_t end) {
  const auto observe_slot = [&](std::int64_t i) __attribute__((always_inline)) {
    NumericProfileState::observe_value(exact, quantiles, static_cast<double>(values[i]));
  };
  const std::uint64_t nulls = for_each_valid_slot(validity, begin, end, observe_slot);
  exact.missing += nulls;
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

}  // namespace fused_profile_detail

// Profiles every numeric column of `batch`, one pass per column.
//
// Columns whose field type is Int8/16/32/64, UInt8/16/32/64, Float32 or
// Float64 get a NumericProfileState: a null slot (validity bit 0, tested
// only when a validity bitmap exists, whatever the reported null count)
// counts as missing, every other slot is converted to double and observed.
// Every other column is named in skipped_columns. Of two profiled columns
// with the same name the later one wins. `rows` is the batch's row count.
// The columns are read as they stand: the import has validated them (see
// ColumnView), and nothing is checked again here.
//
// With a `pool`, a batch of parallel_column_rows rows or more has its columns
// profiled side by side, each into its own state; the states are then
// gathered in column order, so the result is the same as on one thread.
inline BatchProfileState profile_record_batch(const RecordBatchView& batch, ThreadPool* pool = nullptr) {
  const std::size_t count = batch.columns.size();
  std::vector<NumericProfileState> states(count);
  std::vector<char> numeric(count, 0);
  const auto profile_column = [&](std::size_t i) {
    const ColumnView& column = batch.columns[i];
    numeric[i] = read_numeric_column(
        *column.field, *column.array, column.first_slot, column.length,
        [&state = states[i]]<typename Element>(const Element* values, const std::uint8_t* validity,
                                               std::int64_t begin, std::int64_t end) {
          fused_profile_detail::scan_column(state, values, validity, begin, end);
        });
  };
  if (pool != nullptr && count >= 2 && batch.rows >= parallel_column_rows) {
    pool->run(count, profile_column);
  } else {
    for (std::size_t i = 0; i < count; ++i) profile_column(i);
  }
  BatchProfileState result;
  result.rows = batch.rows;
  for (std::size_t i = 0; i < count; ++i) {
    std::string name(batch.columns[i].name);
    if (numeric[i]) {
      result.profiles.insert_or_assign(std::move(name), std::move(states[i]));
    } else {
      result.skipped_columns.insert(std::move(name));
    }
  }
  return result;
}

}  // namespace tessary
