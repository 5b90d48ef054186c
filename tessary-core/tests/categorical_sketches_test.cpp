#include "tessary/categorical_sketches.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessary {
namespace {

constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();
const std::string replacement = "\xEF\xBF\xBD";

using Pairs = std::vector<std::pair<std::string, std::uint64_t>>;

// ---------------------------------------------------------------- string hash

static_assert(string_hash(std::string_view{}) == 0x5b21f68ffa77f14cULL);
static_assert(string_hash(std::string_view{"abc"}) == 0xa9828ed86b0ae837ULL);

TEST(StringHash, CheckValuesAndByteForms) {
  const std::string abc = "abc";
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(abc.data());
  EXPECT_EQ(fnv1a64_update(fnv1a64_offset_basis, bytes, 3), 0xe71fa2190541574bULL);
  EXPECT_EQ(string_hash(bytes, 3), 0xa9828ed86b0ae837ULL);
  EXPECT_EQ(string_hash(std::span<const std::uint8_t>(bytes, 3)), 0xa9828ed86b0ae837ULL);
  EXPECT_EQ(string_hash(nullptr, 0), 0x5b21f68ffa77f14cULL);
}

TEST(StringHash, HashesRawBytesInPiecesAndWhole) {
  // Bytes above 0x7f must not sign-extend, and feeding in pieces is the same
  // as feeding whole.
  std::string s;
  for (int i = 0; i < 300; ++i) s.push_back(static_cast<char>(i * 37 + 11));
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(s.data());
  std::uint64_t reference = fnv1a64_offset_basis;
  for (unsigned char c : s) reference = (reference ^ c) * fnv1a64_prime;
  const std::uint64_t pieces =
      fnv1a64_update(fnv1a64_update(fnv1a64_offset_basis, bytes, 256), bytes + 256, 44);
  EXPECT_EQ(pieces, reference);
  EXPECT_EQ(string_hash(s), string_hash_finish(reference, 300));
  EXPECT_EQ(string_hash(bytes, s.size()), string_hash(s));

  // The whole string counts, not just a retained prefix.
  std::string other = s;
  other[299] = 'x';
  EXPECT_NE(string_hash(other), string_hash(s));
  EXPECT_NE(string_hash(std::string_view(s).substr(0, 256)), string_hash(s));
}

// ---------------------------------------------------------------- UTF-8

TEST(Utf8WithReplacement, MatchesMaximalSubpartSubstitution) {
  const std::string r = replacement;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"abc", "abc"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      // Boundaries of the well-formed ranges.
      {"\xED\x9F\xBF", "\xED\x9F\xBF"},
      {"\xEE\x80\x80", "\xEE\x80\x80"},
      {"\xEF\xBF\xBF", "\xEF\xBF\xBF"},
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
      // Surrogates, overlong forms and code points above U+10FFFF: the lead
      // byte alone is a maximal subpart.
      {"\xED\xA0\x80", r + r + r},
      {"\xC0\x80", r + r},
      {"\xC1\xBF", r + r},
      {"\xE0\x80\x80", r + r + r},
      {"\xF0\x80\x80\x80", r + r + r + r},
      {"\xF4\x90\x80\x80", r + r + r + r},
      {"\xF5\x80\x80\x80", r + r + r + r},
      {"\xF8\x88\x80\x80\x80", r + r + r + r + r},
      {"\x80\xBF", r + r},
      {"\xFF\xFE", r + r},
      // Truncated sequences are one subpart, at the end or before a new start.
      {"\xC2", r},
      {"\xE2\x82", r},
      {"\xE0\xA0", r},
      {"\xF0\x90\x80", r},
      {"\xF0\x9F\x98" "A", r + "A"},
      {"\xC2" "A", r + "A"},
      {"\xF1\x80\x80\xE2\x82\xAC", r + "\xE2\x82\xAC"},
      {"\xE1\x80\xC2\x80", r + "\xC2\x80"},
      {"a\xE2\x82\xAC" "b\xE2", "a\xE2\x82\xAC" "b" + r},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(utf8_with_replacement(input), expected) << "input size " << input.size();
  }
}

// ---------------------------------------------------------------- heavy hitters

// Observes a string under its own hash with weight 1.
void observe(StringHeavyHittersSketch& sketch, std::string_view s, std::uint64_t weight = 1) {
  sketch.observe_hashed(string_hash(s), s, weight);
}

std::string distinct(int i) { return std::string("s").append(std::to_string(i)); }

TEST(StringHeavyHittersSketch, NewAndEmptyString) {
  StringHeavyHittersSketch sketch;
  EXPECT_EQ(sketch.size(), 0u);
  EXPECT_TRUE(sketch.candidates().empty());
  observe(sketch, "", 0);
  EXPECT_EQ(sketch.size(), 0u);

  observe(sketch, "");
  observe(sketch, "");
  EXPECT_EQ(sketch.candidates(), (Pairs{{"", 2}}));
  const auto counters = sketch.counters();
  ASSERT_EQ(counters.size(), 1u);
  EXPECT_EQ(counters[0].first, 0x5b21f68ffa77f14cULL);
}

TEST(StringHeavyHittersSketch, UnitDecrementEmptiesAFullSummary) {
  StringHeavyHittersSketch sketch;
  for (int i = 0; i < 32; ++i) observe(sketch, distinct(i));
  EXPECT_EQ(sketch.size(), 32u);
  observe(sketch, distinct(32));
  EXPECT_EQ(sketch.size(), 0u);
  observe(sketch, distinct(33));
  EXPECT_EQ(sketch.candidates(), (Pairs{{distinct(33), 1}}));
}

TEST(StringHeavyHittersSketch, FrequentStringSurvivesDecrements) {
  StringHeavyHittersSketch sketch;
  for (int i = 0; i < 5; ++i) observe(sketch, "frequent");
  for (int i = 0; i < 32; ++i) observe(sketch, distinct(i));
  EXPECT_EQ(sketch.candidates(), (Pairs{{"frequent", 4}}));
}

TEST(StringHeavyHittersSketch, WeightedObservationOnFullSummary) {
  // 16 candidates at count 2 and 16 at count 3.
  auto filled = [] {
    StringHeavyHittersSketch sketch;
    for (int i = 0; i < 32; ++i) observe(sketch, distinct(i), i < 16 ? 2 : 3);
    return sketch;
  };
  StringHeavyHittersSketch heavier = filled();
  observe(heavier, "new", 5);
  Pairs expected{{"new", 3}};
  for (int i = 16; i < 32; ++i) expected.emplace_back(distinct(i), 1);
  std::sort(expected.begin() + 1, expected.end());
  EXPECT_EQ(heavier.candidates(), expected);

  StringHeavyHittersSketch absorbed = filled();
  observe(absorbed, "new", 2);
  expected.erase(expected.begin());
  EXPECT_EQ(absorbed.candidates(), expected);

  // A weight below the smallest count only lowers every count.
  StringHeavyHittersSketch lowered = filled();
  observe(lowered, "new", 1);
  EXPECT_EQ(lowered.size(), 32u);
  EXPECT_EQ(lowered.candidates().back().second, 1u);
}

TEST(StringHeavyHittersSketch, FirstLabelStaysForItsHash) {
  StringHeavyHittersSketch sketch;
  sketch.observe_hashed(42, "first", 1);
  sketch.observe_hashed(42, "second", 2);
  EXPECT_EQ(sketch.candidates(), (Pairs{{"first", 3}}));
}

TEST(StringHeavyHittersSketch, LabelsAreCutAt256Bytes) {
  StringHeavyHittersSketch sketch;
  const std::string ascii(300, 'x');
  observe(sketch, ascii);
  std::string two_byte;
  for (int i = 0; i < 150; ++i) two_byte += "\xC3\xA9";  // U+00E9
  observe(sketch, two_byte, 2);
  std::string three_byte;
  for (int i = 0; i < 100; ++i) three_byte += "\xE2\x82\xAC";  // U+20AC
  observe(sketch, three_byte, 3);

  std::string kept_three_byte;
  for (int i = 0; i < 85; ++i) kept_three_byte += "\xE2\x82\xAC";
  const Pairs expected{{kept_three_byte + replacement, 3},
                       {two_byte.substr(0, 256), 2},
                       {std::string(256, 'x'), 1}};
  EXPECT_EQ(sketch.candidates(), expected);
  EXPECT_EQ(sketch.counters()[0].second.label.size(), 256u);
}

TEST(StringHeavyHittersSketch, StringsAgreeingInRetainedBytesAreSeparate) {
  StringHeavyHittersSketch sketch;
  const std::string a = std::string(256, 'p') + "a";
  const std::string b = std::string(256, 'p') + "b";
  observe(sketch, a);
  observe(sketch, b);
  const Pairs c = sketch.candidates();
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[0], c[1]);
  const auto counters = sketch.counters();
  ASSERT_EQ(counters.size(), 2u);
  EXPECT_LT(counters[0].first, counters[1].first);
}

TEST(StringHeavyHittersSketch, OrderIsCountThenDecodedBytesThenHash) {
  StringHeavyHittersSketch sketch;
  // Hashes run against label order, so that the label decides.
  sketch.observe_hashed(1, "z", 1);
  sketch.observe_hashed(2, "ab", 1);
  sketch.observe_hashed(3, "a", 1);
  sketch.observe_hashed(4, "\xC3\xA9", 1);          // bytes above ASCII sort last
  sketch.observe_hashed(5, "\xF0\x9F\x98\x80", 1);  // F0 after the EF of U+FFFD
  // Raw labels that decode alike compare as their decoded text.
  sketch.observe_hashed(9, "\xFE", 1);
  sketch.observe_hashed(6, "\xFF", 1);
  sketch.observe_hashed(7, "low", 1);
  sketch.observe_hashed(8, "high", 7);
  sketch.observe_hashed(10, "mid", 2);

  const Pairs expected{{"high", 7},  {"mid", 2},         {"a", 1},
                       {"ab", 1},    {"low", 1},         {"z", 1},
                       {"\xC3\xA9", 1}, {replacement, 1}, {replacement, 1},
                       {"\xF0\x9F\x98\x80", 1}};
  EXPECT_EQ(sketch.candidates(), expected);
  const auto counters = sketch.counters();
  EXPECT_EQ(counters[5].second.label, "\xFF");  // raw bytes are kept
}

TEST(StringHeavyHittersSketch, CountsSaturate) {
  StringHeavyHittersSketch sketch;
  sketch.observe_hashed(1, "a", max_u64 - 1);
  sketch.observe_hashed(1, "a", 5);
  sketch.observe_hashed(1, "a", max_u64);
  EXPECT_EQ(sketch.candidates(), (Pairs{{"a", max_u64}}));

  for (std::uint64_t h = 2; h <= 32; ++h) sketch.observe_hashed(h, "b", 3);
  sketch.observe_hashed(100, "new", max_u64);
  EXPECT_EQ(sketch.candidates(), (Pairs{{"a", max_u64 - 3}, {"new", max_u64 - 3}}));
}

// The sketch as a map ordered by hash, step by step as the algorithm reads.
struct ReferenceSketch {
  std::map<std::uint64_t, StringCandidate> counters;

  void observe_hashed(std::uint64_t hash, std::string_view label, std::uint64_t weight) {
    if (weight == 0) return;
    if (auto it = counters.find(hash); it != counters.end()) {
      it->second.count = it->second.count > max_u64 - weight ? max_u64 : it->second.count + weight;
      return;
    }
    const std::string cut(label.substr(0, 256));
    if (counters.size() < 32) {
      counters[hash] = {cut, weight};
      return;
    }
    std::uint64_t smallest = max_u64;
    for (const auto& [h, c] : counters) smallest = std::min(smallest, c.count);
    const std::uint64_t d = std::min(weight, smallest);
    for (auto it = counters.begin(); it != counters.end();) {
      it->second.count -= d;
      it = it->second.count == 0 ? counters.erase(it) : std::next(it);
    }
    if (weight == d) return;
    counters[hash] = {cut, weight - d};
  }

  Pairs candidates() const {
    Pairs out;
    for (const auto& [h, c] : counters) out.emplace_back(utf8_with_replacement(c.label), c.count);
    std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
      if (a.second != b.second) return a.second > b.second;
      return a.first < b.first;
    });
    return out;
  }
};

TEST(StringHeavyHittersSketch, AgreesWithOrderedMapReference) {
  // Skewed items with labels of varied length and content, some sharing a
  // hash under different labels, mostly unit weights with some heavier ones.
  // Round 4 gives every hash the same low 16 bits, so lookups must confirm
  // full hashes; rounds 5 and 6 lend the labels and retain them in batches,
  // destroying the lent bytes afterwards.
  std::uint64_t state = 7;
  auto next = [&state] { return splitmix64(state++); };
  const std::vector<std::string> fragments = {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                              "\xFF", "\xE2\x82", "zz", std::string(1, '\0')};
  for (int round = 0; round < 7; ++round) {
    const bool same_low_bits = round == 4 || round == 6;
    const bool lent = round >= 5;
    StringHeavyHittersSketch sketch;
    ReferenceSketch reference;
    std::deque<std::string> lent_labels;
    for (int step = 0; step < 20000; ++step) {
      const std::uint64_t r = next();
      const std::uint64_t item =
          (r % 97) * ((r >> 8) % 97) / (round == 0 ? 97 : 24 + 9 * (round % 4));
      std::string label;
      for (std::uint64_t k = 0; k < (item * 7) % 90; ++k)
        label += fragments[(item + k * (item % 5 + 1)) % fragments.size()];
      const bool shared_hash = (r >> 20) % 16 == 0;
      std::uint64_t hash = string_hash(std::to_string(item));
      if (same_low_bits) hash = (hash << 16) | 0xbeef;
      if (shared_hash) label += "variant";
      const std::uint64_t w = (r >> 24) % 4 == 0 ? (r >> 32) % 12 : 1;
      reference.observe_hashed(hash, label, w);
      if (lent) {
        sketch.observe_hashed_borrowed(hash, lent_labels.emplace_back(std::move(label)), w);
        if (step % 61 != 0) continue;
        sketch.retain_labels();
        for (std::string& l : lent_labels) l.assign(l.size(), '#');
        lent_labels.clear();
      } else {
        sketch.observe_hashed(hash, label, w);
      }

      const auto counters = sketch.counters();
      ASSERT_EQ(counters.size(), reference.counters.size()) << "step " << step;
      auto it = reference.counters.begin();
      for (const auto& [h, c] : counters) {
        ASSERT_EQ(h, it->first) << "step " << step;
        ASSERT_EQ(c.count, it->second.count) << "step " << step;
        ASSERT_EQ(c.label, it->second.label) << "step " << step;
        ++it;
      }
      if (step % 97 == 0) {
        ASSERT_EQ(sketch.candidates(), reference.candidates()) << "step " << step;
      }
    }
    sketch.retain_labels();
    lent_labels.clear();
    EXPECT_EQ(sketch.candidates(), reference.candidates());
  }
}

// ---------------------------------------------------------------- state

TEST(CategoricalSketchState, PresentStringsEnterBothSketches) {
  CategoricalSketchState state;
  state.observe_hashed(string_hash(""), "");
  EXPECT_EQ(state.count, 1u);
  EXPECT_EQ(state.hll.registers()[1458], 4);
  state.observe_hashed(string_hash("abc"), "abc");
  EXPECT_EQ(state.hll.registers()[2712], 3);
  EXPECT_EQ(state.heavy_hitters.candidates(), (Pairs{{"", 1}, {"abc", 1}}));

  CategoricalSketchState repeated;
  repeated.observe_hashed(string_hash("x"), "x");
  const double once = repeated.hll.estimate();
  EXPECT_GT(once, 1.0);
  EXPECT_LT(once, 1.001);
  for (int i = 1; i < 1000; ++i) repeated.observe_hashed(string_hash("x"), "x");
  EXPECT_EQ(repeated.count, 1000u);
  EXPECT_EQ(repeated.hll.estimate(), once);
  EXPECT_EQ(repeated.heavy_hitters.candidates(), (Pairs{{"x", 1000}}));
}

TEST(CategoricalSketchState, NewStateAndMissingRows) {
  CategoricalSketchState state;
  EXPECT_EQ(state.hll.estimate(), 0.0);
  EXPECT_EQ(state.heavy_hitters.max_retained_label_bytes, 256u);
  for (int i = 0; i < 5; ++i) state.observe_missing();
  EXPECT_EQ(state.missing, 5u);
  EXPECT_EQ(state.count, 0u);
  EXPECT_EQ(state.hll.estimate(), 0.0);
  EXPECT_TRUE(state.heavy_hitters.candidates().empty());
}

TEST(CategoricalSketchState, CountersSaturate) {
  CategoricalSketchState state;
  state.count = max_u64 - 1;
  state.missing = max_u64 - 1;
  for (int i = 0; i < 2; ++i) {
    state.observe_hashed(string_hash("a"), "a");
    state.observe_missing();
  }
  EXPECT_EQ(state.count, max_u64);
  EXPECT_EQ(state.missing, max_u64);
  EXPECT_EQ(state.heavy_hitters.candidates(), (Pairs{{"a", 2}}));
}

}  // namespace
}  // namespace tessary
