// The exact moments and the numeric sketches: hashing, HyperLogLog,
// quantiles, heavy hitters, the reservoir, and all of them fed together.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
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

#include "tessary/hashing.hpp"
#include "tessary/numeric_state.hpp"
#include "tessary/sketches.hpp"
#include "test_values.hpp"

namespace tessary {

constexpr double log_gamma = 0.020000666706669435;
double rep(std::int32_t k) { return std::exp(log_gamma * (k + 0.5)); }

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
  // Sums beyond the largest double: m2 and m4 are +inf, m3 NaN; the ordered
  // test m2 <= 0 lets them through (as it would a NaN m2).
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

// The formulas as they stand, without the repairs of overflow, are the
// reference: every sum that they give finite, after any steps and merges,
// and every derived quantity on values of ordinary size, must come out bit
// for bit the same. Runs and slots read through a validity bitmap fold
// blocks unchecked and repair afterwards, and integer slots are checked
// after huge values: they must equal single observations in every field.
TEST(NumericState, RepairsOfOverflowKeepEverySumTheFormulasGiveFinite) {
  struct Reference {
    double count = 0, mean = 0, m2 = 0, m3 = 0, m4 = 0;
    void fold(double x) {
      const double p = count, n = count + 1.0;
      const double delta = x - mean, dn = delta / n, dn2 = dn * dn, term1 = (delta * dn) * p;
      m4 = m4 + ((((dn2 * 6.0) * m2) + ((((n * n) - (n * 3.0)) + 3.0) * (dn2 * term1))) + ((dn * -4.0) * m3));
      m3 = m3 + (((n - 2.0) * (dn * term1)) - ((dn * 3.0) * m2));
      m2 = m2 + term1;
      mean = mean + dn;
      count = n;
    }
    static Reference merge(const Reference& a, const Reference& b) {
      if (a.count == 0 || b.count == 0) return a.count == 0 ? b : a;
      const double na = a.count, nb = b.count, N = na + nb;
      const double d = b.mean - a.mean, d2 = d * d, d3 = d * d2, d4 = d2 * d2;
      Reference r{N};
      r.mean = a.mean + ((d * nb) / N);
      r.m2 = (a.m2 + b.m2) + (((d2 * na) * nb) / N);
      r.m3 = ((a.m3 + b.m3) + (((na - nb) * ((d3 * na) * nb)) / (N * N))) +
             (((d * 3.0) * ((b.m2 * na) - (a.m2 * nb))) / N);
      r.m4 = (((d * 4.0) * ((b.m3 * na) - (a.m3 * nb))) / N) +
             (((((d2 * 6.0) * (((nb * nb) * a.m2) + ((na * na) * b.m2))) / (N * N)) +
               ((a.m4 + b.m4) + ((((nb * nb) + ((na * na) - (na * nb))) * ((d4 * na) * nb)) / ((N * N) * N)))));
      return r;
    }
    std::pair<double, double> skewness_and_kurtosis() const {
      const double N = count;
      const double g2 = ((m4 * N) / (m2 * m2)) - 3.0;
      return {(std::sqrt((N - 1.0) * N) / (N - 2.0)) * ((std::sqrt(N) * m3) / std::pow(m2, 1.5)),
              ((N - 1.0) / ((N - 2.0) * (N - 3.0))) * (((N + 1.0) * g2) + 6.0)};
    }
  };
  const auto expect_kept = [](const Reference& r, const NumericState& s) {
    const double want[] = {r.mean, r.m2, r.m3, r.m4}, got[] = {s.mean, s.m2, s.m3, s.m4};
    for (int k = 0; k < 4; ++k) {
      if (std::isfinite(want[k])) {
        EXPECT_EQ(bits(got[k]), bits(want[k])) << "sum " << k;
      }
    }
  };
  std::uint64_t seed = 1;
  const auto next = [&seed] { return splitmix64(seed++); };
  for (int stream = 0; stream < 600; ++stream) {
    // Ordinary sizes in two streams of three, the others from 2^-300 to
    // 2^1023, where the formulas overflow.
    const bool ordinary = stream % 3 != 0;
    const int low = ordinary ? -20 : -300 + static_cast<int>(next() % 1200);
    const int high = ordinary ? 25 : std::min(1024, low + 1 + static_cast<int>(next() % 400));
    const double offset = ordinary && stream % 2 ? std::ldexp(1.0, static_cast<int>(next() % 40)) : 0.0;
    const std::size_t length = 1 + next() % (stream % 10 == 0 ? 9000 : 300);
    std::vector<double> values(length), slots(length);
    std::vector<std::uint8_t> validity((length + 7) / 8);
    for (std::size_t i = 0; i < length; ++i) {
      const std::uint64_t r = next();
      const int exponent = low + static_cast<int>(r % static_cast<std::uint64_t>(high - low));
      values[i] = offset + std::ldexp(static_cast<double>(r >> 11) * 0x1p-53 - 0.5, exponent);
      slots[i] = (r & 0x700) == 0 ? std::numeric_limits<double>::infinity() : values[i];  // nulls beside values
      if ((r & 0x700) != 0) validity[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    }
    Reference whole, left, right;
    NumericState one_by_one, a, b, run, read;
    const std::size_t cut = next() % (length + 1);
    for (std::size_t i = 0; i < length; ++i) {
      whole.fold(values[i]);
      (i < cut ? left : right).fold(values[i]);
      one_by_one.observe(values[i]);
      (i < cut ? a : b).observe(values[i]);
    }
    run.observe_all(values.data(), length);
    read.observe_slots(slots.data(), validity.data(), 0, static_cast<std::int64_t>(length),
                       [](std::size_t, double) {});
    expect_kept(whole, one_by_one);
    expect_kept(Reference::merge(left, right), NumericState::merge(a, b));
    EXPECT_EQ(fields(run), fields(one_by_one));
    NumericState read_expected;
    for (std::size_t i = 0; i < length; ++i) read_expected.observe(validity[i / 8] >> (i % 8) & 1 ? slots[i] : nan);
    EXPECT_EQ(fields(read), fields(read_expected));
    if (ordinary && length >= 4) {
      EXPECT_EQ(bits(*one_by_one.skewness()), bits(whole.skewness_and_kurtosis().first));
      EXPECT_EQ(bits(*one_by_one.excess_kurtosis()), bits(whole.skewness_and_kurtosis().second));
    }
  }
  // An integer slot after huge values: m3 overflows, +inf where the
  // formulas give inf - inf.
  const std::int64_t zero = 0;
  NumericState read = observe_all({3e150, 1e150});
  read.observe_slots(&zero, nullptr, 0, 1, [](std::size_t, double) {});
  EXPECT_EQ(fields(read), fields(observe_all({3e150, 1e150, 0.0})));
  EXPECT_EQ(read.m3, inf);
}

// A merge agrees with one pass within rounding at the scale of the data:
// the mean and the standard deviation within 1e-12 * (|mean| + std), also
// where the mean is small against the spread (values around 0.5 spread
// over +-1e6), and so far from it relative to itself.
TEST(NumericState, MergesAgreeWithOnePassAtTheScaleOfTheData) {
  std::uint64_t seed = 7;
  const auto next = [&seed] { return splitmix64(seed++); };
  const auto uniform = [&next] { return static_cast<double>(next() >> 11) * 0x1p-53; };
  for (int data = 0; data < 300; ++data) {
    const double center = std::array{0.5, 0.0, 1e3, -1e9, 3.0}[data % 5];
    const double spread = std::array{1e6, 1.0, 1e-3}[data / 5 % 3];
    std::vector<double> values(2 + next() % 20000);
    for (std::size_t i = 0; i < values.size(); i += 2) {  // pairs around the center, in random order
      const double offset = spread * uniform();
      values[i] = center + offset;
      if (i + 1 < values.size()) values[i + 1] = center - offset;
    }
    for (std::size_t i = values.size(); i > 1; --i) std::swap(values[i - 1], values[next() % i]);
    NumericState whole, merged;
    whole.observe_all(values.data(), values.size());
    std::size_t start = 0;
    for (std::uint64_t parts = 1 + next() % 8; parts > 0; --parts) {
      const std::size_t stop = parts == 1 ? values.size() : start + next() % (values.size() - start + 1);
      NumericState part;
      part.observe_all(values.data() + start, stop - start);
      merged = NumericState::merge(merged, part);
      start = stop;
    }
    const double scale = std::abs(whole.mean) + *whole.std_dev();
    EXPECT_LE(std::abs(merged.mean - whole.mean), 1e-12 * scale) << data;
    EXPECT_LE(std::abs(*merged.std_dev() - *whole.std_dev()), 1e-12 * scale) << data;
  }
}

// ---------------------------------------------------------------- hashing, HyperLogLog

TEST(HyperLogLog, HashesRegistersAndEstimates) {
  // hash, its expected value, the one register it sets and the rank there
  const std::tuple<std::uint64_t, std::uint64_t, std::size_t, std::uint8_t> cases[] = {
      {value_hash(0.0), 0xe220a8397b1dcdafULL, 3618, 5},  {value_hash(-0.0), 0xe220a8397b1dcdafULL, 3618, 5},
      {value_hash(1.0), 0x88d7c35bbbf3ededULL, 2189, 2},  {value_hash(-1.0), 0xa9d88ac0153e159aULL, 2717, 1},
      {0x7ff0000000000000ULL, 0x7ff0000000000000ULL, 0x7ff, 53}};  // rank capped, not 65
  for (auto [hash, expected_hash, index, rank] : cases) {
    HyperLogLog hll;
    hll.observe_hash(hash);
    std::array<std::uint8_t, 4096> expected{};
    expected[index] = rank;
    EXPECT_EQ(std::pair(hash, hll.registers()), std::pair(expected_hash, expected));
  }
  EXPECT_EQ(canonical_bits(-std::numeric_limits<double>::denorm_min()), 0x8000000000000001ULL);

  HyperLogLog hll;
  EXPECT_EQ(hll.estimate(), 0.0);
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
  // rep(k) is bin k's representative: rep(54) ~ 2.974, rep(80) ~ 5.003.
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

}  // namespace tessary
