#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "tessary/arrow_import/imported_record_batch.hpp"
#include "tessary/arrow_import/numeric_column.hpp"
#include "tessary/fused_profile/batch_profile_state.hpp"
#include "tessary/fused_profile/numeric_profile_state.hpp"
#include "tessary/thread_pool.hpp"

namespace tessary {

namespace fused_profile_detail {

// Slots read per block by scan_columns.
inline constexpr std::int64_t block_rows = 1024;

// One column of scan_columns: the finite values of its last block read,
// those from `next` on not yet observed, and where its reading stands.
struct ColumnCursor {
  const NumericSlotReader* reader = nullptr;
  std::int64_t next_slot = 0;
  NumericSlotReader::Counts counts;
  std::span<const double> values;
  std::size_t next = 0;
  double scratch[block_rows];

  std::size_t left() const noexcept { return values.size() - next; }

  // Reads blocks until a value is left or the rows run out.
  void refill(std::int64_t rows) {
    while (next == values.size() && next_slot < rows) {
      const std::int64_t count = std::min(block_rows, rows - next_slot);
      values = reader->read_finite(next_slot, count, scratch, counts);
      next = 0;
      next_slot += count;
    }
  }
};

// Whether a column holds a -0.0 and whether it holds a +0.0, and whether
// that is settled: both were seen, or the column holds integers, which
// convert to +0.0 only.
struct ZeroSigns {
  std::uint64_t negative = 0;
  std::uint64_t positive = 0;
  bool settled = false;

  static ZeroSigns of(const NumericSlotReader& column) noexcept {
    return column.floating() ? ZeroSigns{} : ZeroSigns{0, 1, true};
  }

  // Notes the zeros among values[0, count). The magnitude's bits minus one
  // have the sign bit set exactly for a zero; ANDed with the value's bits,
  // the sign bit then tells a -0.0, and with their complement a +0.0.
  // Integer operations without comparisons, which the compiler vectorizes.
  void note(const double* values, std::size_t count) noexcept {
    std::uint64_t n = 0;
    std::uint64_t p = 0;
    for (std::size_t j = 0; j < count; ++j) {
      const std::uint64_t bits = std::bit_cast<std::uint64_t>(values[j]);
      const std::uint64_t zero = (bits & 0x7fffffffffffffffULL) - 1;
      n |= zero & bits;
      p |= zero & ~bits;
    }
    negative |= n >> 63;
    positive |= p >> 63;
    settled = (negative & positive) != 0;
  }
};

// One finite value of scan_columns into the moments and the quantiles.
template <typename Moments>
[[gnu::always_inline]] inline void observe_one(Moments& moments, LogQuantileSketch& quantiles, double x) {
  if constexpr (std::is_same_v<Moments, RunningNumericState>) {
    moments.observe_finite_unsigned_zeros(x);
  } else {
    moments.observe_finite(x);
  }
  quantiles.observe_finite(x);
}

// After the plain comparisons of observe_together over values[0, count):
// the block's zeros noted if it may have any and the signs are not
// settled. Every zero lands in the sketch's zero bucket, so a block that
// left the bucket as it was (the usual case) costs one test, and only a
// block with values near zero is read again, while it is still in cache.
[[gnu::always_inline]] inline void note_zeros(ZeroSigns& zeros, const LogQuantileSketch& after,
                                              std::uint64_t zero_count_before, const double* values,
                                              std::size_t count) noexcept {
  if (after.zero_count() != zero_count_before && !zeros.settled) [[unlikely]] zeros.note(values, count);
}

// After the unchecked steps of observe_together from `before` to `after`
// over values[0, count): the block folded again with the repairs of
// NumericState::fold_checked if a step needed them.
[[gnu::always_inline]] inline void check_block(RunningNumericState& after, const RunningNumericState& before,
                                               const double* values, std::size_t count) {
  if (after.needs_refold(before.sums())) [[unlikely]] {
    after.set_sums(RunningNumericState::refold(before.count, before.sums(), [values, count](auto step) {
      for (std::size_t j = 0; j < count; ++j) step(values[j]);
    }));
  }
}

// Observes values[k][0, count) into moments[k] and quantiles[k], and notes
// its zeros into zeros[k] when the moments lose their signs, for the K
// (one or two) columns, in one loop. Out of line, on named locals whose
// addresses never escape the loop: in the caller the moments live across
// the calls that read each block and the sketches are reached through
// pointers, and as arrays of locals they were still kept in memory. Either
// way the loop would store and re-read them on every value. The steps of a
// RunningNumericState are checked for overflow once, after the loop.
template <typename Moments, std::size_t K>
[[gnu::noinline]] void observe_together(Moments* moments, ZeroSigns* zeros, LogQuantileSketch* quantiles,
                                        const double* const* values, std::size_t count) {
  static_assert(K == 1 || K == 2);
  if constexpr (K == 1) {
    Moments m = moments[0];
    LogQuantileSketch q = std::move(quantiles[0]);
    const std::uint64_t zero_count = q.zero_count();
    const double* const v = values[0];
    for (std::size_t j = 0; j < count; ++j) observe_one(m, q, v[j]);
    if constexpr (std::is_same_v<Moments, RunningNumericState>) {
      check_block(m, moments[0], v, count);
      note_zeros(zeros[0], q, zero_count, v, count);
    }
    moments[0] = m;
    quantiles[0] = std::move(q);
  } else {
    Moments m0 = moments[0];
    Moments m1 = moments[1];
    LogQuantileSketch q0 = std::move(quantiles[0]);
    LogQuantileSketch q1 = std::move(quantiles[1]);
    const std::uint64_t zero_count0 = q0.zero_count();
    const std::uint64_t zero_count1 = q1.zero_count();
    const double* const v0 = values[0];
    const double* const v1 = values[1];
    for (std::size_t j = 0; j < count; ++j) {
      observe_one(m0, q0, v0[j]);
      observe_one(m1, q1, v1[j]);
    }
    if constexpr (std::is_same_v<Moments, RunningNumericState>) {
      check_block(m0, moments[0], v0, count);
      check_block(m1, moments[1], v1, count);
      note_zeros(zeros[0], q0, zero_count0, v0, count);
      note_zeros(zeros[1], q1, zero_count1, v1, count);
    }
    moments[0] = m0;
    moments[1] = m1;
    quantiles[0] = std::move(q0);
    quantiles[1] = std::move(q1);
  }
}

// Profiles `rows` slots of K numeric columns in one loop, each into its own
// fresh state.
//
// The moments of one column are a chain of dependent divisions that leaves
// most of a core idle; the independent chain of a second column interleaved
// in the same loop fills much of it, so a pair takes far less than the two
// columns one after the other. The loop takes only finite values, read a
// block at a time, so that it has no data-dependent branch: a mispredicted
// null would stall both chains. Each state still sees exactly its own
// column's values, in order, so it equals the state of its column scanned
// alone. (The extremes are kept with plain comparisons, and the signs of the
// zeros are noted block by block on the way, to sign a zero extreme at the
// end.) The column is read from memory once.
template <typename Moments, std::size_t K>
void scan_columns(const std::array<const NumericSlotReader*, K>& columns,
                  const std::array<NumericProfileState*, K>& states, std::int64_t rows) {
  Moments moments[K] = {};
  ZeroSigns zeros[K];
  LogQuantileSketch quantiles[K];
  ColumnCursor cursors[K];
  for (std::size_t k = 0; k < K; ++k) {
    zeros[k] = ZeroSigns::of(*columns[k]);
    cursors[k].reader = columns[k];
  }
  // Side by side while every column has values left...
  for (;;) {
    std::size_t together = block_rows;
    for (std::size_t k = 0; k < K; ++k) {
      cursors[k].refill(rows);
      together = std::min(together, cursors[k].left());
    }
    if (together == 0) break;
    const double* values[K];
    for (std::size_t k = 0; k < K; ++k) {
      values[k] = cursors[k].values.data() + cursors[k].next;
      cursors[k].next += together;
    }
    observe_together<Moments, K>(moments, zeros, quantiles, values, together);
  }
  // ... then each on its own.
  for (std::size_t k = 0; k < K; ++k) {
    ColumnCursor& cursor = cursors[k];
    for (cursor.refill(rows); cursor.left() != 0; cursor.refill(rows)) {
      const double* const values = cursor.values.data() + cursor.next;
      observe_together<Moments, 1>(&moments[k], &zeros[k], &quantiles[k], &values, cursor.left());
      cursor.next = cursor.values.size();
    }
    moments[k].missing += cursor.counts.missing;
    moments[k].infinite += cursor.counts.infinite;
    if constexpr (std::is_same_v<Moments, RunningNumericState>) {
      moments[k].sign_zero_extremes(zeros[k].negative != 0, zeros[k].positive != 0);
      moments[k].store(states[k]->exact);
    } else {
      states[k]->exact = moments[k];
    }
    states[k]->quantiles = std::move(quantiles[k]);
  }
}

// scan_columns in the form of the moments that fits `rows`.
template <std::size_t K>
void scan_columns(const std::array<const NumericSlotReader*, K>& columns,
                  const std::array<NumericProfileState*, K>& states, std::int64_t rows) {
  if (RunningNumericState::fits(NumericState{}, static_cast<std::uint64_t>(rows))) {
    scan_columns<RunningNumericState, K>(columns, states, rows);
  } else {
    scan_columns<NumericState, K>(columns, states, rows);
  }
}

}  // namespace fused_profile_detail

// Profiles every numeric column of `batch`.
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
// The numeric columns are scanned in pairs, in column order, the last one
// alone when their number is odd (see scan_columns). With a `pool`, a batch
// of parallel_column_rows rows or more has its pairs profiled side by side,
// each column into its own state; the states are then gathered in column
// order, so the result is the same as on one thread.
inline BatchProfileState profile_record_batch(const RecordBatchView& batch, ThreadPool* pool = nullptr) {
  const std::size_t count = batch.columns.size();
  std::vector<NumericProfileState> states(count);
  std::vector<std::optional<NumericSlotReader>> readers(count);
  std::vector<std::size_t> numeric;
  for (std::size_t i = 0; i < count; ++i) {
    const ColumnView& column = batch.columns[i];
    readers[i] = NumericSlotReader::of(*column.field, *column.array, column.first_slot);
    if (readers[i]) numeric.push_back(i);
  }
  const auto rows = static_cast<std::int64_t>(batch.rows);
  const auto profile_pair = [&](std::size_t pair) {
    const std::size_t a = numeric[2 * pair];
    if (2 * pair + 1 == numeric.size()) {
      fused_profile_detail::scan_columns<1>({&*readers[a]}, {&states[a]}, rows);
      return;
    }
    const std::size_t b = numeric[2 * pair + 1];
    fused_profile_detail::scan_columns<2>({&*readers[a], &*readers[b]}, {&states[a], &states[b]}, rows);
  };
  const std::size_t pairs = (numeric.size() + 1) / 2;
  if (pool != nullptr && pairs >= 2 && batch.rows >= parallel_column_rows) {
    pool->run(pairs, profile_pair);
  } else {
    for (std::size_t pair = 0; pair < pairs; ++pair) profile_pair(pair);
  }
  BatchProfileState result;
  result.rows = batch.rows;
  for (std::size_t i = 0; i < count; ++i) {
    std::string name(batch.columns[i].name);
    if (readers[i]) {
      result.profiles.insert_or_assign(std::move(name), std::move(states[i]));
    } else {
      result.skipped_columns.insert(std::move(name));
    }
  }
  return result;
}

}  // namespace tessary
