#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "tessary/categorical_sketches/categorical_sketch_state.hpp"
#include "tessary/categorical_sketches/string_heavy_hitters_sketch.hpp"
#include "tessary/count_overflow.hpp"
#include "tessary/sketches/sketch_merge.hpp"

namespace tessary {

// Merges of string-stream states; the operands are only read (either may be
// the other) and the result is built apart.
//
// StringHeavyHittersSketch: the Misra-Gries summary merge of
// sketch_merge.hpp over the string hashes, counts saturating at 2^64 - 1
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

// HyperLogLog registers by maximum, counts added, heavy hitters as above.
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
