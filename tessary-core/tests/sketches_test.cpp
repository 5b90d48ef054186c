// The exact moments, the numeric and string sketches, their hashes, their
// merges and their serialized form.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <deque>
#include <initializer_list>
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
#include "tessary/numeric_state.hpp"
#include "tessary/serialization.hpp"
#include "tessary/sketches.hpp"

namespace tessary {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double largest = std::numeric_limits<double>::max();
constexpr double log_gamma = 0.020000666706669435;
constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();
using Candidates = std::vector<std::pair<double, std::uint64_t>>;
using Pairs = std::vector<std::pair<std::string, std::uint64_t>>;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
std::optional<std::uint64_t> bits(std::optional<double> x) { return x ? std::optional(bits(*x)) : std::nullopt; }
double rep(std::int32_t k) { return std::exp(log_gamma * (k + 0.5)); }

// Deterministic values: repeats from a small pool, zeros of both signs, NaN,
// infinities, and magnitudes from the zero bucket up to 2^29.
double value_at(std::uint64_t i) {
  const std::uint64_t r = splitmix64(i);
  switch (r % 10) {
    case 0: return static_cast<double>(r % 7);
    case 1: return (r & 64) ? 0.0 : -0.0;
    case 2: return nan;
    case 3: return (r & 64) ? inf : -inf;
    default: return std::ldexp(static_cast<double>(r >> 11) * 0x1p-53 - 0.4, static_cast<int>(r % 90) - 60);
  }
}

// ---------------------------------------------------------------- exact moments

NumericState observe_all(std::initializer_list<double> values) {
  NumericState state;
  for (double x : values) state.observe(x);
  return state;
}

// Every field, bit for bit.
auto fields(const NumericState& s) {
  return std::tuple(s.count, s.missing, s.infinite, bits(s.mean), bits(s.m2), bits(s.m3), bits(s.m4), bits(s.minimum),
                    bits(s.maximum));
}

TEST(NumericState, DerivedQuantitiesNeedEnoughSpread) {
  const NumericState empty, one = observe_all({5.0}), flat = observe_all({2.0, 2.0, 2.0, 2.0});
  EXPECT_FALSE(empty.reported_mean() || empty.minimum || empty.variance());
  EXPECT_EQ(std::tuple(*one.reported_mean(), *one.minimum, *one.maximum, *flat.variance(), *flat.std_dev()),
            std::tuple(5.0, 5.0, 5.0, 0.0, 0.0));
  EXPECT_FALSE(one.variance() || one.std_dev() || one.skewness() || one.excess_kurtosis() || flat.skewness() ||
               flat.excess_kurtosis());
  // Overflowed sums: the ordered test m2 <= 0 lets NaN through.
  const NumericState overflow = observe_all({largest, -largest, largest, -largest});
  EXPECT_TRUE(overflow.skewness() && overflow.excess_kurtosis());
}

// A merge with a side that only counted keeps the other side's moments;
// merging the parts of exact values gives the whole, bit for bit.
TEST(NumericState, NonFiniteValuesAreOnlyCountedAndMergesAreExact) {
  const NumericState values = observe_all({1.5, -2.25, 8.0}), counted_only = observe_all({nan, inf});
  NumericState expected = values;
  expected.missing = expected.infinite = 1;
  for (const NumericState& s : {observe_all({1.5, nan, -2.25, inf, 8.0}), NumericState::merge(counted_only, values),
                                NumericState::merge(values, counted_only)}) {
    EXPECT_EQ(fields(s), fields(expected));
  }
  EXPECT_EQ(fields(NumericState::merge({}, {})), fields({}));
  EXPECT_EQ(fields(NumericState::merge(observe_all({1, 2, 3}), observe_all({4, 10}))),
            fields(observe_all({1, 2, 3, 4, 10})));
  EXPECT_EQ(observe_all({-inf, largest}).infinite, 1u);  // the largest double is a value
  // -0.0 is the smaller zero.
  const NumericState a = observe_all({0.0}), b = observe_all({-0.0});
  for (const NumericState& s : {observe_all({0.0, -0.0}), observe_all({-0.0, 0.0}), NumericState::merge(a, b),
                                NumericState::merge(b, a)}) {
    EXPECT_TRUE(std::signbit(*s.minimum) && !std::signbit(*s.maximum));
  }
}

// ---------------------------------------------------------------- hashing, HyperLogLog

TEST(HyperLogLog, HashesRegistersAndEstimates) {
  // hash, its expected value, the one register it sets and the rank there
  const std::tuple<std::uint64_t, std::uint64_t, std::size_t, std::uint8_t> cases[] = {
      {splitmix64(0), 0xe220a8397b1dcdafULL, 3618, 5},       {value_hash(0.0), 0xe220a8397b1dcdafULL, 3618, 5},
      {value_hash(-0.0), 0xe220a8397b1dcdafULL, 3618, 5},    {value_hash(1.0), 0x88d7c35bbbf3ededULL, 2189, 2},
      {value_hash(-1.0), 0xa9d88ac0153e159aULL, 2717, 1},
      {0x7ff0000000000000ULL, 0x7ff0000000000000ULL, 0x7ff, 53}};  // rank capped, not 65
  for (auto [hash, expected_hash, index, rank] : cases) {
    HyperLogLog hll;
    hll.observe_hash(hash);
    std::array<std::uint8_t, 4096> expected{};
    expected[index] = rank;
    EXPECT_EQ(std::pair(hash, hll.registers()), std::pair(expected_hash, expected));
  }
  EXPECT_EQ(canonical_bits(-0.0), 0u);
  EXPECT_EQ(canonical_bits(-std::numeric_limits<double>::denorm_min()), 0x8000000000000001ULL);

  HyperLogLog hll;
  EXPECT_EQ(hll.estimate(), 0.0);
  hll.observe_hash(value_hash(1.0));
  hll.observe_hash(value_hash(1.0));
  EXPECT_EQ(hll.estimate(), 4096.0 * std::log(4096.0 / 4095.0));
  // Registers 1..4095 at rank 1, register 0 empty: linear counting. Then
  // register 0 at rank 2: raw = alpha m m / sum is far below 2.5 m, but with
  // no zero register it is returned as is.
  HyperLogLog full;
  for (std::uint64_t j = 1; j < 4096; ++j) full.observe_hash((j << 52) | (1ULL << 51));
  EXPECT_EQ(full.estimate(), 4096.0 * std::log(4096.0));
  full.observe_hash(1ULL << 50);
  EXPECT_EQ(full.estimate(), 0.7211100396160289 * 4096.0 * 4096.0 / (4095 * 0.5 + 0.25));
}

// ---------------------------------------------------------------- quantiles

TEST(LogQuantileSketch, BinsZeroBucketNonFiniteAndQuantileWalk) {
  const LogQuantileSketch parameters;
  EXPECT_EQ(parameters.log_gamma(), log_gamma);  // ln of the quotient, not log1p
  EXPECT_EQ(parameters.multiplier(), 49.99833328888678);
  EXPECT_NEAR(rep(54), 2.9744, 1e-4);
  const std::optional<double> none;
  const std::pair<std::vector<double>, std::vector<std::pair<double, std::optional<double>>>> cases[] = {
      {{1.0}, {{-0.0, rep(0)}, {0.3, rep(0)}, {1.0, rep(0)}, {1.0000001, none}, {-0.1, none}, {nan, none}}},
      {{-1.0}, {{0.7, -rep(0)}}}, {{}, {{0.0, none}}}, {{nan, inf, -inf}, {{0.5, none}}},
      {{0.0, -0.0, 1e-12, -1e-12}, {{0.0, 0.0}, {1.0, 0.0}}},  // the zero bucket includes 1e-12
      {{std::nextafter(1e-12, inf)}, {{0.5, rep(-1382)}}}, {{-largest}, {{0.5, -rep(35487)}}},
      {{largest}, {{0.5, rep(35487)}}},
      {{0.5, std::nextafter(1.0, 0.0), 10.0}, {{0.0, rep(-35)}, {0.5, rep(-1)}, {1.0, rep(115)}}},  // floor below 1
      {{1, 2, 3, 4, 5}, {{0.0, rep(0)}, {0.5, rep(54)}, {0.99, rep(69)}, {1.0, rep(80)}}},  // 0.99: rank 3, not 4
      {{-5, 0, 5}, {{0.0, -rep(80)}, {0.5, 0.0}, {1.0, rep(80)}}},
  };
  for (const auto& [values, expected] : cases) {
    LogQuantileSketch sketch;
    for (double x : values) sketch.observe(x);
    for (auto [q, quantile] : expected) EXPECT_EQ(sketch.quantile(q), quantile) << values.size() << " values, q " << q;
  }
}

// The sketch bins by a fast logarithm and falls back to std::log near bin
// edges; the edges, and points just outside the fallback band, are where a
// wrong shortcut would show.
TEST(LogQuantileSketch, BinsAgreeWithLibraryLogAtEveryEdge) {
  LogQuantileSketch sketch;
  std::map<std::int32_t, std::uint64_t> expected;
  const auto probe = [&](double m) {
    if (!(m > 1e-12 && m <= largest)) return;
    sketch.observe(m);
    sketch.observe(-m);
    ++expected[static_cast<std::int32_t>(std::floor(std::log(m) * sketch.multiplier()))];
  };
  for (std::int32_t k = -1382; k <= 35488; ++k) {
    double below = std::exp(log_gamma * k), above = below;
    probe(below);
    for (int step = 0; step < 3; ++step) {
      probe(below = std::nextafter(below, 0.0));
      probe(above = std::nextafter(above, inf));
    }
    for (double offset : {1.01e-5, 2e-5, 4.04e-5, 8e-5, 1e-4, 1e-3, 0.1, 0.5}) {
      probe(std::exp(log_gamma * (k + offset)));
      probe(std::exp(log_gamma * (k - offset)));
    }
  }
  const std::vector<QuantileBin> bins(expected.begin(), expected.end());
  EXPECT_EQ(sketch.sorted_bins(), std::pair(bins, bins));
}

// ---------------------------------------------------------------- heavy hitters

// Ties by value, -0.0 counted as 0.0; weight 0 changes nothing. (The
// Misra-Gries steps are checked on the string sketch and compared below.)
TEST(HeavyHittersSketch, OrdersByCountThenValueAndClearsEqualUnits) {
  HeavyHittersSketch ordered;
  EXPECT_TRUE(ordered.candidates().empty());
  for (double x : {3.0, -2.0, 0.5, -0.0, 0.0, 3.0, 7.0}) ordered.observe_weighted(canonical_bits(x), x == 7.0 ? 0 : 1);
  EXPECT_EQ(ordered.candidates(), (Candidates{{0.0, 2}, {3.0, 2}, {-2.0, 1}, {0.5, 1}}));
  EXPECT_FALSE(std::signbit(ordered.candidates()[0].first));
  // 32 units meet a heavier newcomer: all cleared, the newcomer kept.
  HeavyHittersSketch units;
  for (int i = 0; i < 32; ++i) units.observe_weighted(canonical_bits(i), 1);
  units.observe_weighted(canonical_bits(100.0), 3);
  EXPECT_EQ(units.candidates(), (Candidates{{100.0, 2}}));
  // Only the one counter above the decrement survives.
  HeavyHittersSketch one_left;
  for (std::uint64_t k = 0; k < 33; ++k) one_left.observe_weighted(k, k == 5 ? 2 : 1);
  EXPECT_EQ(one_left.candidates(), (Candidates{{std::bit_cast<double>(std::uint64_t{5}), 1}}));
}

void observe(StringHeavyHittersSketch& sketch, std::string_view s, std::uint64_t weight = 1) {
  sketch.observe_hashed(string_hash(s), s, weight);
}
std::string distinct(int i) { return "s" + std::to_string(i); }

TEST(StringHeavyHittersSketch, DecrementsWhenFull) {
  // 16 candidates at count 2 and 16 at 3 meet "new" with `weight`: the
  // counts each group and "new" end with (0: not stored).
  struct Case { std::uint64_t weight, low, high, added; };
  for (const Case& c : {Case{0, 2, 3, 0}, Case{1, 1, 2, 0}, Case{2, 0, 1, 0}, Case{5, 0, 1, 3}}) {
    StringHeavyHittersSketch full;
    std::map<std::string, std::uint64_t> expected;
    for (int i = 0; i < 32; ++i) {
      observe(full, distinct(i), i < 16 ? 2 : 3);
      if (const std::uint64_t n = i < 16 ? c.low : c.high; n != 0) expected[distinct(i)] = n;
    }
    observe(full, "new", c.weight);
    if (c.added != 0) expected["new"] = c.added;
    const Pairs got = full.candidates();
    EXPECT_EQ((std::map<std::string, std::uint64_t>(got.begin(), got.end())), expected) << c.weight;
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
  EXPECT_EQ(fnv1a64_update(fnv1a64_offset_basis, reinterpret_cast<const std::uint8_t*>("abc"), 3),
            0xe71fa2190541574bULL);
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

// ---------------------------------------------------------------- reservoir, composition

TEST(PriorityReservoir, ReplacementAndTieRules) {
  PriorityReservoir reservoir;
  EXPECT_TRUE(reservoir.values().empty());
  // Largest priority 900 at indices 3 and 200 once full: the later one goes.
  for (int i = 0; i < 256; ++i) reservoir.offer(i == 3 || i == 200 ? 900 : 100 + i, i);
  const std::tuple<std::uint64_t, double, std::size_t, double> steps[] = {
      {900, -1.0, 200, 200.0},  // a tie does not replace
      {899, -2.0, 200, -2.0}, {898, -3.0, 3, -3.0},
      {1, -4.0, 200, -4.0},  // now the largest is 899 at index 200
  };
  for (auto [priority, value, index, expected] : steps) {
    reservoir.offer(priority, value);
    EXPECT_EQ(reservoir.entries()[index].value, expected);
  }
  EXPECT_EQ(reservoir.entries().size(), 256u);
  // Values come out ascending, equal ones (-0.0 == 0.0) by priority, signs kept.
  PriorityReservoir zeros;
  for (auto [priority, value] : {std::pair{30, -1.0}, {10, 0.0}, {20, -0.0}, {5, 0.0}}) zeros.offer(priority, value);
  std::vector<std::uint64_t> value_bits;
  for (double x : zeros.values()) value_bits.push_back(bits(x));
  EXPECT_EQ(value_bits, (std::vector{bits(-1.0), bits(0.0), bits(0.0), bits(-0.0)}));
}

auto snapshot(const NumericSketchState& s) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> entries;
  for (const ReservoirEntry& e : s.reservoir.entries()) entries.emplace_back(e.priority, bits(e.value));
  return std::tuple(s.hll.registers(), s.quantiles.sorted_bins(), s.quantiles.count(), s.heavy_hitters.candidates(),
                    entries);
}

// Every member is fed as through its own interface; NaN and infinities reach
// none. Runs feed the moments and the sketches as single observations at
// consecutive positions would, across the boundary between two runs. The
// moments' run loop carries the count as a double below 2^53 and the
// extremes as plain doubles: runs must match on either side of that limit,
// from empty and from a running state.
TEST(NumericSketchState, FeedsEveryMemberLikeItsOwnInterfaceAndRunsLikeSingleValues) {
  std::vector<double> values(5000);
  NumericSketchState single, members;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double x = values[i] = value_at(i);
    single.observe(77, 1000 + i, x);
    members.quantiles.observe(x);
    members.reservoir.observe(77, 1000 + i, x);
    if (std::isfinite(x)) {
      members.hll.observe_hash(value_hash(x));
      members.heavy_hitters.observe_weighted(canonical_bits(x), 1);
    }
  }
  EXPECT_EQ(snapshot(single), snapshot(members));
  EXPECT_EQ(PriorityReservoir::priority(value_hash(2.0), splitmix64(77), 1000), 0xe326811dacc1af20ULL);
  constexpr std::uint64_t limit = std::uint64_t{1} << 53;
  std::vector<NumericState> starts = {{}, observe_all({-4e9, 5e9}), observe_all({nan})};  // nan: no extremes yet
  for (std::uint64_t count : {limit - 3000, limit - 5, limit + 1, max_u64 - 10}) {
    starts.push_back(observe_all({1.0, 2.0}));
    starts.back().count = count;
  }
  const std::span<const double> all(values);
  for (NumericState one_by_one : starts) {
    NumericState moments = one_by_one;
    for (double x : values) one_by_one.observe(x);
    NumericSketchState run;
    run.observe_run(moments, all.first(1234), splitmix64(77), 1000);
    run.observe_run(moments, all.subspan(1234), splitmix64(77), 1000 + 1234);
    EXPECT_EQ(snapshot(run), snapshot(single));
    EXPECT_EQ(fields(moments), fields(one_by_one));
  }
}

TEST(CategoricalSketchState, CountsRowsAndFeedsBothSketchesOneHash) {
  CategoricalSketchState state;
  for (int i = 0; i < 5; ++i) state.observe_missing();
  EXPECT_TRUE(state.hll.estimate() == 0.0 && state.heavy_hitters.candidates().empty());
  state.observe_hashed(string_hash(""), "");
  state.observe_hashed(string_hash("abc"), "abc");
  EXPECT_EQ((std::pair<int, int>(state.hll.registers()[1458], state.hll.registers()[2712])), std::pair(4, 3));
  const double estimate = state.hll.estimate();
  for (int i = 2; i < 1000; ++i) state.observe_hashed(string_hash("abc"), "abc");
  EXPECT_EQ(state.hll.estimate(), estimate);
  EXPECT_EQ(state.heavy_hitters.candidates(), (Pairs{{"abc", 999}, {"", 1}}));
  EXPECT_EQ(std::pair(state.count, state.missing), std::pair(std::uint64_t{1000}, std::uint64_t{5}));
  state.count = state.missing = max_u64 - 1;
  for (int i = 0; i < 2; ++i) state.observe_hashed(string_hash("a"), "a");
  for (int i = 0; i < 2; ++i) state.observe_missing();
  EXPECT_EQ(std::pair(state.count, state.missing), std::pair(max_u64, max_u64));
}

// ---------------------------------------------------------------- merges and serialized form

// The stream of elements [begin, end), numbered from position `begin`.
NumericStream numeric(std::uint64_t begin, std::uint64_t end, std::uint64_t stream_id = 7) {
  NumericStream s;
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
auto exact_parts(const NumericStream& s) {
  const NumericState& m = s.state;
  return std::tuple(m.count, m.missing, m.infinite, bits(*m.minimum), bits(*m.maximum), s.observations,
                    s.sketches.hll.registers(), s.sketches.quantiles.sorted_bins(), s.sketches.quantiles.zero_count(),
                    s.sketches.reservoir.values());
}

TEST(Merge, AnySplitOfANumericStreamEqualsOnePass) {
  constexpr std::uint64_t n = 3000;
  const NumericStream whole = numeric(0, n);
  for (std::uint64_t cut : {0, 1, 255, 1500, 2999, 3000}) {
    // The second part numbered on from the cut, as in the one pass.
    const NumericStream m = merged(numeric(0, cut), numeric(cut, n));
    EXPECT_EQ(exact_parts(m), exact_parts(whole));
    for (auto [got, want] : {std::pair(m.state.mean, whole.state.mean), {m.state.m2, whole.state.m2},
                             {m.state.m3, whole.state.m3}, {m.state.m4, whole.state.m4}}) {
      EXPECT_NEAR(got, want, 1e-12 * std::fabs(want));
    }
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
  EXPECT_EQ(exact_parts(left), exact_parts(right));
  EXPECT_EQ(left.sketches.heavy_hitters.candidates(), right.sketches.heavy_hitters.candidates());
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
  const Decode numbers = decode_error<NumericStream>, strings = decode_error<CategoricalSketchState>,
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
  NumericStream s;
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
