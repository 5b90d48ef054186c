#pragma once

// Serialized accumulator states: the byte format, its writer and reader,
// and the merges that combine states of parts of a stream.
#include "tessary/categorical_sketches/categorical_merge.hpp"
#include "tessary/fused_profile/batch_profile_merge.hpp"
#include "tessary/serialization/byte_reader.hpp"
#include "tessary/serialization/byte_writer.hpp"
#include "tessary/serialization/serialized_format.hpp"
#include "tessary/serialization/state_codec.hpp"
#include "tessary/sketches/numeric_stream.hpp"
#include "tessary/sketches/sketch_merge.hpp"
