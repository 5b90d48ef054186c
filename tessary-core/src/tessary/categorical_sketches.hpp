#pragma once

// Sketches of string (categorical) streams.
#include "tessary/categorical_sketches/categorical_sketch_state.hpp"
#include "tessary/categorical_sketches/string_hash.hpp"
#include "tessary/categorical_sketches/string_heavy_hitters_sketch.hpp"
#include "tessary/categorical_sketches/string_rows.hpp"
