#include "tessary/serialization.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tessary/categorical_sketches/string_hash.hpp"

namespace tessary {
namespace {

// Deterministic values: repeats from a small pool, zeros of both signs,
// NaN, infinities, and magnitudes across many bins.
double value_at(std::uint64_t i) {
  const std::uint64_t r = splitmix64(i);
  switch (r % 10) {
    case 0: return static_cast<double>(r % 7);
    case 1: return (r & 64) ? 0.0 : -0.0;
    case 2: return std::nan("");
    case 3: return (r & 64) ? INFINITY : -INFINITY;
    default: return std::ldexp(static_cast<double>(r >> 11) * 0x1p-53 - 0.4, static_cast<int>(r % 40) - 20);
  }
}

// The stream of elements [begin, end), numbered from position `begin`.
NumericStream numeric(std::uint64_t begin, std::uint64_t end, std::uint64_t stream_id = 7) {
  NumericStream s;
  s.stream_id = stream_id;
  s.position = begin;
  for (std::uint64_t i = begin; i < end; ++i) {
    const double x = value_at(i);
    s.state.observe(x);
    s.sketches.observe(s.stream_id, s.position++, x);
    ++s.observations;
  }
  return s;
}

std::string label_at(std::uint64_t i) { return std::to_string(splitmix64(i) % 50) + "s"; }

CategoricalSketchState strings(std::uint64_t begin, std::uint64_t end) {
  CategoricalSketchState s;
  for (std::uint64_t i = begin; i < end; ++i) {
    if (i % 11 == 0) {
      s.observe_missing();
    } else {
      const std::string label = label_at(i);
      s.observe_hashed(string_hash(std::string_view(label)), label);
    }
  }
  return s;
}

BatchProfileState batch(std::uint64_t begin, std::uint64_t end) {
  BatchProfileState s;
  s.rows = end - begin;
  for (std::uint64_t i = begin; i < end; ++i) s.profiles[i % 3 ? "b" : "a"].observe(value_at(i));
  s.skipped_columns = {"text", std::to_string(begin % 2)};
  return s;
}

template <class State>
std::string round_tripped_bytes(const State& s) {
  return to_bytes(from_bytes<State>(to_bytes(s)));
}

// Encoding is canonical: decoding and encoding again gives the same bytes.
// (That updates continue bit for bit is checked through the accumulators.)
TEST(Serialization, RoundTripsEveryKind) {
  for (std::uint64_t n : {0, 1, 300, 5000}) {
    EXPECT_EQ(round_tripped_bytes(numeric(0, n)), to_bytes(numeric(0, n)));
    EXPECT_EQ(round_tripped_bytes(strings(0, n)), to_bytes(strings(0, n)));
    EXPECT_EQ(round_tripped_bytes(batch(0, n)), to_bytes(batch(0, n)));
    // Sampled from another stream: priorities written out.
    const NumericStream two_streams = merged(numeric(0, n), numeric(0, n, 8));
    EXPECT_EQ(round_tripped_bytes(two_streams), to_bytes(two_streams));
  }
}

// Compares the moments within 1e-12 relative, all else exactly.
void expect_merge_equals_one_pass(const NumericState& merged_state, const NumericState& one_pass) {
  EXPECT_EQ(merged_state.count, one_pass.count);
  EXPECT_EQ(merged_state.missing, one_pass.missing);
  EXPECT_EQ(merged_state.infinite, one_pass.infinite);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(*merged_state.minimum), std::bit_cast<std::uint64_t>(*one_pass.minimum));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(*merged_state.maximum), std::bit_cast<std::uint64_t>(*one_pass.maximum));
  const std::pair<double, double> moments[] = {{merged_state.mean, one_pass.mean},
                                               {merged_state.m2, one_pass.m2},
                                               {merged_state.m3, one_pass.m3},
                                               {merged_state.m4, one_pass.m4}};
  for (const auto& [got, want] : moments) EXPECT_NEAR(got, want, 1e-12 * std::fabs(want));
}

TEST(Merge, AnySplitOfANumericStreamEqualsOnePass) {
  constexpr std::uint64_t n = 3000;
  const NumericStream whole = numeric(0, n);
  for (std::uint64_t cut : {0, 1, 255, 1500, 2999, 3000}) {
    // The second part numbered on from the cut, as in the one pass.
    const NumericStream m = merged(numeric(0, cut), numeric(cut, n));
    expect_merge_equals_one_pass(m.state, whole.state);
    EXPECT_EQ(m.observations, whole.observations);
    EXPECT_EQ(m.sketches.hll.registers(), whole.sketches.hll.registers());
    EXPECT_EQ(m.sketches.quantiles.sorted_bins(), whole.sketches.quantiles.sorted_bins());
    EXPECT_EQ(m.sketches.quantiles.zero_count(), whole.sketches.quantiles.zero_count());
    EXPECT_EQ(m.sketches.reservoir.values(), whole.sketches.reservoir.values());
    // Merged heavy-hitter counts are lower bounds, short by at most n / 33.
    std::map<double, std::uint64_t> truth;
    for (std::uint64_t i = 0; i < n; ++i) {
      if (std::isfinite(value_at(i))) ++truth[value_at(i) == 0.0 ? 0.0 : value_at(i)];
    }
    for (const auto& [value, count] : m.sketches.heavy_hitters.candidates()) {
      EXPECT_LE(count, truth[value]);
      EXPECT_GE(count + n / 33, truth[value]);
    }
  }
  // Any order of three parts gives the same counts and sketches; merged
  // again from the same parts in the same order, the same bytes.
  const NumericStream p[] = {numeric(0, 1000), numeric(1000, 2000), numeric(2000, n)};
  const NumericStream left = merged(merged(p[0], p[1]), p[2]);
  const NumericStream right = merged(p[2], merged(p[1], p[0]));
  EXPECT_EQ(to_bytes(left), to_bytes(merged(merged(p[0], p[1]), p[2])));
  EXPECT_EQ(left.sketches.reservoir.values(), right.sketches.reservoir.values());
  EXPECT_EQ(left.sketches.heavy_hitters.candidates(), right.sketches.heavy_hitters.candidates());
  EXPECT_EQ(left.sketches.quantiles.sorted_bins(), right.sketches.quantiles.sorted_bins());
}

TEST(Merge, StringAndBatchSplitsEqualOnePass) {
  const CategoricalSketchState whole = strings(0, 2000);
  const BatchProfileState whole_batch = batch(0, 2000);
  for (std::uint64_t cut : {0, 700, 2000}) {
    const CategoricalSketchState m = merged(strings(0, cut), strings(cut, 2000));
    EXPECT_EQ(m.count, whole.count);
    EXPECT_EQ(m.missing, whole.missing);
    EXPECT_EQ(m.hll.registers(), whole.hll.registers());
    // 50 labels over 32 counters: merged counts are lower bounds.
    std::map<std::string, std::uint64_t> truth;
    for (std::uint64_t i = 0; i < 2000; ++i) truth[label_at(i)] += i % 11 != 0;
    for (const auto& [label, count] : m.heavy_hitters.candidates()) {
      EXPECT_LE(count, truth[label]);
      EXPECT_GE(count + 2000 / 33, truth[label]);
    }
    const BatchProfileState mb = merged(batch(0, cut), batch(cut, 2000));
    for (const auto& [name, column] : whole_batch.profiles) {
      expect_merge_equals_one_pass(mb.profiles.at(name).exact, column.exact);
      EXPECT_EQ(mb.profiles.at(name).quantiles.sorted_bins(), column.quantiles.sorted_bins());
    }
  }
}

TEST(Merge, MisraGriesSummaryRule) {
  // a: keys 1..32 with count 10 + key; b: keys 20..40 with count 5.
  // Combined: 1..19 -> 11..29, 20..32 -> 35..47, 33..40 -> 5: 40 keys, the
  // 33rd largest count is 5, so 33..40 drop and the rest lose 5.
  HeavyHittersSketch a;
  HeavyHittersSketch b;
  for (std::uint64_t k = 1; k <= 32; ++k) a.observe_weighted(std::bit_cast<std::uint64_t>(double(k)), 10 + k);
  for (std::uint64_t k = 20; k <= 40; ++k) b.observe_weighted(std::bit_cast<std::uint64_t>(double(k)), 5);
  std::vector<std::pair<double, std::uint64_t>> expected;
  for (std::uint64_t k = 32; k >= 1; --k) expected.emplace_back(double(k), (k >= 20 ? 15 + k : 10 + k) - 5);
  EXPECT_EQ(merged(a, b).candidates(), expected);

  // Strings: a candidate known to both keeps the label of the first operand.
  StringHeavyHittersSketch x;
  StringHeavyHittersSketch y;
  x.observe_hashed(9, "first", 2);
  y.observe_hashed(9, "second", 3);
  y.observe_hashed(4, "other", 1);
  const std::vector<std::pair<std::string, std::uint64_t>> labels = {{"first", 5}, {"other", 1}};
  EXPECT_EQ(merged(x, y).candidates(), labels);
}

TEST(Merge, WithItselfCountsTheStreamTwice) {
  const NumericStream a = numeric(0, 400);
  const NumericStream twice = merged(a, a);
  EXPECT_EQ(twice.state.count, 2 * a.state.count);
  EXPECT_EQ(twice.sketches.quantiles.count(), 2 * a.sketches.quantiles.count());
  EXPECT_EQ(twice.sketches.reservoir.entries().size(), 256u);
  const CategoricalSketchState s = strings(0, 400);
  EXPECT_EQ(merged(s, s).count, 2 * s.count);
  EXPECT_EQ(merged(batch(0, 9), batch(0, 9)).rows, 18u);
}

// ---------------------------------------------------------------- decoding failures

template <class State = NumericStream>
std::string decode_error(const std::string& data) {
  try {
    from_bytes<State>(data);
  } catch (const DecodeError& error) {
    return error.what();
  }
  return "decoded";
}

std::string header(std::uint8_t kind = 1) { return std::string("TSRY\x01\x00", 6) + char(kind); }

TEST(Decode, RejectsBadHeadersAndFramingWithTheirReason) {
  const std::string valid = to_bytes(numeric(0, 300));
  const std::pair<std::string, std::string> cases[] = {
      {"TSRX\x01", "serialized data does not start with the magic bytes \"TSRY\""},
      {std::string("TSRY\x02\x00\x01", 7), "unsupported serialized format version 2; this build reads version 1"},
      {header(2), "serialized data holds a StringAccumulator, not a NumericAccumulator"},
      {header(3), "serialized data holds an ArrowBatchProfileAccumulator, not a NumericAccumulator"},
      {header(0), "serialized data holds unknown kind 0, not a NumericAccumulator"},
      {valid + "x", "corrupt serialized data: bytes follow the end of the data"},
      {header() + std::string("\x80\x00", 2), "corrupt serialized data: a varint is not in its shortest form"},
      {header() + std::string(9, '\xff') + "\x02", "corrupt serialized data: a varint exceeds 64 bits"},
  };
  for (const auto& [data, message] : cases) EXPECT_EQ(decode_error(data), message);
  // Every proper prefix is truncated, the empty input and a partial magic included.
  for (std::size_t n = 0; n < valid.size(); ++n) {
    EXPECT_EQ(decode_error(valid.substr(0, n)), "serialized data is truncated") << n;
  }
}

TEST(Decode, RejectsFieldsThatNoStateHas) {
  // The stream of the single value 2.0, encoded piece by piece, with one
  // piece replaced in each case.
  NumericStream s;
  s.state.observe(2.0);
  s.sketches.observe(0, 0, 2.0);
  s.position = s.observations = 1;
  const auto piece = [](const auto& part) {
    ByteWriter out;
    codec::encode(out, part);
    return out.result();
  };
  const std::string ids("\x00\x01\x01", 3);
  ByteWriter reservoir;
  codec::encode(reservoir, s.sketches.reservoir, 0);
  const std::string pieces[] = {piece(s.state), piece(s.sketches.hll), piece(s.sketches.quantiles),
                                piece(s.sketches.heavy_hitters), reservoir.result()};
  const auto f64 = [](double x) {
    ByteWriter out;
    out.f64(x);
    return out.result();
  };
  const auto u64 = [](std::uint64_t x) {
    ByteWriter out;
    out.u64(x);
    return out.result();
  };
  const std::string one_counts("\x01\x00\x00", 3);
  const std::string moments = f64(2.0) + f64(0.0) + f64(0.0) + f64(0.0);
  const std::string two = f64(2.0);
  const std::string neg_zero_key = f64(-0.0);
  const std::tuple<int, std::string, std::string> cases[] = {
      {0, one_counts + moments + f64(NAN) + two, "minimum and maximum"},
      {0, one_counts + moments + f64(3.0) + two, "minimum and maximum"},
      {0, one_counts + moments + f64(0.0) + f64(-0.0), "minimum and maximum"},
      {0, std::string("\x02\x00\x00", 3) + moments + two + two, "observations"},
      {1, std::string("\x01\x00\x36", 3), "HyperLogLog rank above 53"},
      {1, std::string("\x01\x00\x00", 3), "HyperLogLog rank 0 listed"},
      {1, std::string("\x01\x80\x20\x01", 4), "HyperLogLog register out of range"},  // index 4096
      {1, std::string("\x81\x20", 2), "too many HyperLogLog registers"},
      {2, std::string("\x00\x00\x01\x00\x00", 5), "quantile bin count 0"},
      {2, std::string("\x00\x00\x01\x86\xa0\x02\x01", 7), "quantile bin index out of range"},  // gap 36870
      {2, std::string("\x02\x00\x00", 3), "quantile count"},  // two values in the zero bucket
      {3, "\x01" + neg_zero_key + "\x01", "heavy hitter"},
      {3, "\x02" + two + "\x01" + f64(1.0) + "\x01", "heavy hitter"},  // keys descending
      {3, "\x01" + two + std::string("\x00", 1), "heavy hitter"},
      {3, "\x21", "too many heavy hitters"},
      {4, std::string("\x01\x00", 2) + f64(INFINITY), "reservoir value not finite"},
      {4, std::string("\x01\x03", 2) + two, "reservoir entry"},  // odd tag other than 1
      // The priority written out although the position (0) is short.
      {4, "\x01\x01" + u64(PriorityReservoir::priority(value_hash(2.0), splitmix64(0), 0)) + two,
       "reservoir entry"},
      {4, std::string("\x00", 1), "reservoir size"},
  };
  for (const auto& [replaced, bytes, message] : cases) {
    std::string data = header() + ids;
    for (int i = 0; i < 5; ++i) data += i == replaced ? bytes : pieces[i];
    EXPECT_EQ(decode_error(data), "corrupt serialized data: " + message) << replaced << " " << message;
  }
}

TEST(Decode, RejectsStringAndBatchFieldsThatNoStateHas) {
  using namespace std::string_literals;
  const std::string empty_column = "\x00\x00\x00" "\x00\x00\x00"s;  // counters, then the sketch
  const std::string batch_cases[][2] = {
      {"\x00\x02\x01" "b"s + empty_column + "\x01" "a" + empty_column + "\x00"s, "column names out of order"},
      {"\x00\x00\x02\x01" "b\x01" "a"s, "skipped column names out of order"},
      {"\x00\x01\x01\xff"s + empty_column + "\x00"s, "column name not UTF-8"},
      {"\x00\x01\x00\x01\x00\x00"s + std::string(48, '\x00') + "\x00\x00\x00\x00"s, "quantile count"},
  };
  for (const auto& [payload, message] : batch_cases) {
    EXPECT_EQ(decode_error<BatchProfileState>(header(3) + payload), "corrupt serialized data: " + message);
  }
  // count 2, missing 0, no registers, then the heavy hitters.
  const std::string counts = "\x02\x00\x00"s;
  const std::string string_cases[][2] = {
      {counts + "\x02" + std::string(7, '\x00') + "\x09\x01\x00"s + std::string(8, '\x00') + "\x01\x00"s,
       "string heavy hitter"},  // hashes 9 then 0
      {counts + "\x01" + std::string(8, '\x00') + "\x01\x81\x02"s + std::string(257, 'a'),
       "a heavy hitter label is too long"},
  };
  for (const auto& [payload, message] : string_cases) {
    EXPECT_EQ(decode_error<CategoricalSketchState>(header(2) + payload), "corrupt serialized data: " + message);
  }
}

TEST(Decode, ChargesTheSpanOfQuantileBinsToABudget) {
  using namespace std::string_literals;
  // Positive bins -1382 and 35487: a window of 36870 slots.
  const std::string bins = "\x00\x00\x02\x00\x01\x84\xa0\x02\x01"s;
  for (const std::size_t slots : {36869u, 36870u}) {
    ByteReader in(bins);
    LogQuantileSketch sketch;
    DecodeBudget budget(slots);
    if (slots < 36870) {
      EXPECT_THROW(codec::decode(in, sketch, budget), DecodeError);
    } else {
      codec::decode(in, sketch, budget);
      EXPECT_EQ(sketch.count(), 2u);
      EXPECT_THROW(budget.spend(1), DecodeError);
    }
  }
}

TEST(Decode, EveryByteFlipFailsCleanlyOrRoundTrips) {
  const std::string samples[] = {to_bytes(numeric(0, 40)), to_bytes(strings(0, 40)), to_bytes(batch(0, 40))};
  for (const std::string& valid : samples) {
    const auto decode_and_check = [](const std::string& data) {
      try {
        switch (data[6]) {
          case 1: EXPECT_EQ(round_tripped_bytes(from_bytes<NumericStream>(data)), data); break;
          case 2: EXPECT_EQ(round_tripped_bytes(from_bytes<CategoricalSketchState>(data)), data); break;
          default: EXPECT_EQ(round_tripped_bytes(from_bytes<BatchProfileState>(data)), data); break;
        }
      } catch (const DecodeError&) {
      }
    };
    for (std::size_t i = 7; i < valid.size(); ++i) {
      for (int bit = 0; bit < 8; ++bit) {
        std::string data = valid;
        data[i] = static_cast<char>(data[i] ^ (1 << bit));
        decode_and_check(data);
      }
    }
  }
}

}  // namespace
}  // namespace tessary
