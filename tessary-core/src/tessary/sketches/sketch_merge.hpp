#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "tessary/sketches/heavy_hitters_sketch.hpp"
#include "tessary/sketches/hyper_log_log.hpp"
#include "tessary/sketches/log_quantile_sketch.hpp"
#include "tessary/sketches/numeric_sketch_state.hpp"
#include "tessary/sketches/priority_reservoir.hpp"

namespace tessary {

// Merges of the numeric sketches: each takes two sketches of disjoint parts
// of a stream (or of two streams) and returns the sketch of their union. The
// operands are only read, so either may be the other (a sketch merged with
// itself counts its stream twice), and the result is built apart: a merge
// that fails for lack of memory changes nothing.
//
// - HyperLogLog: the register-wise maximum, which is exactly the registers
//   one pass over both parts would give.
// - LogQuantileSketch: bin counts added, exactly one pass's bins.
// - HeavyHittersSketch: the mergeable-summaries rule for Misra-Gries: add the
//   counts of equal keys; if more than `capacity` keys remain, subtract the
//   (capacity + 1)-th largest count from all and drop those not above 0. The
//   counts stay lower bounds with the error bound of one summary of the
//   whole stream (total weight / (capacity + 1)).
// - PriorityReservoir: the `capacity` entries of smallest priority of the
//   union, ties by value bits; the same set whatever the operand order.

// A hash that HyperLogLog::observe_hash files under register `index` with
// rank `rank` (1 to max_rank): the index in the top bits, then rank - 1 zero
// bits and a one (none at all for the largest rank).
constexpr std::uint64_t hash_with_rank(std::size_t index, std::uint8_t rank) noexcept {
  constexpr int rest_bits = 64 - HyperLogLog::precision;
  const std::uint64_t top = static_cast<std::uint64_t>(index) << rest_bits;
  return rank >= HyperLogLog::max_rank ? top : top | (std::uint64_t{1} << (rest_bits - rank));
}

// Raises every register of `into` to at least the given one.
inline void raise_registers(HyperLogLog& into, const std::array<std::uint8_t, HyperLogLog::register_count>& registers) noexcept {
  for (std::size_t i = 0; i < registers.size(); ++i) {
    if (registers[i] != 0) into.observe_hash(hash_with_rank(i, registers[i]));
  }
}

inline HyperLogLog merged(const HyperLogLog& a, const HyperLogLog& b) noexcept {
  HyperLogLog out = a;
  raise_registers(out, b.registers());
  return out;
}

inline LogQuantileSketch merged(const LogQuantileSketch& a, const LogQuantileSketch& b) {
  LogQuantileSketch out = a;
  out.merge(LogQuantileSketch(b));
  return out;
}

namespace detail {

// The Misra-Gries summary merge over (key, counter) pairs sorted by key,
// equal keys adjacent, the first of them kept (its label, for strings).
// count_of(pair) is a reference to a pair's count; add(x, y) sums two
// counts. Returns the surviving pairs in ascending key order.
template <class Pair, class CountOf, class Add>
std::vector<Pair> misra_gries_merge(std::vector<Pair> pairs, std::size_t capacity, CountOf count_of,
                                    Add add) {
  std::vector<Pair> combined;
  combined.reserve(pairs.size());
  for (Pair& pair : pairs) {
    if (!combined.empty() && combined.back().first == pair.first) {
      count_of(combined.back()) = add(count_of(combined.back()), count_of(pair));
    } else {
      combined.push_back(std::move(pair));
    }
  }
  if (combined.size() <= capacity) return combined;
  std::vector<std::uint64_t> counts;
  counts.reserve(combined.size());
  for (Pair& pair : combined) counts.push_back(count_of(pair));
  std::nth_element(counts.begin(), counts.begin() + static_cast<std::ptrdiff_t>(capacity), counts.end(),
                   std::greater<>());
  const std::uint64_t cut = counts[capacity];  // the (capacity + 1)-th largest
  std::vector<Pair> kept;
  for (Pair& pair : combined) {
    if (count_of(pair) > cut) {
      count_of(pair) -= cut;
      kept.push_back(std::move(pair));
    }
  }
  return kept;
}

}  // namespace detail

inline HeavyHittersSketch merged(const HeavyHittersSketch& a, const HeavyHittersSketch& b) {
  // A candidate's value is the float whose bits are its key.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs;
  for (const HeavyHittersSketch* sketch : {&a, &b}) {
    for (const auto& [value, count] : sketch->candidates()) pairs.emplace_back(std::bit_cast<std::uint64_t>(value), count);
  }
  std::stable_sort(pairs.begin(), pairs.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  HeavyHittersSketch out;
  for (const auto& [key, count] :
       detail::misra_gries_merge(
           std::move(pairs), HeavyHittersSketch::capacity,
           [](auto& pair) -> std::uint64_t& { return pair.second; },
           // No wrap: a sketch's counts sum to at most its stream's finite
           // values, and merged(NumericStream) refuses counts past 2^64 - 1.
           [](std::uint64_t x, std::uint64_t y) { return x + y; })) {
    out.observe_weighted(key, count);  // at most capacity distinct keys: plain inserts
  }
  return out;
}

// Orders reservoir entries for merging: priority, then value bits.
inline bool reservoir_precedes(const ReservoirEntry& x, const ReservoirEntry& y) noexcept {
  if (x.priority != y.priority) return x.priority < y.priority;
  return std::bit_cast<std::uint64_t>(x.value) < std::bit_cast<std::uint64_t>(y.value);
}

inline PriorityReservoir merged(const PriorityReservoir& a, const PriorityReservoir& b) {
  std::vector<ReservoirEntry> entries(a.entries().begin(), a.entries().end());
  entries.insert(entries.end(), b.entries().begin(), b.entries().end());
  std::sort(entries.begin(), entries.end(), reservoir_precedes);
  PriorityReservoir out;
  const std::size_t kept = std::min(entries.size(), PriorityReservoir::capacity);
  // Offers below capacity append, so the result stores them in this order.
  for (std::size_t i = 0; i < kept; ++i) out.offer(entries[i].priority, entries[i].value);
  return out;
}

inline NumericSketchState merged(const NumericSketchState& a, const NumericSketchState& b) {
  NumericSketchState out;
  out.hll = merged(a.hll, b.hll);
  out.quantiles = merged(a.quantiles, b.quantiles);
  out.heavy_hitters = merged(a.heavy_hitters, b.heavy_hitters);
  out.reservoir = merged(a.reservoir, b.reservoir);
  return out;
}

}  // namespace tessary
