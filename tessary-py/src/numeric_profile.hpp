#pragma once

#include <cstdint>

#include "py_ref.hpp"
#include "tessary/numeric_state.hpp"
#include "tessary/sketches/numeric_sketch_state.hpp"

namespace tessary::py {

// Feeds every element of the float64 buffer `values` into both states: NaN
// and infinities are counted by `state`; finite values go into `state` and,
// with their position, into `sketches`. `position` advances by one per
// element. The buffer is checked completely before the first element is
// read, so a failure changes nothing. Returns the element count.
std::uint64_t update_states(PyObject* values, NumericState& state, NumericSketchState& sketches,
                            std::uint64_t stream_id, std::uint64_t& position);

// The profile dictionary: the exact-state keys, then "backend",
// "observations", "cardinality_estimate", "quantiles", "heavy_hitters" and
// "reservoir".
PyRef profile_dict(const NumericState& state, const NumericSketchState& sketches,
                   std::uint64_t observations);

// "p01" ... "p99" and "relative_accuracy" of a quantile sketch.
PyRef quantiles_dict(const LogQuantileSketch& quantiles);

}  // namespace tessary::py
