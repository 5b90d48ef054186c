#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

#include "tessary/categorical_sketches/string_heavy_hitters_sketch.hpp"
#include "tessary/saturating.hpp"
#include "tessary/sketches/hyper_log_log.hpp"
#include "tessary/count_overflow.hpp"

namespace tessary {

// The whole state of one string stream: present and missing row counts, a
// HyperLogLog distinct count and the heavy hitters. A present string enters
// both sketches under the same string_hash, so it has one identity for both.
// Rows seen are count + missing. Both counters saturate at 2^64 - 1.
struct CategoricalSketchState {
  HyperLogLog hll;
  std::uint64_t count = 0;
  std::uint64_t missing = 0;
  StringHeavyHittersSketch heavy_hitters;

  // Records one present string given its hash and its label bytes (a prefix
  // of the string; at most max_retained_label_bytes of it are kept).
  void observe_hashed(std::uint64_t hash, std::string_view label) noexcept {
    count += count != std::numeric_limits<std::uint64_t>::max();
    hll.observe_hash(hash);
    heavy_hitters.observe_hashed(hash, label, 1);
  }

  // As observe_hashed, except that the heavy hitters may keep viewing
  // `label` until retain_labels(); see
  // StringHeavyHittersSketch::observe_hashed_borrowed.
  void observe_hashed_borrowed(std::uint64_t hash, std::string_view label) noexcept {
    count += count != std::numeric_limits<std::uint64_t>::max();
    hll.observe_hash(hash);
    heavy_hitters.observe_hashed_borrowed(hash, label, 1);
  }

  void retain_labels() noexcept { heavy_hitters.retain_labels(); }

  // A missing row has no hash and enters neither sketch.
  void observe_missing() noexcept { missing += missing != std::numeric_limits<std::uint64_t>::max(); }

  // n missing rows at once: what n calls of observe_missing() do.
  void add_missing(std::uint64_t n) noexcept { missing = saturating_add(missing, n); }
};

// The bytes of memory that `s` holds: the registers and the heavy hitters
// with their label buffers live inside the record, which allocates nothing.
inline std::size_t memory_bytes(const CategoricalSketchState&) noexcept { return sizeof(CategoricalSketchState); }

// Merge: HyperLogLog registers by maximum, counts added, heavy hitters as above.
// Observing saturates the counts at 2^64 - 1, but a merge that would pass it
// throws CountOverflow before anything is built: a sum that stops at the
// limit would no longer count the rows of either part.
inline CategoricalSketchState merged(const CategoricalSketchState& a, const CategoricalSketchState& b) {
  if (count_sum_overflows(a.count, b.count) || count_sum_overflows(a.missing, b.missing)) {
    throw CountOverflow(merged_counts_overflow);
  }
  CategoricalSketchState out;
  out.hll = merged(a.hll, b.hll);
  out.count = a.count + b.count;
  out.missing = a.missing + b.missing;
  out.heavy_hitters = merged(a.heavy_hitters, b.heavy_hitters);
  return out;
}

}  // namespace tessary
