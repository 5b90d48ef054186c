#pragma once

// What the core test files share: bit patterns, special values, a
// deterministic stream of values of every kind and Arrow columns built
// with nanoarrow.
#include <gtest/gtest.h>
#include <nanoarrow/nanoarrow.hpp>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tessary/hashing.hpp"
#include "tessary/arrow_import/imported_record_batch.hpp"
#include "tessary/serialization/byte_reader.hpp"
#include "tessary/serialization/byte_writer.hpp"
#include "tessary/serialization/state_codec.hpp"

namespace tessary {

inline constexpr double inf = std::numeric_limits<double>::infinity();
inline constexpr double nan = std::numeric_limits<double>::quiet_NaN();
inline constexpr double largest = std::numeric_limits<double>::max();
inline constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();
using Candidates = std::vector<std::pair<double, std::uint64_t>>;
using Pairs = std::vector<std::pair<std::string, std::uint64_t>>;

inline std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
inline std::optional<std::uint64_t> bits(std::optional<double> x) {
  return x ? std::optional(bits(*x)) : std::nullopt;
}

// Deterministic values: repeats from a small pool, zeros of both signs, NaN,
// infinities, and magnitudes from the zero bucket up to 2^29.
inline double value_at(std::uint64_t i) {
  const std::uint64_t r = splitmix64(i);
  switch (r % 10) {
    case 0: return static_cast<double>(r % 7);
    case 1: return (r & 64) ? 0.0 : -0.0;
    case 2: return nan;
    case 3: return (r & 64) ? inf : -inf;
    default: return std::ldexp(static_cast<double>(r >> 11) * 0x1p-53 - 0.4, static_cast<int>(r % 90) - 60);
  }
}

// The bytes a column state of the table engine encodes to, and the state
// decoded from bytes that must hold exactly one.
template <class State>
std::string encoded(const State& s) {
  ByteWriter out;
  s.encode(out);
  return out.result();
}
template <class State>
State decoded(const std::string& data) {
  ByteReader in(data);
  DecodeBudget budget = DecodeBudget::for_input(data.size());
  State s = State::decode(in, budget);
  in.expect_end();
  return s;
}

inline void ok(ArrowErrorCode code) { ASSERT_EQ(code, NANOARROW_OK); }

// An array of one type (timestamps in microseconds; a dictionary of `type`
// with int16 indices when `dictionary` is set), appended to through `array`,
// then validated and bound as the import hands columns over.
struct Column {
  nanoarrow::UniqueSchema schema;
  nanoarrow::UniqueArray array;
  nanoarrow::UniqueArrayView view;
  ArrowSchemaView field{};

  explicit Column(ArrowType type, int fixed_size = 0, bool dictionary = false) {
    ArrowSchemaInit(schema.get());
    if (fixed_size > 0) {
      ok(ArrowSchemaSetTypeFixedSize(schema.get(), type, fixed_size));
    } else if (type == NANOARROW_TYPE_TIMESTAMP) {
      ok(ArrowSchemaSetTypeDateTime(schema.get(), type, NANOARROW_TIME_UNIT_MICRO, nullptr));
    } else {
      ok(ArrowSchemaSetType(schema.get(), dictionary ? NANOARROW_TYPE_INT16 : type));
    }
    if (dictionary) {
      ok(ArrowSchemaAllocateDictionary(schema.get()));
      ArrowSchemaInit(schema->dictionary);
      ok(ArrowSchemaSetType(schema->dictionary, type));
    }
    ok(ArrowArrayInitFromSchema(array.get(), schema.get(), nullptr));
    ok(ArrowArrayStartAppending(array.get()));
  }

  // Validates at nanoarrow's default level, as the import does.
  ColumnView finish(std::int64_t first = 0, std::int64_t length = -1) {
    ok(ArrowArrayFinishBuildingDefault(array.get(), nullptr));
    return bind(first, length);
  }

  ColumnView bind(std::int64_t first = 0, std::int64_t length = -1) {
    ok(ArrowSchemaViewInit(&field, schema.get(), nullptr));
    ok(ArrowArrayViewInitFromSchema(view.get(), schema.get(), nullptr));
    ok(ArrowArrayViewSetArray(view.get(), array.get(), nullptr));
    return slice(first, length < 0 ? array->length - first : length);
  }

  ColumnView slice(std::int64_t first, std::int64_t length) const { return {"c", &field, view.get(), first, length}; }
  ColumnView all() const { return slice(0, view->length); }
};

}  // namespace tessary
