#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "tessary/numeric_state.hpp"
#include "tessary/sketches/heavy_hitters_sketch.hpp"
#include "tessary/sketches/hyper_log_log.hpp"
#include "tessary/sketches/log_quantile_sketch.hpp"
#include "tessary/sketches/priority_reservoir.hpp"

namespace tessary {

// The four sketches of one numeric stream, fed together: distinct count
// (HyperLogLog over value_hash), quantiles, heavy hitters (keyed by
// canonical_bits) and the priority reservoir. Every finite value reaches all
// four; NaN and infinities reach none (the exact moments count them).
// The value hash is computed once and shared by the HyperLogLog, the heavy
// hitters' table and the reservoir priority.
//
// Only the quantile sketch allocates (when its window of bins widens), so a
// feed may throw std::bad_alloc part-way through a run; an owner that must
// stay unchanged on failure feeds a copy and keeps it only on success.
struct NumericSketchState {
  HyperLogLog hll;
  LogQuantileSketch quantiles;
  HeavyHittersSketch heavy_hitters;
  PriorityReservoir reservoir;

  // Feeds x, the element at `position` of stream `stream_id`.
  void observe(std::uint64_t stream_id, std::uint64_t position, double x) {
    if (!is_finite_value(x)) return;
    observe_finite(splitmix64(stream_id), position, x);
  }

  // observe() for finite x, with stream_hash == splitmix64(stream_id)
  // computed once by the caller for a whole run of elements.
  void observe_finite(std::uint64_t stream_hash, std::uint64_t position, double x) {
    const std::uint64_t bits = canonical_bits(x);
    const std::uint64_t hash = splitmix64(bits);
    hll.observe_hash(hash);
    quantiles.observe_finite(x);
    heavy_hitters.observe_weighted(bits, 1, hash);
    reservoir.offer(PriorityReservoir::priority(hash, stream_hash, position), x);
  }

  // Feeds a run of elements of one stream to `moments` and to these
  // sketches: element i is at position first_position + i. NaN and
  // infinities reach only the moments. stream_hash == splitmix64(stream_id).
  void observe_run(NumericState& moments, std::span<const double> values, std::uint64_t stream_hash,
                   std::uint64_t first_position) {
    // Captures by value: copies the loop keeps in registers, where captured
    // references would be re-read after every store into the sketches.
    const auto feed = [this, stream_hash, first_position](std::size_t i, double x) {
      observe_finite(stream_hash, first_position + i, x);
    };
    moments.observe_run(values.data(), values.size(), feed);
  }
};

}  // namespace tessary
