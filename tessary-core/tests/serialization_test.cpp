// Merges and the serialized form: canonical encoding, exact merges of any
// split, and every reason a decode refuses its input.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "tessary/categorical_sketches.hpp"
#include "tessary/hashing.hpp"
#include "tessary/numeric_state.hpp"
#include "tessary/serialization.hpp"
#include "tessary/sketches.hpp"
#include "test_values.hpp"

namespace tessary {

// ---------------------------------------------------------------- merges and serialized form

// The stream of elements [begin, end), numbered from position `begin`.
NumericStreamState numeric(std::uint64_t begin, std::uint64_t end, std::uint64_t stream_id = 7) {
  NumericStreamState s;
  s.stream_id = stream_id;
  s.position = begin;
  for (s.observations = end - begin; s.position < end; ++s.position) {
    s.state.observe(value_at(s.position));
    s.sketches.observe(s.stream_id, s.position, value_at(s.position));
  }
  return s;
}

CategoricalSketchState strings(std::uint64_t n) {
  CategoricalSketchState s;
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::string label = std::to_string(splitmix64(i) % 50) + "s";
    i % 11 == 0 ? s.observe_missing() : s.observe_hashed(string_hash(std::string_view(label)), label);
  }
  return s;
}

BatchProfileState batch(std::uint64_t n) {
  BatchProfileState s{n, {}, {"text", "0"}};
  for (std::uint64_t i = 0; i < n; ++i) s.profiles[i % 3 ? "b" : "a"].observe(value_at(i));
  return s;
}

// Encoding is canonical: decoding and encoding again gives the same bytes.
// A bit flipped after the header either fails to decode or gives data that
// is itself canonical. (That updates continue bit for bit is checked through
// the accumulators.)
TEST(Serialization, EncodingIsCanonicalAndBitFlipsFailCleanly) {
  const auto check = [](const auto& state, bool flip_bits) {
    using State = std::decay_t<decltype(state)>;
    const std::string valid = to_bytes(state);
    EXPECT_EQ(to_bytes(from_bytes<State>(valid)), valid);
    for (std::size_t i = 7 * 8; flip_bits && i < valid.size() * 8; ++i) {
      std::string data = valid;
      data[i / 8] = static_cast<char>(data[i / 8] ^ (1 << i % 8));
      try {
        EXPECT_EQ(to_bytes(from_bytes<State>(data)), data);
      } catch (const DecodeError&) {
      }
    }
  };
  for (std::uint64_t n : {0, 1, 40, 300, 5000}) {
    check(numeric(0, n), n == 40);
    check(strings(n), n == 40);
    check(batch(n), n == 40);
    check(merged(numeric(0, n), numeric(0, n, 8)), false);  // sampled from another stream: priorities written out
  }
}

// What a merge reproduces exactly: all but the moments (equal within
// rounding) and the heavy hitters (lower bounds).
auto exact_parts(const NumericStreamState& s) {
  const NumericState& m = s.state;
  return std::tuple(m.count, m.missing, m.infinite, bits(*m.minimum), bits(*m.maximum), s.observations,
                    s.sketches.hll.registers(), s.sketches.quantiles.sorted_bins(), s.sketches.quantiles.zero_count(),
                    s.sketches.reservoir.values());
}

TEST(Merge, AnySplitOfANumericStreamEqualsOnePass) {
  constexpr std::uint64_t n = 3000;
  const NumericStreamState whole = numeric(0, n);
  for (std::uint64_t cut : {0, 1, 255, 1500, 2999, 3000}) {
    // The second part numbered on from the cut, as in the one pass.
    const NumericStreamState m = merged(numeric(0, cut), numeric(cut, n));
    EXPECT_EQ(exact_parts(m), exact_parts(whole));
    for (auto [got, want] : {std::pair(m.state.mean, whole.state.mean), {m.state.m2, whole.state.m2},
                             {m.state.m3, whole.state.m3}, {m.state.m4, whole.state.m4}}) {
      EXPECT_NEAR(got, want, 1e-12 * std::fabs(want));
    }
  }
  // Any order of three parts gives the same counts and sketches; merged
  // again from the same parts in the same order, the same bytes.
  const NumericStreamState p[] = {numeric(0, 1000), numeric(1000, 2000), numeric(2000, n)};
  const NumericStreamState left = merged(merged(p[0], p[1]), p[2]);
  const NumericStreamState right = merged(p[2], merged(p[1], p[0]));
  EXPECT_EQ(to_bytes(left), to_bytes(merged(merged(p[0], p[1]), p[2])));
  EXPECT_EQ(exact_parts(left), exact_parts(right));
  EXPECT_EQ(left.sketches.heavy_hitters.candidates(), right.sketches.heavy_hitters.candidates());
  // The merged stream keeps the seed and position of its first operand.
  const NumericStreamState other = merged(numeric(0, 5, 9), whole);
  EXPECT_EQ(std::pair(other.stream_id, other.position), std::pair(std::uint64_t{9}, std::uint64_t{5}));
}

TEST(Merge, MisraGriesSummaryRule) {
  // a: keys 1..32 with count 10 + key; b: keys 20..40 with count 5.
  // Combined: 1..19 -> 11..29, 20..32 -> 35..47, 33..40 -> 5: 40 keys, the
  // 33rd largest count is 5, so 33..40 drop and the rest lose 5.
  HeavyHittersSketch a, b;
  for (std::uint64_t k = 1; k <= 32; ++k) a.observe_weighted(bits(double(k)), 10 + k);
  for (std::uint64_t k = 20; k <= 40; ++k) b.observe_weighted(bits(double(k)), 5);
  std::vector<std::pair<double, std::uint64_t>> expected;
  for (std::uint64_t k = 32; k >= 1; --k) expected.emplace_back(double(k), (k >= 20 ? 15 + k : 10 + k) - 5);
  EXPECT_EQ(merged(a, b).candidates(), expected);

  // Strings: a candidate known to both keeps the label of the first operand.
  StringHeavyHittersSketch x, y;
  x.observe_hashed(9, "first", 2);
  y.observe_hashed(9, "second", 3);
  y.observe_hashed(4, "other", 1);
  EXPECT_EQ(merged(x, y).candidates(), (Pairs{{"first", 5}, {"other", 1}}));
}

// ---------------------------------------------------------------- decoding failures

template <class State = NumericStreamState>
std::string decode_error(const std::string& data) {
  try {
    from_bytes<State>(data);
  } catch (const DecodeError& error) {
    return error.what();
  }
  return "decoded";
}

std::string header(std::uint8_t kind = 1) { return std::string("TSRY\x01\x00", 6) + char(kind); }
std::string u64(std::uint64_t x) {
  ByteWriter out;
  out.u64(x);
  return out.result();
}
std::string f64(double x) { return u64(bits(x)); }
template <class... Part>
std::string piece(const Part&... part) {
  ByteWriter out;
  codec::encode(out, part...);
  return out.result();
}

TEST(Decode, RejectsBadHeadersFramingAndFieldsWithTheirReason) {
  using namespace std::string_literals;
  using Decode = std::string (*)(const std::string&);
  const Decode numbers = decode_error<NumericStreamState>, strings = decode_error<CategoricalSketchState>,
               batches = decode_error<BatchProfileState>;
  const std::string valid = to_bytes(numeric(0, 300)), corrupt = "corrupt serialized data: ";
  const std::string empty_column = "\x00\x00\x00" "\x00\x00\x00"s;  // counters, then the sketch
  const std::string counts = "\x02\x00\x00"s;  // count 2, missing 0, no registers, then the heavy hitters
  const std::tuple<Decode, std::string, std::string> cases[] = {
      {numbers, "TSRX\x01", "serialized data does not start with the magic bytes \"TSRY\""},
      {numbers, "TSRY\x02\x00\x01"s, "unsupported serialized format version 2; this build reads version 1"},
      {numbers, header(2), "serialized data holds a StringAccumulator, not a NumericAccumulator"},
      {numbers, header(3), "serialized data holds an ArrowBatchProfileAccumulator, not a NumericAccumulator"},
      {numbers, header(0), "serialized data holds unknown kind 0, not a NumericAccumulator"},
      {numbers, valid + "x", corrupt + "bytes follow the end of the data"},
      {numbers, header() + "\x80\x00"s, corrupt + "a varint is not in its shortest form"},
      {numbers, header() + std::string(9, '\xff') + "\x02", corrupt + "a varint exceeds 64 bits"},
      {batches, header(3) + "\x00\x02\x01" "b"s + empty_column + "\x01" "a" + empty_column + "\x00"s,
       corrupt + "column names out of order"},
      {batches, header(3) + "\x00\x00\x02\x01" "b\x01" "a"s, corrupt + "skipped column names out of order"},
      {batches, header(3) + "\x00\x01\x01\xff"s + empty_column + "\x00"s, corrupt + "column name not UTF-8"},
      {batches, header(3) + "\x00\x01\x00\x01\x00\x00"s + std::string(48, '\x00') + "\x00\x00\x00\x00"s,
       corrupt + "quantile count"},
      {strings,
       header(2) + counts + "\x02" + std::string(7, '\x00') + "\x09\x01\x00"s + std::string(8, '\x00') + "\x01\x00"s,
       corrupt + "string heavy hitter"},  // hashes 9 then 0
      {strings, header(2) + counts + "\x01" + std::string(8, '\x00') + "\x01\x81\x02"s + std::string(257, 'a'),
       corrupt + "a heavy hitter label is too long"},
  };
  for (const auto& [decode, data, message] : cases) EXPECT_EQ(decode(data), message);
  // Every proper prefix is truncated, the empty input and a partial magic included.
  for (std::size_t n = 0; n < valid.size(); ++n) {
    EXPECT_EQ(decode_error(valid.substr(0, n)), "serialized data is truncated") << n;
  }
}

TEST(Decode, RejectsFieldsThatNoStateHas) {
  // The stream of the single value 2.0, encoded piece by piece, with one
  // piece replaced in each case.
  NumericStreamState s;
  s.state.observe(2.0);
  s.sketches.observe(0, 0, 2.0);
  const std::string pieces[] = {piece(s.state), piece(s.sketches.hll), piece(s.sketches.quantiles),
                                piece(s.sketches.heavy_hitters), piece(s.sketches.reservoir, 0)};
  using namespace std::string_literals;
  const std::string two = f64(2.0), counted = "\x01\x00\x00"s + two + f64(0.0) + f64(0.0) + f64(0.0);
  const std::tuple<int, std::string, std::string> cases[] = {
      {0, counted + f64(NAN) + two, "minimum and maximum"}, {0, counted + f64(3.0) + two, "minimum and maximum"},
      {0, counted + f64(0.0) + f64(-0.0), "minimum and maximum"},
      {0, "\x02"s + counted.substr(1) + two + two, "observations"},
      {1, "\x01\x00\x36"s, "HyperLogLog rank above 53"}, {1, "\x01\x00\x00"s, "HyperLogLog rank 0 listed"},
      {1, "\x01\x80\x20\x01"s, "HyperLogLog register out of range"},  // index 4096
      {1, "\x81\x20", "too many HyperLogLog registers"}, {2, "\x00\x00\x01\x00\x00"s, "quantile bin count 0"},
      {2, "\x00\x00\x01\x86\xa0\x02\x01"s, "quantile bin index out of range"},  // gap 36870
      {2, "\x02\x00\x00"s, "quantile count"},  // two values in the zero bucket
      {3, "\x01" + f64(-0.0) + "\x01", "heavy hitter"}, {3, "\x01" + two + "\x00"s, "heavy hitter"},
      {3, "\x02" + two + "\x01" + f64(1.0) + "\x01", "heavy hitter"},  // keys descending
      {3, "\x21", "too many heavy hitters"}, {4, "\x01\x00"s + f64(INFINITY), "reservoir value not finite"},
      {4, "\x01\x03" + two, "reservoir entry"},  // odd tag other than 1
      // The priority written out although the position (0) is short.
      {4, "\x01\x01" + u64(PriorityReservoir::priority(value_hash(2.0), splitmix64(0), 0)) + two, "reservoir entry"},
      {4, "\x00"s, "reservoir size"},
  };
  for (const auto& [replaced, bytes, message] : cases) {
    std::string data = header() + "\x00\x01\x01"s;
    for (int i = 0; i < 5; ++i) data += i == replaced ? bytes : pieces[i];
    EXPECT_EQ(decode_error(data), "corrupt serialized data: " + message) << replaced << " " << message;
  }
}

TEST(Decode, ChargesTheSpanOfQuantileBinsToABudget) {
  using namespace std::string_literals;
  // Positive bins -1382 and 35487: a window of 36870 slots.
  const std::string bins = "\x00\x00\x02\x00\x01\x84\xa0\x02\x01"s;
  LogQuantileSketch short_sketch, sketch;
  ByteReader short_in(bins), in(bins);
  DecodeBudget short_budget(36869), budget(36870);
  EXPECT_THROW(codec::decode(short_in, short_sketch, short_budget), DecodeError);
  codec::decode(in, sketch, budget);
  EXPECT_EQ(sketch.count(), 2u);
  EXPECT_THROW(budget.spend(1), DecodeError);
}

}  // namespace tessary
