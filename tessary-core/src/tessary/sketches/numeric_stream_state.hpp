#pragma once

#include <cstddef>
#include <cstdint>

#include "tessary/count_overflow.hpp"
#include "tessary/numeric_state.hpp"
#include "tessary/sketches/numeric_sketch_state.hpp"

namespace tessary {

// The whole state of one numeric stream delivered in pieces: exact moments,
// sketches, the stream's seed, the position of its next element and the
// number of elements delivered (finite, NaN and infinite alike).
//
// Invariants: sketches.quantiles.count() == state.count; the reservoir
// holds min(state.count, 256) entries; observations == state.count +
// state.missing + state.infinite; position <= observations (an update
// advances both, a merge only the observations). No counter wraps: a merge
// or update that would take one past 2^64 - 1 throws CountOverflow instead.
struct NumericStreamState {
  NumericState state;
  NumericSketchState sketches;
  std::uint64_t stream_id = 0;
  std::uint64_t position = 0;
  std::uint64_t observations = 0;
};

// The bytes of memory that `s` holds: the record itself (registers, heavy
// hitters, reservoir and moments live inside it) and the quantile bins.
inline std::size_t memory_bytes(const NumericStreamState& s) noexcept {
  return sizeof(NumericStreamState) + s.sketches.quantiles.allocated_bytes();
}

// The stream of `a` with the elements of `b` merged in: moments by the
// pairwise merge with `a` as the left operand, sketches as sketch_merge.hpp
// describes, observations added. The seed and position stay those of `a`,
// so later elements continue `a`'s numbering. `b` may be `a`. Throws
// CountOverflow, before anything is built, if a count would pass 2^64 - 1.
inline NumericStreamState merged(const NumericStreamState& a, const NumericStreamState& b) {
  require_mergeable_counts(a.state, b.state);
  if (count_sum_overflows(a.observations, b.observations)) throw CountOverflow(merged_counts_overflow);
  NumericStreamState out;
  out.state = NumericState::merge(a.state, b.state);
  out.sketches = merged(a.sketches, b.sketches);
  out.stream_id = a.stream_id;
  out.position = a.position;
  out.observations = a.observations + b.observations;
  return out;
}

// Throws CountOverflow unless `more` further elements fit the counters of
// `s`: observations and position, and with them the value counts.
inline void require_room(const NumericStreamState& s, std::uint64_t more) {
  if (count_sum_overflows(s.observations, more) || count_sum_overflows(s.position, more)) {
    throw CountOverflow(updated_counts_overflow);
  }
}

// Counts n missing elements at once, with exactly the effect of feeding n
// nulls: missing, position and observations advance by n and nothing else
// changes, so a later element keeps the reservoir priority of its position.
// Throws CountOverflow, changing nothing, when a counter would pass 2^64 - 1.
inline void add_missing(NumericStreamState& s, std::uint64_t n) {
  require_room(s, n);
  s.state.missing += n;
  s.position += n;
  s.observations += n;
}

}  // namespace tessary
