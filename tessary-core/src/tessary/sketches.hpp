#pragma once

// The numeric sketches: quantiles, distinct count, heavy hitters, reservoir,
// and their composition for one numeric stream.
#include "tessary/sketches/heavy_hitters_sketch.hpp"
#include "tessary/sketches/hyper_log_log.hpp"
#include "tessary/sketches/log_quantile_sketch.hpp"
#include "tessary/sketches/numeric_sketch_state.hpp"
#include "tessary/sketches/priority_reservoir.hpp"
