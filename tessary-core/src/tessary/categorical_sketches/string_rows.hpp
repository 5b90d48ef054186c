#pragma once

// The string rows of an Arrow UTF-8 array (32-bit offsets) or large UTF-8
// array (64-bit offsets), read in place from its raw buffers and recorded
// into a CategoricalSketchState.
//
// Algorithm: row r spans the data bytes [offsets[r], offsets[r + 1]) and is
// present unless a validity bitmap is given whose bit r is 0 or lies beyond
// the bitmap. Each present row is hashed with string_hash in one pass over
// its bytes and recorded, in row order, under that hash with a view of its
// label prefix (at most max_retained_label_bytes); a missing row is only
// counted. A call of many rows hashes on one thread of the pool while
// another records the previous chunk; the sketches see the same rows in the
// same order, so the state is the same bit for bit.
//
// Guarantees: a call records all of its rows or none. Every check (the
// requested range against the offsets, then the offsets of every present
// row, the first bad row in row order reported) runs before the first
// change to the state and throws StringRowsError; after the checks nothing
// can fail, the pipeline's buffers being allocated before the first row is
// recorded.
//
// Buffers that another thread may write: the buffers belong to their
// exporter, and another thread may write them while the rows are read (an
// exporter can release its lock while it copies into them). So the
// recording pass does not trust the checks: it reads each offset once,
// clamps it to the data again and counts the missing rows itself. A racing
// writer can make the result wrong, never make the kernel read outside the
// buffers.
//
// Invariants of a StringRows: first <= end, offsets holds at least end + 1
// items, and every byte the rows are read from lies in the given buffers.
// The hot loops allocate nothing.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "tessary/categorical_sketches/categorical_sketch_state.hpp"
#include "tessary/categorical_sketches/string_hash.hpp"
#include "tessary/categorical_sketches/string_heavy_hitters_sketch.hpp"
#include "tessary/saturating.hpp"
#include "tessary/thread_pool.hpp"

namespace tessary {

// String buffers that do not describe the requested rows. Thrown before
// anything changes; the binding reports it as BufferError.
class StringRowsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The rows [first, end) of one call, over offsets checked to cover them.
template <class Offset>
struct StringRows {
  const std::uint8_t* data;
  std::uint64_t data_length;
  const Offset* offsets;  // at least `end` + 1 items
  bool has_bitmap;  // false: every row is present
  const std::uint8_t* bitmap;  // may be null when bitmap_length is 0
  std::size_t bitmap_length;
  std::size_t first;
  std::size_t end;

  // The rows [array_offset, array_offset + length) of the buffers; no
  // bitmap means every row is present. Throws StringRowsError when the
  // range overflows or the offsets do not reach its end. The rows' own
  // offsets are checked by check_present_rows.
  static StringRows over(std::span<const std::uint8_t> data, std::span<const Offset> offsets,
                         std::optional<std::span<const std::uint8_t>> bitmap, std::uint64_t array_offset,
                         std::uint64_t length) {
    // The rows need offsets up to index array_offset + length, which must
    // itself be a 64-bit value.
    if (length >= std::numeric_limits<std::uint64_t>::max() - array_offset) {
      throw StringRowsError("Arrow string offset range overflowed.");
    }
    const std::uint64_t end = array_offset + length;
    if (offsets.size() <= end) throw StringRowsError("Arrow string offsets are shorter than the requested array range.");
    // end < offsets.size(), so every row index fits in a size_t.
    return {data.data(),
            data.size(),
            offsets.data(),
            bitmap.has_value(),
            bitmap ? bitmap->data() : nullptr,
            bitmap ? bitmap->size() : 0,
            static_cast<std::size_t>(array_offset),
            static_cast<std::size_t>(end)};
  }

  bool is_bad(std::size_t r) const noexcept {
    const Offset start = offsets[r];
    const Offset stop = offsets[r + 1];
    // A negative stop fails one of the first two tests anyway, so the cast
    // in the last one is harmless.
    return (start < 0) | (stop < start) | (static_cast<std::uint64_t>(stop) > data_length);
  }

  void throw_if_bad(std::size_t r) const {
    const Offset start = offsets[r];
    const Offset stop = offsets[r + 1];
    if (start < 0 || stop < start) throw StringRowsError("Arrow string offsets contain an invalid range.");
    if (static_cast<std::uint64_t>(stop) > data_length) {
      throw StringRowsError("Arrow string offset exceeds the UTF8 data buffer.");
    }
  }

  // Calls present(r) for every present row in order; returns the number of
  // missing rows. Offsets of missing rows are not read.
  template <class Present>
  std::uint64_t visit(Present&& present) const {
    if (!has_bitmap) {
      for (std::size_t r = first; r < end; ++r) present(r);
      return 0;
    }
    // Rows beyond the bitmap are missing. 8 * bitmap_length is formed only
    // when it is at most `end`, so it cannot overflow.
    const std::size_t covered_end = bitmap_length > (end >> 3) ? end : std::max(first, bitmap_length * 8);
    std::uint64_t present_rows = 0;
    for (std::size_t r = first; r < covered_end; ++r) {
      if ((bitmap[r >> 3] >> (r & 7)) & 1u) {
        present(r);
        ++present_rows;
      }
    }
    return (end - first) - present_rows;
  }
};

namespace string_rows_detail {

// Whether some offset is smaller than the one before it.
template <class Offset>
bool decreases(const Offset* offsets, std::size_t count) noexcept {
  unsigned found = 0;
  for (std::size_t i = 1; i < count; ++i) found |= offsets[i] < offsets[i - 1];
  return found != 0;
}

// One read of a value that another thread may be writing.
template <class T>
T load_once(const T* address) noexcept {
  return __atomic_load_n(address, __ATOMIC_RELAXED);
}

// Hashes every present row in one pass over its bytes and calls
// record(hash, label prefix) for it, in row order; returns the number of
// missing rows. The offsets were checked, but are read once and clamped
// again here (see the top of this file).
template <class Offset, class Record>
std::uint64_t hash_rows(const StringRows<Offset>& rows, Record&& record) noexcept {
  return rows.visit([&](std::size_t r) {
    const std::uint64_t end_of_data = rows.data_length;
    const Offset first = load_once(rows.offsets + r);
    const Offset last = load_once(rows.offsets + r + 1);
    const std::uint64_t start = std::min(first < 0 ? 0 : static_cast<std::uint64_t>(first), end_of_data);
    const std::uint64_t stop = std::clamp(last < 0 ? 0 : static_cast<std::uint64_t>(last), start, end_of_data);
    const auto n = static_cast<std::size_t>(stop - start);
    const std::uint8_t* bytes = rows.data + start;
    const std::size_t label_length = std::min(n, StringHeavyHittersSketch::max_retained_label_bytes);
    record(string_hash(bytes, n), std::string_view(reinterpret_cast<const char*>(bytes), label_length));
  });
}

// A present row as the hashing stage hands it to the sketches.
struct HashedRow {
  std::uint64_t hash;
  std::string_view label;
};

// Rows per stage of the pipeline: two chunks of hashed rows stay in the
// second-level cache, and a stage is long enough that the hand-over costs
// little.
inline constexpr std::size_t pipeline_chunk_rows = std::size_t{1} << 14;

// Records every present row under its hash and a view of its label prefix;
// returns the number of missing rows. The heavy hitters keep viewing the
// data buffer while the call runs and copy only the labels of the
// candidates that are left at its end.
//
// Out of line, with `rows` by value: a local copy whose address stays here,
// so its fields stay in registers. Through a reference, or inlined into the
// pipelined version below (whose lambdas take the addresses of its locals),
// they are re-read after every store into the sketches: measured 6% and 20%
// slower.
template <class Offset>
[[gnu::noinline]] std::uint64_t observe_rows(const StringRows<Offset> rows, CategoricalSketchState& state) noexcept {
  const std::uint64_t missing = hash_rows(
      rows, [&state](std::uint64_t hash, std::string_view label) { state.observe_hashed_borrowed(hash, label); });
  state.retain_labels();
  return missing;
}

// observe_rows as a pipeline on two threads of `pool`: one thread hashes
// chunk k + 1 while the other feeds the hashes of chunk k to the sketches.
// The sketches see the same rows in the same order as in observe_rows, so
// the result is identical bit for bit. The buffers are allocated before the
// first change to the state; after that nothing can fail.
template <class Offset>
std::uint64_t observe_rows(const StringRows<Offset>& rows, CategoricalSketchState& state, ThreadPool& pool) {
  const std::size_t row_count = rows.end - rows.first;
  if (row_count < 4 * pipeline_chunk_rows || pool.threads() < 2) return observe_rows(rows, state);
  std::vector<HashedRow> hashed(2 * pipeline_chunk_rows);
  std::size_t hashed_count[2] = {0, 0};
  std::uint64_t missing = 0;
  const auto hash_chunk = [&](std::size_t k) noexcept {
    StringRows<Offset> chunk = rows;
    chunk.first = rows.first + k * pipeline_chunk_rows;
    chunk.end = std::min(chunk.first + pipeline_chunk_rows, rows.end);
    HashedRow* out = hashed.data() + (k & 1) * pipeline_chunk_rows;
    std::size_t n = 0;
    missing += hash_rows(chunk, [&](std::uint64_t hash, std::string_view label) { out[n++] = {hash, label}; });
    hashed_count[k & 1] = n;
  };
  const std::size_t chunks = (row_count + pipeline_chunk_rows - 1) / pipeline_chunk_rows;
  hash_chunk(0);
  for (std::size_t k = 0; k < chunks; ++k) {
    pool.run(2, [&](std::size_t task) noexcept {
      if (task == 0) {
        if (k + 1 < chunks) hash_chunk(k + 1);
        return;
      }
      const HashedRow* in = hashed.data() + (k & 1) * pipeline_chunk_rows;
      const std::size_t n = hashed_count[k & 1];  // read once: the sketch's stores might alias it
      for (std::size_t i = 0; i < n; ++i) state.observe_hashed_borrowed(in[i].hash, in[i].label);
    });
  }
  state.retain_labels();
  return missing;
}

}  // namespace string_rows_detail

// Checks the offsets of every present row; throws the StringRowsError of
// the first bad present row in row order.
template <class Offset>
void check_present_rows(const StringRows<Offset>& rows) {
  // A cheap sweep first; only a failing call looks for the culprit row.
  bool any_bad = false;
  if (!rows.has_bitmap) {
    // With every row present, the rows are valid exactly when the offsets
    // start at 0 or above, never decrease and end within the data.
    const Offset* offsets = rows.offsets + rows.first;
    const std::size_t count = rows.end - rows.first + 1;
    any_bad = offsets[0] < 0 || static_cast<std::uint64_t>(offsets[count - 1]) > rows.data_length ||
              string_rows_detail::decreases(offsets, count);
  } else {
    rows.visit([&](std::size_t r) { any_bad |= rows.is_bad(r); });
  }
  if (any_bad) rows.visit([&](std::size_t r) { rows.throw_if_bad(r); });
}

// Checks `rows` (check_present_rows), then records every present row into
// `state` and counts the missing ones, on up to two threads of `pool`.
// Throws before the first change to the state, or not at all.
template <class Offset>
void record_string_rows(const StringRows<Offset>& rows, CategoricalSketchState& state, ThreadPool& pool) {
  check_present_rows(rows);
  const std::uint64_t missing = string_rows_detail::observe_rows(rows, state, pool);
  state.missing = saturating_add(state.missing, missing);
}

}  // namespace tessary
