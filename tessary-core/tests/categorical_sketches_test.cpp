// The string sketches: heavy hitters with their labels, the string hash,
// UTF-8 replacement, the state that feeds them together, and the string
// rows recorded into it.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "tessary/categorical_sketches.hpp"
#include "tessary/hashing.hpp"
#include "tessary/sketches.hpp"
#include "test_values.hpp"

namespace tessary {

void observe(StringHeavyHittersSketch& sketch, std::string_view s, std::uint64_t weight = 1) {
  sketch.observe_hashed(string_hash(s), s, weight);
}

TEST(StringHeavyHittersSketch, DecrementsWhenFull) {
  // 16 candidates at count 3 and 16 at 4 meet "new" with `weight`: the
  // counts each group and "new" end with (0: not stored).
  for (auto [weight, low, high, added] :
       {std::array<std::uint64_t, 4>{0, 3, 4, 0}, {1, 2, 3, 0}, {2, 1, 2, 0}, {3, 0, 1, 0}, {6, 0, 1, 3}}) {
    StringHeavyHittersSketch full;
    std::map<std::string, std::uint64_t> expected{{"new", added}};
    for (int i = 0; i < 32; ++i) {
      observe(full, std::to_string(i) + "s", i < 16 ? 3 : 4);
      expected[std::to_string(i) + "s"] = i < 16 ? low : high;
    }
    observe(full, "new", weight);
    std::erase_if(expected, [](const auto& entry) { return entry.second == 0; });
    const Pairs got = full.candidates();
    EXPECT_EQ((std::map<std::string, std::uint64_t>(got.begin(), got.end())), expected) << weight;
  }
}

std::string repeat(std::string_view s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// Writes U+FFFD for every '~', to keep the tables short.
std::string tilde_as_fffd(std::string s) {
  for (std::size_t i; (i = s.find('~')) != std::string::npos;) s.replace(i, 1, "\xEF\xBF\xBD");
  return s;
}

// Labels: the first one seen is kept, cut to 256 bytes on a character
// boundary; order: count, then the decoded bytes compared unsigned.
TEST(StringHeavyHittersSketch, KeepsTheFirstLabelCutAndOrdersByCountThenLabel) {
  StringHeavyHittersSketch sketch;
  sketch.observe_hashed(42, "first", 1);
  sketch.observe_hashed(42, "second", 2);
  observe(sketch, std::string(300, 'x'), 4);
  observe(sketch, repeat("\xC3\xA9", 150), 5);      // 128 whole characters kept
  observe(sketch, repeat("\xE2\x82\xAC", 100), 6);  // 85, then a cut character
  EXPECT_EQ(sketch.candidates(), (Pairs{{repeat("\xE2\x82\xAC", 85) + tilde_as_fffd("~"), 6},
                                        {repeat("\xC3\xA9", 128), 5}, {std::string(256, 'x'), 4}, {"first", 3}}));
  // Hashes run against the expected order, so that the labels decide.
  StringHeavyHittersSketch ordered;
  std::uint64_t hash = 0;
  for (const char* label : {"\xF0\x9F\x98\x80", "\xFF", "\xFE", "\xC3\xA9", "same", "same", "z", "low", "ab", "a"}) {
    ordered.observe_hashed(++hash, label, 1);
  }
  ordered.observe_hashed(++hash, "mid", 2);
  ordered.observe_hashed(++hash, "high", 7);
  // Raw FE and FF decode alike and sort as U+FFFD (EF BF BD).
  const Pairs expected{{"high", 7}, {"mid", 2}, {"a", 1}, {"ab", 1}, {"low", 1}, {"same", 1}, {"same", 1}, {"z", 1},
                       {"\xC3\xA9", 1}, {tilde_as_fffd("~"), 1}, {tilde_as_fffd("~"), 1}, {"\xF0\x9F\x98\x80", 1}};
  EXPECT_EQ(ordered.candidates(), expected);
}

TEST(StringHeavyHittersSketch, CountsSaturate) {
  StringHeavyHittersSketch sketch;
  for (std::uint64_t weight : {max_u64 - 1, std::uint64_t{5}, max_u64}) sketch.observe_hashed(1, "a", weight);
  EXPECT_EQ(sketch.candidates(), (Pairs{{"a", max_u64}}));
  for (std::uint64_t h = 2; h <= 32; ++h) sketch.observe_hashed(h, "b", 3);
  sketch.observe_hashed(100, "new", max_u64);
  EXPECT_EQ(sketch.candidates(), (Pairs{{"a", max_u64 - 3}, {"new", max_u64 - 3}}));
}

// A weighted stream of a hot set and a skewed tail, with labels of varied
// length and UTF-8 content and some hashes shared by different labels. Fed
// with equal low 16 bits in every hash, or with borrowed labels that are
// retained in batches and overwritten afterwards, the string sketch holds the
// same counters; the numeric sketch, the same steps on another layout, holds
// the same counts.
TEST(StringHeavyHittersSketch, AgreesUnderTagCollisionsBorrowedLabelsAndWithTheNumericSketch) {
  const std::string fragments[] = {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xFF", "\xE2\x82", "zz",
                                   std::string(1, '\0')};
  StringHeavyHittersSketch plain, same_low_bits, borrowed;
  HeavyHittersSketch numeric;
  std::deque<std::string> lent;
  const auto counters = [](const StringHeavyHittersSketch& s, bool shifted) {
    std::map<std::uint64_t, std::pair<std::string, std::uint64_t>> out;
    for (const auto& [h, c] : s.counters()) out[shifted ? h >> 16 : h] = {c.label, c.count};
    return out;
  };
  for (std::uint64_t step = 0; step < 30000; ++step) {
    const std::uint64_t r = splitmix64(step);
    const std::uint64_t item = (r >> 40) % 4 != 0 ? (r >> 44) % 31 : (r % 97) * ((r >> 8) % 97) / 30;
    std::string label;
    for (std::uint64_t k = 0; k < (item * 7) % 90; ++k) label += fragments[(item + k * (item % 5 + 1)) % 8];
    if ((r >> 20) % 16 == 0) label += "variant";
    const std::uint64_t hash = string_hash(std::to_string(item)) >> 16;
    const std::uint64_t w = (r >> 24) % 4 == 0 ? (r >> 32) % 12 : 1;
    plain.observe_hashed(hash, label, w);
    same_low_bits.observe_hashed((hash << 16) | 0xbeef, label, w);
    numeric.observe_weighted(hash, w);
    borrowed.observe_hashed_borrowed(hash, lent.emplace_back(std::move(label)), w);
    if (step % 61 != 0) continue;
    borrowed.retain_labels();
    for (std::string& l : lent) l.assign(l.size(), '#');
    lent.clear();
    ASSERT_EQ(counters(same_low_bits, true), counters(plain, false)) << step;
    ASSERT_EQ(counters(borrowed, false), counters(plain, false)) << step;
    std::map<std::uint64_t, std::uint64_t> numeric_counts, string_counts;
    for (const auto& [value, count] : numeric.candidates()) numeric_counts[bits(value)] = count;
    for (const auto& [h, c] : plain.counters()) string_counts[h] = c.count;
    ASSERT_EQ(numeric_counts, string_counts) << step;
  }
}

// ---------------------------------------------------------------- string hash, UTF-8

static_assert(string_hash(std::string_view{}) == 0x5b21f68ffa77f14cULL);
static_assert(string_hash(std::string_view{"abc"}) == 0xa9828ed86b0ae837ULL);

TEST(StringHash, HashesEveryRawByteOfTheWholeString) {
  // 300 bytes, most of them 0x80 or above; the check value was computed
  // independently over all 300 unsigned bytes.
  std::string s;
  for (int i = 0; i < 300; ++i) s.push_back(static_cast<char>(i * 37 + 11));
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(s.data());
  const std::uint64_t head = fnv1a64_update(fnv1a64_offset_basis, bytes, 256);
  EXPECT_EQ(std::tuple(string_hash(s), string_hash(std::span<const std::uint8_t>(bytes, s.size())),
                       string_hash_finish(fnv1a64_update(head, bytes + 256, 44), 300)),
            std::tuple(0x6d0924f9c35a7f4bULL, 0x6d0924f9c35a7f4bULL, 0x6d0924f9c35a7f4bULL));
}

TEST(Utf8WithReplacement, ReplacesEachMaximalSubpart) {
  // Well-formed, up to the edges of the narrowed ranges.
  const std::string valid = std::string("a\0b", 3) +
      "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF4\x8F\xBF\xBF";
  // input -> output, '~' standing for U+FFFD.
  const std::pair<std::string, std::string> cases[] = {
      {valid, valid},
      // Surrogates, overlong forms, above U+10FFFF, stray bytes: each byte alone.
      {"\xED\xA0\x80", "~~~"}, {"\xC0\x80", "~~"}, {"\xC1\xBF", "~~"}, {"\xE0\x80\x80", "~~~"},
      {"\xF0\x80\x80\x80", "~~~~"}, {"\xF4\x90\x80\x80", "~~~~"}, {"\xF5\x80\x80\x80", "~~~~"},
      {"\xF8\x88\x80\x80\x80", "~~~~~"}, {"\x80\xBF", "~~"}, {"\xFF\xFE", "~~"},
      // A truncated sequence is one subpart, at the end or before a new start.
      {"\xC2", "~"}, {"\xE2\x82", "~"}, {"\xE0\xA0", "~"}, {"\xF0\x90\x80", "~"},
      {"\xF0\x9F\x98" "A", "~A"}, {"\xC2" "A", "~A"}, {"\xF1\x80\x80\xE2\x82\xAC", "~\xE2\x82\xAC"},
      {"\xE1\x80\xC2\x80", "~\xC2\x80"}, {"a\xE2\x82\xAC" "b\xE2", "a\xE2\x82\xAC" "b~"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(utf8_with_replacement(in), tilde_as_fffd(out));
}

TEST(CategoricalSketchState, CountsRowsAndFeedsBothSketchesOneHash) {
  CategoricalSketchState state;
  for (int i = 0; i < 5; ++i) state.observe_missing();
  EXPECT_TRUE(state.hll.estimate() == 0.0 && state.heavy_hitters.candidates().empty());
  state.observe_hashed(string_hash(""), "");
  state.observe_hashed(string_hash("abc"), "abc");
  EXPECT_EQ((std::pair<int, int>(state.hll.registers()[1458], state.hll.registers()[2712])), std::pair(4, 3));
  for (int i = 2; i < 1000; ++i) state.observe_hashed(string_hash("abc"), "abc");
  EXPECT_EQ(state.heavy_hitters.candidates(), (Pairs{{"abc", 999}, {"", 1}}));
  EXPECT_EQ(std::pair(state.count, state.missing), std::pair(std::uint64_t{1000}, std::uint64_t{5}));
  state.count = state.missing = max_u64 - 1;
  for (int i = 0; i < 2; ++i) state.observe_hashed(string_hash("a"), "a");
  for (int i = 0; i < 2; ++i) state.observe_missing();
  EXPECT_EQ(std::pair(state.count, state.missing), std::pair(max_u64, max_u64));
}

TEST(StringRows, RecordingClampsOffsetsThatChangedAfterTheCheck) {
  // Offsets as a racing writer may leave them once the check has passed:
  // each row is read within the data, as its clamped range.
  const std::string_view data = "abcd";
  const std::array<std::int32_t, 4> offsets{-5, 2, 1, 100};
  const StringRows<std::int32_t> rows{reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), offsets.data(),
                                      false, nullptr, 0, 0, 3};
  CategoricalSketchState recorded;
  EXPECT_EQ(string_rows_detail::observe_rows(rows, recorded), 0u);
  CategoricalSketchState expected;
  for (const std::string_view s : {"ab", "", "bcd"}) expected.observe_hashed(string_hash(s), s);
  EXPECT_EQ(recorded.heavy_hitters.candidates(), expected.heavy_hitters.candidates());
  EXPECT_EQ(recorded.hll.registers(), expected.hll.registers());
  EXPECT_EQ(recorded.count, 3u);
}

}  // namespace tessary
