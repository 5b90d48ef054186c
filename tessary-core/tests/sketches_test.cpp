#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

#include "tessary/hashing.hpp"
#include "tessary/numeric_state.hpp"
#include "tessary/sketches.hpp"

namespace tessary {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double largest = std::numeric_limits<double>::max();
constexpr double log_gamma = 0.020000666706669435;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
double rep(std::int32_t k) { return std::exp(log_gamma * (k + 0.5)); }

// Deterministic test stream: mixed magnitudes and signs, zeros, values near
// the zero threshold, repeats from a small pool.
struct Random {
  std::uint64_t state;
  std::uint64_t next() { return splitmix64(state++); }
  std::uint64_t below(std::uint64_t n) { return next() % n; }
  double value() {
    switch (below(8)) {
      case 0: return static_cast<double>(below(20)) - 10.0;
      case 1: return below(2) ? 0.0 : -0.0;
      case 2: return (below(2) ? 1.0 : -1.0) * std::ldexp(1.0, static_cast<int>(below(2000)) - 1000);
      case 3: return std::ldexp(static_cast<double>(below(1000)) + 1.0, -50);
      default: return (static_cast<double>(next() >> 11) * 0x1p-53 - 0.3) * 1000.0;
    }
  }
};

// ---------------------------------------------------------------- hashing

TEST(ValueHash, KnownValuesAndRegisters) {
  // hash, its expected value, the one register it sets and the rank there
  const std::tuple<std::uint64_t, std::uint64_t, std::size_t, std::uint8_t> cases[] = {
      {splitmix64(0), 0xe220a8397b1dcdafULL, 3618, 5},
      {value_hash(0.0), 0xe220a8397b1dcdafULL, 3618, 5},
      {value_hash(-0.0), 0xe220a8397b1dcdafULL, 3618, 5},
      {value_hash(1.0), 0x88d7c35bbbf3ededULL, 2189, 2},
      {value_hash(-1.0), 0xa9d88ac0153e159aULL, 2717, 1},
      {0x7ff0000000000000ULL, 0x7ff0000000000000ULL, 0x7ff, 53},  // rank capped, not 65
  };
  for (auto [hash, expected_hash, index, rank] : cases) {
    EXPECT_EQ(hash, expected_hash);
    HyperLogLog hll;
    hll.observe_hash(hash);
    std::array<std::uint8_t, 4096> expected{};
    expected[index] = rank;
    EXPECT_EQ(hll.registers(), expected);
  }
  EXPECT_EQ(canonical_bits(-0.0), 0u);
  EXPECT_EQ(canonical_bits(-std::numeric_limits<double>::denorm_min()), 0x8000000000000001ULL);
}

TEST(HyperLogLog, EstimateBranches) {
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

// The specified bin of a magnitude above the zero threshold, with the
// library logarithm.
std::int32_t bin_index(double magnitude) {
  return static_cast<std::int32_t>(std::floor(std::log(magnitude) * LogQuantileSketch().multiplier()));
}

TEST(LogQuantileSketch, ParametersAndBinIndex) {
  const LogQuantileSketch sketch;
  EXPECT_EQ(sketch.log_gamma(), log_gamma);  // ln of the quotient, not log1p
  EXPECT_EQ(sketch.multiplier(), 49.99833328888678);
  const std::pair<double, std::int32_t> cases[] = {  // floor, not truncation, below 1
      {0.5, -35}, {1.0, 0}, {std::nextafter(1.0, 0.0), -1}, {2.0, 34}, {10.0, 115}, {largest, 35487},
      {std::nextafter(1e-12, inf), -1382}};
  for (auto [magnitude, index] : cases) {
    LogQuantileSketch binned;
    binned.observe(magnitude);
    EXPECT_EQ(binned.sorted_bins().second, (std::vector<QuantileBin>{{index, 1}})) << magnitude;
  }
}

TEST(LogQuantileSketch, ZeroBucketNonFiniteAndQuantileWalk) {
  const std::optional<double> none;
  const std::pair<std::vector<double>, std::vector<std::pair<double, std::optional<double>>>> cases[] = {
      {{1.0}, {{-0.0, rep(0)}, {0.3, rep(0)}, {1.0, rep(0)}, {1.0000001, none}, {-0.1, none}, {nan, none}}},
      {{-1.0}, {{0.7, -rep(0)}}},
      {{}, {{0.0, none}}},
      {{nan, inf, -inf}, {{0.5, none}}},
      {{0.0, -0.0, 1e-12, -1e-12}, {{0.0, 0.0}, {1.0, 0.0}}},  // the zero bucket includes 1e-12
      {{std::nextafter(1e-12, inf)}, {{0.5, rep(-1382)}}},
      {{-largest}, {{0.5, -rep(35487)}}},
      {{1, 2, 3, 4, 5}, {{0.0, rep(0)}, {0.5, rep(54)}, {0.99, rep(69)}, {1.0, rep(80)}}},  // 0.99: rank 3, not 4
      {{-5, 0, 5}, {{0.0, -rep(80)}, {0.5, 0.0}, {1.0, rep(80)}}},
      {{largest}, {{0.5, rep(35487)}}},
  };
  for (const auto& [values, expected] : cases) {
    LogQuantileSketch sketch;
    for (double x : values) sketch.observe(x);
    for (auto [q, quantile] : expected) EXPECT_EQ(sketch.quantile(q), quantile) << values.size() << " values, q " << q;
  }
  EXPECT_NEAR(rep(54), 2.9744, 1e-4);
  EXPECT_NEAR(rep(35487) / 1.7815e308, 1.0, 1e-4);
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
    ++expected[bin_index(m)];
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

// Keeps every finite value; bins and quantiles by sorting, with no walk.
struct ReferenceQuantiles {
  std::vector<double> values;
  void observe(double x) {
    if (std::isfinite(x)) values.push_back(x);
  }
  static std::int32_t index(double x) {
    return static_cast<std::int32_t>(std::floor(std::log(std::fabs(x)) * 49.99833328888678));
  }
  std::pair<std::vector<QuantileBin>, std::vector<QuantileBin>> sorted_bins() const {
    std::map<std::int32_t, std::uint64_t> negative, positive;
    for (double x : values) {
      if (std::fabs(x) > 1e-12) ++(x > 0 ? positive : negative)[index(x)];
    }
    return {{negative.begin(), negative.end()}, {positive.begin(), positive.end()}};
  }
  std::optional<double> quantile(double q) const {
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    const double x = sorted[static_cast<std::size_t>(std::floor(q * static_cast<double>(sorted.size() - 1)))];
    return std::fabs(x) <= 1e-12 ? 0.0 : std::copysign(rep(index(x)), x);
  }
};

void expect_same(const LogQuantileSketch& sketch, const ReferenceQuantiles& reference) {
  ASSERT_EQ(sketch.count(), reference.values.size());
  ASSERT_EQ(sketch.sorted_bins(), reference.sorted_bins());
  for (int i = 0; i <= 200 && !reference.values.empty(); ++i) {
    ASSERT_EQ(sketch.quantile(i / 200.0), reference.quantile(i / 200.0)) << i;
  }
}

TEST(LogQuantileSketch, MatchesReferenceAndMergesBinByBin) {
  Random random{7};
  std::vector<LogQuantileSketch> sketches(4);
  std::vector<ReferenceQuantiles> references(4);
  // Different lengths (0 included) and magnitudes, so the bin windows differ.
  const int lengths[] = {0, 1, 700, 5000};
  for (int s = 0; s < 4; ++s) {
    for (int i = 0; i < lengths[s]; ++i) {
      const double x = random.value() * (s == 2 ? 1e200 : 1.0);
      sketches[s].observe(x);
      references[s].observe(x);
      if (i % 97 == 0) expect_same(sketches[s], references[s]);
    }
    expect_same(sketches[s], references[s]);
  }
  // Merge into non-empty, into empty and from empty.
  for (auto [into, from] : {std::pair{3, 2}, std::pair{0, 3}, std::pair{1, 0}, std::pair{1, 2}}) {
    auto& v = references[into].values;
    v.insert(v.end(), references[from].values.begin(), references[from].values.end());
    sketches[into].merge(LogQuantileSketch(sketches[from]));
    expect_same(sketches[into], references[into]);
  }
}

// ---------------------------------------------------------------- heavy hitters

using Candidates = std::vector<std::pair<double, std::uint64_t>>;
double key(std::uint64_t k) { return std::bit_cast<double>(k); }

TEST(HeavyHittersSketch, MisraGriesSteps) {
  HeavyHittersSketch sketch;
  EXPECT_TRUE(sketch.candidates().empty());
  for (double x : {1.0, 2.0, 0.5, 2.0, 1.0, 2.0, 1.0, 7.0}) {
    sketch.observe_weighted(canonical_bits(x), x == 7.0 ? 0 : 1);  // weight 0 changes nothing
  }
  EXPECT_EQ(sketch.candidates(), (Candidates{{1.0, 3}, {2.0, 3}, {0.5, 1}}));

  HeavyHittersSketch units;
  for (int i = 0; i < 32; ++i) units.observe_weighted(canonical_bits(i), 1);
  units.observe_weighted(canonical_bits(100.0), 1);  // clears all, not kept
  EXPECT_TRUE(units.candidates().empty());
  units.observe_weighted(canonical_bits(101.0), 1);
  EXPECT_EQ(units.candidates(), (Candidates{{101.0, 1}}));
  // All counters equal: a heavier newcomer clears them and keeps the rest.
  for (int i = 0; i < 31; ++i) units.observe_weighted(canonical_bits(i), 1);
  units.observe_weighted(canonical_bits(102.0), 3);
  EXPECT_EQ(units.candidates(), (Candidates{{102.0, 2}}));

  // Full, smallest count 3 (keys 0 and 1), the rest 5: a light newcomer
  // lowers every counter, a heavy one takes the freed slots.
  for (auto [weight, size, front, back] : {std::tuple{2, 32u, std::pair{key(2), 3ul}, std::pair{key(1), 1ul}},
                                            std::tuple{10, 31u, std::pair{key(1000), 7ul}, std::pair{key(31), 2ul}}}) {
    HeavyHittersSketch s;
    for (std::uint64_t k = 0; k < 32; ++k) s.observe_weighted(k, k < 2 ? 3 : 5);
    s.observe_weighted(1000, weight);
    const Candidates candidates = s.candidates();
    ASSERT_EQ(candidates.size(), size);
    EXPECT_EQ(candidates.front(), front);
    EXPECT_EQ(candidates.back(), back);
  }
  // Ties by value, -0.0 counted as 0.0.
  HeavyHittersSketch ordered;
  for (double x : {3.0, -2.0, 0.5, -0.0, 0.0}) ordered.observe_weighted(canonical_bits(x), 1);
  EXPECT_EQ(ordered.candidates(), (Candidates{{0.0, 2}, {-2.0, 1}, {0.5, 1}, {3.0, 1}}));
  EXPECT_FALSE(std::signbit(ordered.candidates()[0].first));
}

struct ReferenceHeavyHitters {
  std::map<std::uint64_t, std::uint64_t> counts;
  void observe_weighted(std::uint64_t k, std::uint64_t w) {
    if (w == 0) return;
    if (counts.contains(k) || counts.size() < 32) {
      counts[k] += w;
      return;
    }
    std::uint64_t d = w;
    for (const auto& entry : counts) d = std::min(d, entry.second);
    for (auto& entry : counts) entry.second -= d;
    std::erase_if(counts, [](const auto& entry) { return entry.second == 0; });
    if (w > d) counts[k] = w - d;
  }
  Candidates candidates() const {
    Candidates out;
    for (const auto& [k, c] : counts) out.emplace_back(key(k), c);
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
      return a.second != b.second ? a.second > b.second : a.first < b.first;  // no NaN or -0.0 keys below
    });
    return out;
  }
};

TEST(HeavyHittersSketch, MatchesReferenceOnWeightedStreams) {
  Random random{11};
  for (std::uint64_t pool : {40, 80, 1000}) {
    HeavyHittersSketch sketch;
    ReferenceHeavyHitters reference;
    for (int i = 0; i < 20000; ++i) {
      // Skewed keys (small ones frequent), weights 0..4; positive-double keys.
      const std::uint64_t k = bits(static_cast<double>(random.below(1 + random.below(pool))));
      const std::uint64_t weight = random.below(5);
      sketch.observe_weighted(k, weight);
      reference.observe_weighted(k, weight);
      if (i % 61 == 0 || i == 19999) {
        ASSERT_EQ(sketch.candidates(), reference.candidates()) << i;
      }
    }
  }
}

// ---------------------------------------------------------------- reservoir

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

struct ReferenceReservoir {
  std::vector<ReservoirEntry> entries;
  void observe(std::uint64_t stream_id, std::uint64_t position, double x) {
    if (!std::isfinite(x)) return;
    const std::uint64_t p =
        splitmix64(splitmix64(x == 0.0 ? 0 : bits(x)) ^ splitmix64(stream_id) ^ splitmix64(position));
    if (entries.size() < 256) return entries.push_back({p, x});
    std::size_t top = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) top = entries[i].priority >= entries[top].priority ? i : top;
    if (p < entries[top].priority) entries[top] = {p, x};
  }
};

using Entries = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
Entries entries(std::span<const ReservoirEntry> in) {
  Entries out;
  for (const ReservoirEntry& e : in) out.emplace_back(e.priority, bits(e.value));
  return out;
}

// ---------------------------------------------------------------- composition

auto snapshot(const NumericSketchState& s) {
  return std::tuple(s.hll.registers(), s.quantiles.sorted_bins(), s.heavy_hitters.candidates(),
                    entries(s.reservoir.entries()));
}

// Every member is fed as through its own interface; NaN and infinities reach
// none. A run feeds the moments and the sketches as single observations at
// consecutive positions would, across the boundary between two runs.
TEST(NumericSketchState, FeedsEveryMemberLikeItsOwnInterface) {
  Random random{5};
  std::vector<double> values(5000);
  for (double& x : values) {
    const std::uint64_t kind = random.below(50);
    const double special[] = {nan, inf, -inf};
    x = kind < 3 ? special[kind] : kind < 10 ? static_cast<double>(random.below(20)) : random.value();
  }
  NumericSketchState single, run;
  PriorityReservoir alone;
  NumericState single_moments, run_moments;
  HyperLogLog hll;
  ReferenceQuantiles quantiles;
  ReferenceHeavyHitters heavy_hitters;
  ReferenceReservoir reservoir;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double x = values[i];
    single.observe(77, 1000 + i, x);
    single_moments.observe(x);
    quantiles.observe(x);
    reservoir.observe(77, 1000 + i, x);
    alone.observe(77, 1000 + i, x);
    if (std::isfinite(x)) {
      hll.observe_hash(value_hash(x));
      heavy_hitters.observe_weighted(canonical_bits(x), 1);
    }
  }
  EXPECT_EQ(single.hll.registers(), hll.registers());
  expect_same(single.quantiles, quantiles);
  EXPECT_EQ(single.heavy_hitters.candidates(), heavy_hitters.candidates());
  EXPECT_EQ(entries(single.reservoir.entries()), entries(reservoir.entries));
  EXPECT_EQ(entries(alone.entries()), entries(reservoir.entries));

  const std::span<const double> all(values);
  run.observe_run(run_moments, all.first(1234), splitmix64(77), 1000);
  run.observe_run(run_moments, all.subspan(1234), splitmix64(77), 1000 + 1234);
  EXPECT_EQ(snapshot(run), snapshot(single));
  const auto moments = [](const NumericState& m) {
    return std::tuple(m.count, m.missing, m.infinite, bits(m.mean), bits(m.m4), m.minimum, m.maximum);
  };
  EXPECT_EQ(moments(run_moments), moments(single_moments));
}

}  // namespace
}  // namespace tessary
