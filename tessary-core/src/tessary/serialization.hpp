#pragma once

// Serialized accumulator states: the byte format, its writer and reader,
// and the states, whose merges sit beside them.
#include "tessary/categorical_sketches/categorical_sketch_state.hpp"
#include "tessary/fused_profile/batch_profile_state.hpp"
#include "tessary/serialization/byte_reader.hpp"
#include "tessary/serialization/byte_writer.hpp"
#include "tessary/serialization/serialized_format.hpp"
#include "tessary/serialization/state_codec.hpp"
#include "tessary/sketches/numeric_stream_state.hpp"
#include "tessary/sketches/numeric_sketch_state.hpp"
