#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "tessary/float_classes.hpp"
#include "tessary/hashing.hpp"
#include "tessary/numeric_state.hpp"
#include "tessary/sketches/heavy_hitters_sketch.hpp"
#include "tessary/sketches/hyper_log_log.hpp"
#include "tessary/sketches/log_quantile_sketch.hpp"
#include "tessary/sketches/priority_reservoir.hpp"
#include "tessary/thread_pool.hpp"
#include "tessary/validity_bitmap.hpp"

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

  // observe_finite() in the two parts that the two threads of a parallel
  // run take: every sketch but the reservoir, and the reservoir. Each part
  // computes the value hash itself.
  void observe_finite_but_reservoir(double x) {
    const std::uint64_t bits = canonical_bits(x);
    const std::uint64_t hash = splitmix64(bits);
    hll.observe_hash(hash);
    quantiles.observe_finite(x);
    heavy_hitters.observe_weighted(bits, 1, hash);
  }
  static void offer_finite(PriorityReservoir& reservoir, std::uint64_t stream_hash, std::uint64_t position, double x) {
    reservoir.offer(PriorityReservoir::priority(splitmix64(canonical_bits(x)), stream_hash, position), x);
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

  // observe_run over the slots [begin, end) of an Arrow primitive column of
  // Element read in place (NumericState::observe_slots): slot i is at
  // position first_position + (i - begin), a null slot counts as missing and
  // advances the position like NaN, so the result equals observe_run on the
  // values converted to double with nulls as NaN, bit for bit.
  template <typename Element>
  void observe_slots(NumericState& moments, const Element* values, const std::uint8_t* validity,
                     std::int64_t begin, std::int64_t end, std::uint64_t stream_hash,
                     std::uint64_t first_position) {
    if constexpr (std::is_same_v<Element, double>) {
      // A float64 column without nulls is a float64 run: observe_run's loop.
      if (validity == nullptr) {
        observe_run(moments, {values + begin, static_cast<std::size_t>(end - begin)}, stream_hash, first_position);
        return;
      }
    }
    const auto feed = [this, stream_hash, first_position](std::size_t i, double x) {
      observe_finite(stream_hash, first_position + i, x);
    };
    moments.observe_slots(values, validity, begin, end, feed);
  }

  // observe_run() on two threads of `pool` when the run is long enough to
  // pay for it: one folds the moments, whose chain of dependent divisions
  // leaves room beside it for the reservoir, while the other feeds the
  // three other sketches. That split balances the two threads best: the
  // moments alone are the shorter half, and the quantiles beside them make
  // that half the longer one. Each structure sees the same values in the
  // same order as in observe_run(), so the results are identical bit for
  // bit. The reservoir is fed as a local copy, off the cache lines that the
  // other thread writes.
  void observe_run(NumericState& moments, std::span<const double> values, std::uint64_t stream_hash,
                   std::uint64_t first_position, ThreadPool& pool) {
    if (values.size() < parallel_run_length || pool.threads() < 2) {
      observe_run(moments, values, stream_hash, first_position);
      return;
    }
    pool.run(2, [&](std::size_t task) {
      if (task == 0) {
        PriorityReservoir local = reservoir;
        moments.observe_run(values.data(), values.size(), [&local, stream_hash, first_position](std::size_t i, double x) {
          offer_finite(local, stream_hash, first_position + i, x);
        });
        reservoir = local;
      } else {
        for (const double x : values) {
          if (is_finite_value(x)) observe_finite_but_reservoir(x);
        }
      }
    });
  }

  // Runs shorter than this stay on the calling thread.
  static constexpr std::size_t parallel_run_length = std::size_t{1} << 16;

  // The same on two threads of `pool` for a column long enough to pay for
  // it, split as observe_run(..., pool) splits it: the moments and the
  // reservoir, which takes the finite values with their positions, and the
  // other three sketches. Each structure sees the same values in the same
  // order, so the results are identical bit for bit.
  template <typename Element>
  void observe_slots(NumericState& moments, const Element* values, const std::uint8_t* validity,
                     std::int64_t begin, std::int64_t end, std::uint64_t stream_hash,
                     std::uint64_t first_position, ThreadPool& pool) {
    if constexpr (std::is_same_v<Element, double>) {
      if (validity == nullptr) {
        observe_run(moments, {values + begin, static_cast<std::size_t>(end - begin)}, stream_hash, first_position,
                    pool);
        return;
      }
    }
    if (static_cast<std::uint64_t>(end - begin) < parallel_run_length || pool.threads() < 2) {
      observe_slots(moments, values, validity, begin, end, stream_hash, first_position);
      return;
    }
    pool.run(2, [&](std::size_t task) {
      if (task == 0) {
        PriorityReservoir local = reservoir;
        moments.observe_slots(values, validity, begin, end, [&local, stream_hash, first_position](std::size_t i, double x) {
          offer_finite(local, stream_hash, first_position + i, x);
        });
        reservoir = local;
        return;
      }
      // Captures by value, as in observe_run: copies stay in registers.
      const auto feed = [this, values](std::int64_t i) __attribute__((always_inline)) {
        const double x = static_cast<double>(values[i]);
        if (is_finite_value(x)) observe_finite_but_reservoir(x);
      };
      for_each_valid_slot(validity, begin, end, feed);
    });
  }
};

// Merge: each sketch by its own merge, beside it in its header.
inline NumericSketchState merged(const NumericSketchState& a, const NumericSketchState& b) {
  NumericSketchState out;
  out.hll = merged(a.hll, b.hll);
  out.quantiles = merged(a.quantiles, b.quantiles);
  out.heavy_hitters = merged(a.heavy_hitters, b.heavy_hitters);
  out.reservoir = merged(a.reservoir, b.reservoir);
  return out;
}

}  // namespace tessary
