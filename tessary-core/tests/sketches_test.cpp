#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "tessary/numeric_state.hpp"
#include "tessary/sketches.hpp"

namespace tessary {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double largest = std::numeric_limits<double>::max();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Deterministic test stream.
struct Random {
  std::uint64_t state;
  std::uint64_t next() { return splitmix64(state++); }
  std::uint64_t below(std::uint64_t n) { return next() % n; }
  // Mixed magnitudes and signs, zeros, values near the zero threshold,
  // repeats from a small pool.
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
  EXPECT_EQ(splitmix64(0), 0xe220a8397b1dcdafULL);
  EXPECT_EQ(value_hash(0.0), 0xe220a8397b1dcdafULL);
  EXPECT_EQ(value_hash(-0.0), 0xe220a8397b1dcdafULL);
  EXPECT_EQ(value_hash(1.0), 0x88d7c35bbbf3ededULL);
  EXPECT_EQ(value_hash(-1.0), 0xa9d88ac0153e159aULL);
  EXPECT_EQ(canonical_bits(-0.0), 0u);
  EXPECT_EQ(canonical_bits(-2.5), bits(-2.5));
  EXPECT_EQ(canonical_bits(-std::numeric_limits<double>::denorm_min()), 0x8000000000000001ULL);

  const auto after_one = [](std::uint64_t hash) {
    HyperLogLog hll;
    hll.observe_hash(hash);
    std::vector<std::pair<std::size_t, int>> set;
    for (std::size_t j = 0; j < hll.registers().size(); ++j) {
      if (hll.registers()[j] != 0) set.emplace_back(j, hll.registers()[j]);
    }
    return set;
  };
  using Set = std::vector<std::pair<std::size_t, int>>;
  EXPECT_EQ(after_one(value_hash(0.0)), (Set{{3618, 5}}));
  EXPECT_EQ(after_one(value_hash(1.0)), (Set{{2189, 2}}));
  EXPECT_EQ(after_one(value_hash(-1.0)), (Set{{2717, 1}}));
  EXPECT_EQ(after_one(0x7ff0000000000000ULL), (Set{{0x7ff, 53}}));  // rank capped, not 65
}

TEST(HyperLogLog, EstimateBranches) {
  HyperLogLog hll;
  EXPECT_EQ(hll.estimate(), 0.0);
  hll.observe_hash(value_hash(1.0));
  const double one = 4096.0 * std::log(4096.0 / 4095.0);
  EXPECT_EQ(hll.estimate(), one);
  hll.observe_hash(value_hash(1.0));
  EXPECT_EQ(hll.estimate(), one);

  // Every register at rank 1 except register 0 at rank 2: raw = alpha m m / sum
  // is far below 2.5 m, but with no zero register it is returned as is.
  HyperLogLog full;
  for (std::uint64_t j = 1; j < 4096; ++j) full.observe_hash((j << 52) | (1ULL << 51));
  EXPECT_EQ(full.estimate(), 4096.0 * std::log(4096.0 / 1.0));
  full.observe_hash(1ULL << 50);
  const double alpha = 0.7213 / (1.0 + 1.079 / 4096.0);
  EXPECT_EQ(alpha, 0.7211100396160289);
  EXPECT_EQ(full.estimate(), alpha * 4096.0 * 4096.0 / (4095 * 0.5 + 0.25));
}

// ---------------------------------------------------------------- quantiles

TEST(LogQuantileSketch, ParametersAndBinIndex) {
  const LogQuantileSketch sketch;
  EXPECT_EQ(sketch.relative_accuracy(), 0.01);
  EXPECT_EQ(sketch.log_gamma(), 0.020000666706669435);  // ln of the quotient, not log1p
  volatile double a = 0.01;  // computed at run time, by this platform's logarithm
  EXPECT_EQ(sketch.log_gamma(), std::log((1.0 + a) / (1.0 - a)));
  EXPECT_EQ(sketch.multiplier(), 49.99833328888678);
  EXPECT_EQ(sketch.multiplier(), 1.0 / sketch.log_gamma());
  EXPECT_EQ(sketch.zero_threshold(), 1e-12);
  // floor, not truncation, below magnitude 1
  EXPECT_EQ(LogQuantileSketch::bin_index(0.5), -35);
  EXPECT_EQ(LogQuantileSketch::bin_index(1.0), 0);
  EXPECT_EQ(LogQuantileSketch::bin_index(2.0), 34);
  EXPECT_EQ(LogQuantileSketch::bin_index(10.0), 115);
  EXPECT_EQ(LogQuantileSketch::bin_index(largest), 35487);
  EXPECT_EQ(LogQuantileSketch::bin_index(std::nextafter(1e-12, inf)), -1382);
  EXPECT_EQ(LogQuantileSketch::bin_index(0.0), std::numeric_limits<std::int32_t>::min());
}

TEST(LogQuantileSketch, ZeroBucketAndNonFinite) {
  LogQuantileSketch sketch;
  for (double x : {nan, inf, -inf}) sketch.observe(x);
  EXPECT_EQ(sketch.count(), 0u);
  for (double q : {0.0, 0.5, 1.0}) EXPECT_EQ(sketch.quantile(q), std::nullopt);

  for (double x : {0.0, -0.0, 1e-12, -1e-12}) sketch.observe(x);
  EXPECT_EQ(sketch.zero_count(), 4u);
  EXPECT_EQ(sketch.quantile(0.0), 0.0);
  EXPECT_EQ(sketch.quantile(1.0), 0.0);
  sketch.observe(std::nextafter(1e-12, inf));
  sketch.observe(-largest);
  const auto [negative, positive] = sketch.sorted_bins();
  EXPECT_EQ(negative, (std::vector<QuantileBin>{{35487, 1}}));
  EXPECT_EQ(positive, (std::vector<QuantileBin>{{-1382, 1}}));
  EXPECT_EQ(sketch.count(), 6u);
}

TEST(LogQuantileSketch, QuantileWalk) {
  const auto rep = [](int k) { return std::exp(0.020000666706669435 * (k + 0.5)); };
  LogQuantileSketch single;
  single.observe(1.0);
  for (double q : {-0.0, 0.3, 1.0}) EXPECT_EQ(single.quantile(q), rep(0));
  for (double q : {1.0000001, -0.1, nan}) EXPECT_EQ(single.quantile(q), std::nullopt);
  LogQuantileSketch minus_one;
  minus_one.observe(-1.0);
  EXPECT_EQ(minus_one.quantile(0.7), -rep(0));

  LogQuantileSketch one_to_five;
  for (double x : {1.0, 2.0, 3.0, 4.0, 5.0}) one_to_five.observe(x);
  EXPECT_EQ(one_to_five.quantile(0.0), rep(0));
  EXPECT_EQ(one_to_five.quantile(0.5), rep(54));
  EXPECT_NEAR(*one_to_five.quantile(0.5), 2.9744, 1e-4);
  EXPECT_EQ(one_to_five.quantile(0.99), rep(69));  // rank floor(3.96) = 3: value 4
  EXPECT_NEAR(*one_to_five.quantile(0.99), 4.0150, 1e-4);
  EXPECT_EQ(one_to_five.quantile(1.0), rep(80));

  LogQuantileSketch symmetric;
  for (double x : {-5.0, 0.0, 5.0}) symmetric.observe(x);
  EXPECT_EQ(symmetric.quantile(0.0), -rep(80));
  EXPECT_EQ(symmetric.quantile(0.5), 0.0);
  EXPECT_EQ(symmetric.quantile(1.0), rep(80));

  LogQuantileSketch huge;
  huge.observe(largest);
  EXPECT_EQ(huge.quantile(0.5), rep(35487));
  EXPECT_NEAR(*huge.quantile(0.5) / 1.7815e308, 1.0, 1e-4);
}

// The sketch bins by a fast logarithm and falls back to std::log near bin
// edges; the edges, and points just outside the fallback band, are where a
// wrong shortcut would show.
TEST(LogQuantileSketch, BinsAgreeWithLibraryLogAtEveryEdge) {
  LogQuantileSketch sketch;
  std::map<std::int32_t, std::uint64_t> expected_positive, expected_negative;
  const auto probe = [&](double m) {
    if (!(m > 1e-12 && m <= largest)) return;
    sketch.observe(m);
    sketch.observe(-m);
    ++expected_positive[LogQuantileSketch::bin_index(m)];
    ++expected_negative[LogQuantileSketch::bin_index(m)];
  };
  for (std::int32_t k = -1382; k <= 35488; ++k) {
    const double edge = std::exp(0.020000666706669435 * k);
    probe(edge);
    double below = edge;
    double above = edge;
    for (int step = 0; step < 3; ++step) {
      probe(below = std::nextafter(below, 0.0));
      probe(above = std::nextafter(above, inf));
    }
    for (double offset : {1.01e-5, 2e-5, 4.04e-5, 8e-5, 1e-4, 1e-3, 0.1, 0.5}) {
      probe(std::exp(0.020000666706669435 * (k + offset)));
      probe(std::exp(0.020000666706669435 * (k - offset)));
    }
  }
  const auto [negative, positive] = sketch.sorted_bins();
  EXPECT_EQ(positive, (std::vector<QuantileBin>(expected_positive.begin(), expected_positive.end())));
  EXPECT_EQ(negative, (std::vector<QuantileBin>(expected_negative.begin(), expected_negative.end())));

  LogQuantileSketch around_one;
  around_one.observe(1.0);  // exactly on an edge
  around_one.observe(std::nextafter(1.0, 0.0));
  EXPECT_EQ(around_one.sorted_bins().second, (std::vector<QuantileBin>{{-1, 1}, {0, 1}}));
}

// Plain map-based sketch with the walk written out literally.
struct ReferenceQuantiles {
  std::map<std::int32_t, std::uint64_t> negative, positive;
  std::uint64_t zero = 0, count = 0;
  void observe(double x) {
    if (!std::isfinite(x)) return;
    ++count;
    if (std::fabs(x) <= 1e-12) {
      ++zero;
    } else {
      ++(x >= 0 ? positive : negative)[static_cast<std::int32_t>(
          std::floor(std::log(std::fabs(x)) * 49.99833328888678))];
    }
  }
  std::optional<double> quantile(double q) const {
    if (count == 0 || !(q >= 0.0 && q <= 1.0)) return std::nullopt;
    const auto rank = static_cast<std::uint64_t>(std::floor(q * static_cast<double>(count - 1)));
    std::uint64_t total = 0;
    for (auto it = negative.rbegin(); it != negative.rend(); ++it) {
      if (rank < (total += it->second)) return -std::exp(0.020000666706669435 * (it->first + 0.5));
    }
    if (rank < (total += zero)) return 0.0;
    for (const auto& [k, n] : positive) {
      if (rank < (total += n)) return std::exp(0.020000666706669435 * (k + 0.5));
    }
    return std::nullopt;
  }
  std::pair<std::vector<QuantileBin>, std::vector<QuantileBin>> sorted_bins() const {
    return {{negative.begin(), negative.end()}, {positive.begin(), positive.end()}};
  }
  void merge(const ReferenceQuantiles& other) {
    zero += other.zero;
    count += other.count;
    for (const auto& [k, n] : other.negative) negative[k] += n;
    for (const auto& [k, n] : other.positive) positive[k] += n;
  }
};

void expect_same(const LogQuantileSketch& sketch, const ReferenceQuantiles& reference) {
  ASSERT_EQ(sketch.count(), reference.count);
  ASSERT_EQ(sketch.zero_count(), reference.zero);
  ASSERT_EQ(sketch.sorted_bins(), reference.sorted_bins());
  for (int i = 0; i <= 200; ++i) {
    const double q = i / 200.0;
    ASSERT_EQ(sketch.quantile(q), reference.quantile(q)) << q;
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
    references[into].merge(references[from]);
    sketches[into].merge(LogQuantileSketch(sketches[from]));
    expect_same(sketches[into], references[into]);
  }
}

// ---------------------------------------------------------------- heavy hitters

using Candidates = std::vector<std::pair<double, std::uint64_t>>;

TEST(HeavyHittersSketch, MisraGriesSteps) {
  HeavyHittersSketch sketch;
  EXPECT_TRUE(sketch.candidates().empty());
  for (double x : {1.0, 2.0, 0.5, 2.0, 1.0, 2.0, 1.0}) sketch.observe_weighted(canonical_bits(x), 1);
  EXPECT_EQ(sketch.candidates(), (Candidates{{1.0, 3}, {2.0, 3}, {0.5, 1}}));
  sketch.observe_weighted(canonical_bits(7.0), 0);
  EXPECT_EQ(sketch.candidates().size(), 3u);

  HeavyHittersSketch units;
  for (int i = 0; i < 32; ++i) units.observe_weighted(canonical_bits(i), 1);
  units.observe_weighted(canonical_bits(100.0), 1);
  EXPECT_TRUE(units.candidates().empty());
  units.observe_weighted(canonical_bits(101.0), 1);
  EXPECT_EQ(units.candidates(), (Candidates{{101.0, 1}}));
  // All counters equal: a heavier newcomer clears them and keeps the rest.
  for (int i = 0; i < 31; ++i) units.observe_weighted(canonical_bits(i), 1);
  units.observe_weighted(canonical_bits(102.0), 3);
  EXPECT_EQ(units.candidates(), (Candidates{{102.0, 2}}));

  // Full, smallest count 3 (keys 0 and 1), the rest 5.
  const auto full = [] {
    HeavyHittersSketch s;
    for (std::uint64_t key = 0; key < 32; ++key) s.observe_weighted(key, key < 2 ? 3 : 5);
    return s;
  };
  HeavyHittersSketch light = full();
  light.observe_weighted(1000, 2);
  Candidates candidates = light.candidates();
  ASSERT_EQ(candidates.size(), 32u);
  EXPECT_EQ(candidates.front().second, 3u);
  EXPECT_EQ(candidates.back(), (std::pair{std::bit_cast<double>(std::uint64_t{1}), std::uint64_t{1}}));

  HeavyHittersSketch heavy = full();
  heavy.observe_weighted(1000, 10);
  candidates = heavy.candidates();
  ASSERT_EQ(candidates.size(), 31u);
  EXPECT_EQ(candidates.front(), (std::pair{std::bit_cast<double>(std::uint64_t{1000}), std::uint64_t{7}}));
  EXPECT_EQ(candidates.back().second, 2u);
}

TEST(HeavyHittersSketch, CandidateOrderIsTotal) {
  HeavyHittersSketch sketch;
  for (double x : {3.0, -2.0, 0.5, -0.0, 0.0}) sketch.observe_weighted(canonical_bits(x), 1);
  EXPECT_EQ(sketch.candidates(), (Candidates{{0.0, 2}, {-2.0, 1}, {0.5, 1}, {3.0, 1}}));
  EXPECT_FALSE(std::signbit(sketch.candidates()[0].first));
}

struct ReferenceHeavyHitters {
  std::map<std::uint64_t, std::uint64_t> counts;
  void observe_weighted(std::uint64_t key, std::uint64_t w) {
    if (w == 0) return;
    if (auto it = counts.find(key); it != counts.end()) {
      it->second += w;
      return;
    }
    if (counts.size() < 32) {
      counts[key] = w;
      return;
    }
    std::uint64_t m = ~std::uint64_t{0};
    for (const auto& [k, c] : counts) m = std::min(m, c);
    const std::uint64_t d = std::min(w, m);
    for (auto it = counts.begin(); it != counts.end();) {
      it = (it->second -= d) == 0 ? counts.erase(it) : std::next(it);
    }
    if (w - d != 0) counts[key] = w - d;
  }
  Candidates candidates() const {
    Candidates out;
    for (const auto& [k, c] : counts) out.emplace_back(std::bit_cast<double>(k), c);
    std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
      if (a.second != b.second) return a.second > b.second;
      return a.first < b.first;  // no NaN or -0.0 keys below
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
      const std::uint64_t key = bits(static_cast<double>(random.below(1 + random.below(pool))));
      const std::uint64_t weight = random.below(5);
      sketch.observe_weighted(key, weight);
      reference.observe_weighted(key, weight);
      if (i % 61 == 0) {
        ASSERT_EQ(sketch.candidates(), reference.candidates()) << i;
      }
    }
    ASSERT_EQ(sketch.candidates(), reference.candidates());
  }
}

// ---------------------------------------------------------------- reservoir

TEST(PriorityReservoir, ReplacementAndTieRules) {
  PriorityReservoir reservoir;
  EXPECT_TRUE(reservoir.values().empty());
  // Largest priority 900 at indices 3 and 200 once full: the later one goes.
  for (int i = 0; i < 256; ++i) reservoir.offer(i == 3 || i == 200 ? 900 : 100 + i, i);
  reservoir.offer(900, -1.0);  // a tie does not replace
  EXPECT_EQ(reservoir.entries()[200].value, 200.0);
  reservoir.offer(899, -2.0);
  EXPECT_EQ(reservoir.entries()[200].value, -2.0);
  reservoir.offer(898, -3.0);
  EXPECT_EQ(reservoir.entries()[3].value, -3.0);
  // Now the largest is 899 at index 200.
  reservoir.offer(1, -4.0);
  EXPECT_EQ(reservoir.entries()[200].value, -4.0);
  EXPECT_EQ(reservoir.entries().size(), 256u);
}

TEST(PriorityReservoir, SignedZeroIsKeptAndOrderedByPriority) {
  PriorityReservoir reservoir;
  reservoir.offer(30, 0.0);
  reservoir.offer(10, -0.0);
  reservoir.offer(20, 0.0);
  reservoir.offer(5, -1.0);
  const std::vector<double> values = reservoir.values();
  ASSERT_EQ(values.size(), 4u);
  EXPECT_EQ(bits(values[0]), bits(-1.0));
  EXPECT_EQ(bits(values[1]), bits(-0.0));
  EXPECT_EQ(bits(values[2]), bits(0.0));
  EXPECT_EQ(bits(values[3]), bits(0.0));
}

struct ReferenceReservoir {
  std::vector<ReservoirEntry> entries;
  void observe(std::uint64_t stream_id, std::uint64_t position, double x) {
    if (!std::isfinite(x)) return;
    const std::uint64_t p = splitmix64(splitmix64(x == 0.0 ? 0 : bits(x)) ^ splitmix64(stream_id) ^
                                       splitmix64(position));
    if (entries.size() < 256) {
      entries.push_back({p, x});
      return;
    }
    std::size_t top = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].priority >= entries[top].priority) top = i;
    }
    if (p < entries[top].priority) entries[top] = {p, x};
  }
};

void expect_same_entries(const PriorityReservoir& reservoir, const ReferenceReservoir& reference) {
  ASSERT_EQ(reservoir.entries().size(), reference.entries.size());
  for (std::size_t i = 0; i < reference.entries.size(); ++i) {
    ASSERT_EQ(reservoir.entries()[i].priority, reference.entries[i].priority);
    ASSERT_EQ(bits(reservoir.entries()[i].value), bits(reference.entries[i].value));
  }
}

TEST(PriorityReservoir, MatchesReferenceAndIsReproducible) {
  Random random{3};
  std::vector<double> stream(5000);
  for (double& x : stream) x = random.below(50) == 0 ? nan : random.value();
  PriorityReservoir reservoir;
  ReferenceReservoir reference;
  for (std::size_t i = 0; i < stream.size(); ++i) {
    reservoir.observe(42, i, stream[i]);
    reference.observe(42, i, stream[i]);
    if (i % 101 == 0) expect_same_entries(reservoir, reference);
  }
  expect_same_entries(reservoir, reference);
  const std::vector<double> values = reservoir.values();
  ASSERT_EQ(values.size(), 256u);
  EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));

  const auto sample = [&](std::uint64_t stream_id, std::uint64_t first_position) {
    PriorityReservoir r;
    for (std::size_t i = 0; i < stream.size(); ++i) r.observe(stream_id, first_position + i, stream[i]);
    return r.values();
  };
  const auto as_bits = [](const std::vector<double>& v) {
    std::vector<std::uint64_t> out;
    for (double x : v) out.push_back(bits(x));
    return out;
  };
  EXPECT_EQ(as_bits(sample(42, 0)), as_bits(values));
  EXPECT_NE(sample(43, 0), values);
  EXPECT_NE(sample(42, 1), values);  // as after a leading NaN
}

// ---------------------------------------------------------------- composition

TEST(NumericSketchState, NonFiniteChangesNothing) {
  NumericSketchState state;
  for (double x : {nan, inf, -inf}) state.observe(0, 0, x);
  EXPECT_EQ(state.hll.estimate(), 0.0);
  EXPECT_EQ(state.quantiles.count(), 0u);
  EXPECT_EQ(state.quantiles.quantile(0.5), std::nullopt);
  EXPECT_TRUE(state.heavy_hitters.candidates().empty());
  EXPECT_TRUE(state.reservoir.values().empty());
}

TEST(NumericSketchState, SignedZeros) {
  NumericSketchState state;
  state.observe(0, 0, 0.0);
  state.observe(0, 1, -0.0);
  EXPECT_EQ(state.hll.estimate(), 4096.0 * std::log(4096.0 / 4095.0));
  EXPECT_EQ(state.quantiles.zero_count(), 2u);
  EXPECT_EQ(state.heavy_hitters.candidates(), (Candidates{{0.0, 2}}));
  const std::vector<double> values = state.reservoir.values();
  ASSERT_EQ(values.size(), 2u);
  EXPECT_NE(std::signbit(values[0]), std::signbit(values[1]));
}

TEST(NumericSketchState, FeedsEveryMemberLikeItsOwnInterface) {
  Random random{5};
  NumericSketchState state;
  HyperLogLog hll;
  ReferenceQuantiles quantiles;
  ReferenceHeavyHitters heavy_hitters;
  ReferenceReservoir reservoir;
  const std::uint64_t stream_id = 0xfeedULL;
  std::uint64_t finite = 0;
  for (std::uint64_t position = 0; position < 4000; ++position) {
    const double x = random.below(40) == 0 ? inf : random.below(4) ? random.value() : random.value() * 1e-3;
    state.observe(stream_id, position, x);
    if (std::isfinite(x)) {
      ++finite;
      hll.observe_hash(value_hash(x));
      heavy_hitters.observe_weighted(canonical_bits(x), 1);
    }
    quantiles.observe(x);
    reservoir.observe(stream_id, position, x);
  }
  EXPECT_EQ(state.quantiles.count(), finite);
  EXPECT_EQ(state.hll.registers(), hll.registers());
  expect_same(state.quantiles, quantiles);
  EXPECT_EQ(state.heavy_hitters.candidates(), heavy_hitters.candidates());
  expect_same_entries(state.reservoir, reservoir);
}

// A run feeds the moments and the sketches as single observations at
// consecutive positions would, across the boundary between two runs.
TEST(NumericSketchState, RunsEqualSingleObservations) {
  Random random{8};
  std::vector<double> values;
  for (int i = 0; i < 5000; ++i) {
    const std::uint64_t kind = random.below(50);
    const double repeated = static_cast<double>(random.below(20));
    values.push_back(kind == 0 ? nan : kind == 1 ? -inf : kind < 10 ? repeated : random.value());
  }
  const std::uint64_t stream_id = 77;
  NumericSketchState single;
  NumericState single_moments;
  for (std::size_t i = 0; i < values.size(); ++i) {
    single.observe(stream_id, 1000 + i, values[i]);
    single_moments.observe(values[i]);
  }
  NumericSketchState run;
  NumericState run_moments;
  const std::span<const double> all(values);
  run.observe_run(run_moments, all.first(1234), splitmix64(stream_id), 1000);
  run.observe_run(run_moments, all.subspan(1234), splitmix64(stream_id), 1000 + 1234);
  EXPECT_EQ(run_moments.count, single_moments.count);
  EXPECT_EQ(run_moments.missing, single_moments.missing);
  EXPECT_EQ(run_moments.infinite, single_moments.infinite);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(run_moments.m4),
            std::bit_cast<std::uint64_t>(single_moments.m4));
  EXPECT_EQ(run.hll.registers(), single.hll.registers());
  EXPECT_EQ(run.quantiles.sorted_bins(), single.quantiles.sorted_bins());
  EXPECT_EQ(run.heavy_hitters.candidates(), single.heavy_hitters.candidates());
  ASSERT_EQ(run.reservoir.entries().size(), single.reservoir.entries().size());
  for (std::size_t i = 0; i < run.reservoir.entries().size(); ++i) {
    EXPECT_EQ(run.reservoir.entries()[i].priority, single.reservoir.entries()[i].priority);
  }
}

}  // namespace
}  // namespace tessary
