// The number column state of the table engine, against brute force.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "tessary/table_profile/number_column.hpp"
#include "test_values.hpp"

namespace tessary {
namespace {

using Storage = NumberColumn::Storage;
// A slot: a value (a double, or an integer for integer types), or null.
using Slot = std::optional<std::variant<double, std::int64_t, std::uint64_t>>;

// A validated column of one type, built from slots.
struct Values : Column {
  Values(ArrowType type, const std::vector<Slot>& slots) : Column(type) {
    for (const Slot& s : slots) {
      if (!s) {
        ok(ArrowArrayAppendNull(array.get(), 1));
      } else if (const double* d = std::get_if<double>(&*s)) {
        ok(ArrowArrayAppendDouble(array.get(), *d));
      } else if (const std::int64_t* i = std::get_if<std::int64_t>(&*s)) {
        ok(ArrowArrayAppendInt(array.get(), *i));
      } else {
        ok(ArrowArrayAppendUInt(array.get(), std::get<std::uint64_t>(*s)));
      }
    }
    finish();
  }
};

struct Shape {
  const char* name;
  ArrowType type;
  std::vector<Slot> slots;
};

Storage storage_of(ArrowType type) {
  Values c(type, {});
  return *NumberColumn::storage_of(c.field);
}

NumberColumn profile(const Values& c, std::uint64_t stream_id = 7) {
  NumberColumn state(*NumberColumn::storage_of(c.field), stream_id);
  state.observe(c.all());
  return state;
}

// A finite value as a long double, to compare with brute force.
long double as_long_double(const StoredNumber& v) {
  return std::visit([](auto x) { return static_cast<long double>(x); }, v);
}

// Brute force over the finite values of the slots, in storage order.
struct Truth {
  std::vector<StoredNumber> values;  // ascending
  std::uint64_t missing = 0, infinite = 0;

  Truth(ArrowType type, const std::vector<Slot>& slots) {
    const Storage storage = storage_of(type);
    for (const Slot& s : slots) {
      if (!s) {
        ++missing;
        continue;
      }
      if (storage == Storage::float64) {
        const double x = type == NANOARROW_TYPE_FLOAT ? static_cast<float>(std::get<double>(*s)) : std::get<double>(*s);
        if (std::isnan(x)) {
          ++missing;
        } else if (std::isinf(x)) {
          ++infinite;
        } else {
          values.emplace_back(x);
        }
      } else if (storage == Storage::int64) {
        values.emplace_back(std::get<std::int64_t>(*s));
      } else {
        values.emplace_back(std::get<std::uint64_t>(*s));
      }
    }
    std::sort(values.begin(), values.end(),
              [](const auto& a, const auto& b) { return as_long_double(a) < as_long_double(b); });
  }

  const StoredNumber& at_level(double q) const {
    return values[static_cast<std::size_t>(std::floor(q * static_cast<double>(values.size() - 1)))];
  }
  // Deviations from the median are exact in long double for 64-bit integers.
  long double deviation_mean() const {
    const long double pivot = as_long_double(values[values.size() / 2]);
    long double s = 0;
    for (const auto& v : values) s += as_long_double(v) - pivot;
    return s / values.size();
  }
  long double mean() const { return as_long_double(values[values.size() / 2]) + deviation_mean(); }
  long double std_dev() const {
    const long double pivot = as_long_double(values[values.size() / 2]);
    const long double d = deviation_mean();
    long double s = 0;
    for (const auto& v : values) s += ((as_long_double(v) - pivot) - d) * ((as_long_double(v) - pivot) - d);
    return std::sqrt(s / (values.size() - 1));
  }
  std::map<long double, std::uint64_t> counts() const {
    std::map<long double, std::uint64_t> out;
    for (const auto& v : values) ++out[as_long_double(v)];
    return out;
  }
};

std::vector<Slot> doubles(const std::vector<double>& xs) { return {xs.begin(), xs.end()}; }
template <typename Integer>
std::vector<Slot> integers(const std::vector<Integer>& xs) {
  std::vector<Slot> out;
  for (Integer x : xs) out.emplace_back(x);
  return out;
}

std::mt19937_64& rng() {
  static std::mt19937_64 r(42);
  return r;
}

Shape years() {
  std::vector<Slot> s;
  for (int i = 0; i < 3000; ++i) s.emplace_back(std::int64_t{2007 + i % 3});
  s.emplace_back(std::nullopt);
  return {"years", NANOARROW_TYPE_INT64, s};
}

Shape few_floats_with_specials() {
  std::vector<Slot> s;
  for (int i = 0; i < 5000; ++i) s.emplace_back(value_at(static_cast<std::uint64_t>(i) % 97));
  s.emplace_back(std::nullopt);
  return {"few_floats", NANOARROW_TYPE_DOUBLE, s};
}

Shape large_unsigned() {
  std::vector<Slot> s;
  for (std::uint64_t i = 0; i < 2000; ++i) s.emplace_back(max_u64 - (i % 10) * (std::uint64_t{1} << 60));
  return {"large_unsigned", NANOARROW_TYPE_UINT64, s};
}

// Over 1,000 distinct integers packed against an end of the 64-bit range,
// arriving away from it, so that the finest histogram has its last bins there.
Shape top_of_int64() {
  std::vector<Slot> s;
  for (std::int64_t i = 0; i < 2000; ++i) s.emplace_back(std::numeric_limits<std::int64_t>::max() - i);
  return {"top_of_int64", NANOARROW_TYPE_INT64, s};
}

Shape bottom_of_int64() {
  std::vector<Slot> s;
  for (std::int64_t i = 0; i < 2602; ++i) s.emplace_back(std::numeric_limits<std::int64_t>::min() + 1300 - i / 2);
  return {"bottom_of_int64", NANOARROW_TYPE_INT64, s};
}

Shape top_of_uint64() {
  std::vector<Slot> s;
  for (std::uint64_t i = 0; i < 2000; ++i) s.emplace_back(max_u64 - i);
  return {"top_of_uint64", NANOARROW_TYPE_UINT64, s};
}

Shape pressure() {
  std::vector<Slot> s;
  std::normal_distribution<double> d(1013.0, 9.0);
  for (int i = 0; i < 20000; ++i) s.emplace_back(std::clamp(std::round(d(rng()) * 100.0) / 100.0, 983.0, 1042.0));
  return {"pressure", NANOARROW_TYPE_DOUBLE, s};
}

Shape timestamps() {
  std::vector<Slot> s;
  std::uniform_int_distribution<std::int64_t> d(1'600'000'000'000'000LL, 1'700'000'000'000'000LL);
  for (int i = 0; i < 20000; ++i) s.emplace_back(d(rng()));
  return {"timestamps", NANOARROW_TYPE_TIMESTAMP, s};
}

Shape near_zero_wide() {
  std::vector<Slot> s;
  std::uniform_real_distribution<double> u(-6.0, 6.0);
  for (int i = 0; i < 20000; ++i) s.emplace_back((i % 2 ? 1.0 : -1.0) * std::pow(10.0, u(rng())));
  return {"near_zero_wide", NANOARROW_TYPE_DOUBLE, s};
}

Shape wide_integers() {
  std::vector<Slot> s;
  std::uniform_int_distribution<std::int64_t> d(std::numeric_limits<std::int64_t>::min(),
                                                std::numeric_limits<std::int64_t>::max());
  for (int i = 0; i < 20000; ++i) s.emplace_back(i % 4 == 0 ? std::int64_t{i} : d(rng()));
  return {"wide_integers", NANOARROW_TYPE_INT64, s};
}

// Both signs over 300 decades: the histogram and both buckets' windows full.
Shape all_decades() {
  std::vector<Slot> s;
  std::uniform_real_distribution<double> u(-150.0, 150.0);
  for (int i = 0; i < 20000; ++i) s.emplace_back((i % 2 ? 1.0 : -1.0) * std::pow(10.0, u(rng())));
  return {"all_decades", NANOARROW_TYPE_DOUBLE, s};
}

// Values drifting outwards both ways, so the sketches widen all along.
Shape drifting() {
  std::vector<Slot> s;
  for (int i = 0; i < 6000; ++i) s.emplace_back(i % 2 ? 0.37 * i : -1e-3 * i * i);
  return {"drifting", NANOARROW_TYPE_DOUBLE, s};
}

Shape small_float32() {
  std::vector<Slot> s;
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (int i = 0; i < 20000; ++i) s.emplace_back(i % 50 == 0 ? Slot() : Slot(u(rng())));
  return {"float32", NANOARROW_TYPE_FLOAT, s};
}

// Checks shared by every shape: counts, extremes, histogram, sample, top bounds.
void expect_common(const NumberSummary& got, const Truth& truth, ArrowType type) {
  EXPECT_EQ(got.count, truth.values.size());
  EXPECT_EQ(got.missing, truth.missing);
  EXPECT_EQ(got.infinite, truth.infinite);
  EXPECT_EQ(as_long_double(*got.minimum), as_long_double(truth.values.front()));
  EXPECT_EQ(as_long_double(*got.maximum), as_long_double(truth.values.back()));
  EXPECT_EQ(got.minimum->index(), static_cast<std::size_t>(storage_of(type)));
  // The histogram: at most 64 power-of-two bins spanning the extremes, exact counts.
  const HistogramSummary& h = got.histogram;
  ASSERT_LE(h.counts.size(), 64u);
  std::vector<std::uint64_t> expected(h.counts.size());
  for (const auto& v : truth.values) {
    const long double bin = std::floor(std::ldexp(as_long_double(v), -h.width_exponent));
    expected.at(static_cast<std::size_t>(bin - h.first_bin)) += 1;
  }
  EXPECT_EQ(h.counts, expected);
  EXPECT_NE(h.counts.front(), 0u);
  EXPECT_NE(h.counts.back(), 0u);
  // Top counts never exceed the true counts.
  const auto counts = truth.counts();
  for (const auto& [value, n] : got.top) EXPECT_LE(n, counts.at(as_long_double(value)));
  EXPECT_TRUE(std::is_sorted(got.top.begin(), got.top.end(), [](const auto& a, const auto& b) {
    return a.first != b.first && (a.second > b.second || (a.second == b.second && as_long_double(a.first) < as_long_double(b.first)));
  }));
  EXPECT_EQ(got.sample.size(), std::min<std::size_t>(256, truth.values.size()));
  EXPECT_TRUE(std::is_sorted(got.sample.begin(), got.sample.end(),
                             [](const auto& a, const auto& b) { return as_long_double(a) < as_long_double(b); }));
}

class Shapes : public ::testing::TestWithParam<Shape (*)()> {};

// At most 1,000 distinct values: distinct, top counts and quantiles exact.
// Beyond: every quantile within min(1% of |x_r|, (max - min) / 1000) of the
// order statistic, in the column's storage.
TEST_P(Shapes, MatchBruteForce) {
  const Shape shape = GetParam()();
  const Values c(shape.type, shape.slots);
  const NumberSummary got = profile(c).summary();
  const Truth truth(shape.type, shape.slots);
  expect_common(got, truth, shape.type);
  const auto counts = truth.counts();
  const double distinct = static_cast<double>(counts.size());
  ASSERT_EQ(got.exact, counts.size() <= 1000);
  const long double range = as_long_double(truth.values.back()) - as_long_double(truth.values.front());
  for (std::size_t k = 0; k < 7; ++k) {
    const StoredNumber& want = truth.at_level(summary_quantile_levels[k]);
    ASSERT_EQ(got.quantiles[k]->index(), static_cast<std::size_t>(storage_of(shape.type)));
    if (got.exact) {
      EXPECT_EQ(*got.quantiles[k], want) << k;
    } else {
      const long double tolerance = std::min(std::fabs(as_long_double(want)) / 100, range / 1000);
      EXPECT_LE(std::fabs(as_long_double(*got.quantiles[k]) - as_long_double(want)), tolerance) << k;
    }
  }
  if (!got.exact) {
    EXPECT_NEAR(static_cast<double>(got.distinct), distinct, 0.05 * distinct);
    return;
  }
  EXPECT_EQ(got.distinct, counts.size());
  ASSERT_EQ(got.top.size(), std::min<std::size_t>(32, counts.size()));
  for (const auto& [value, n] : got.top) EXPECT_EQ(n, counts.at(as_long_double(value)));
}

INSTANTIATE_TEST_SUITE_P(Shapes, Shapes,
                         ::testing::Values(&years, &few_floats_with_specials, &large_unsigned, &top_of_int64,
                                           &bottom_of_int64, &top_of_uint64, &pressure, &timestamps, &near_zero_wide,
                                           &small_float32));

// Mean and standard deviation against the exact figures: integers to 1e-12
// whatever their magnitude, floats to 1e-9 with a mean far above the spread.
struct MomentCase {
  const char* name;
  Shape (*shape)();
  double tolerance;
};

Shape offset_integers() {
  std::vector<std::int64_t> xs;
  for (std::int64_t i = 0; i < 336776; ++i) xs.push_back((std::int64_t{1} << 60) + i);
  return {"offset_integers", NANOARROW_TYPE_INT64, integers(xs)};
}

Shape far_first_value() {
  std::vector<std::uint64_t> xs{max_u64};
  for (std::uint64_t i = 0; i < 5000; ++i) xs.push_back(i % 17);
  return {"far_first", NANOARROW_TYPE_UINT64, integers(xs)};
}

Shape sorted_large_mean() {
  std::vector<double> xs;
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (int i = 0; i < 300000; ++i) xs.push_back(1e9 + u(rng()));
  std::sort(xs.begin(), xs.end());
  return {"sorted_large_mean", NANOARROW_TYPE_DOUBLE, doubles(xs)};
}

Shape huge_values() {
  return {"huge", NANOARROW_TYPE_DOUBLE, doubles({largest, -largest, largest / 2, 1.0, -largest / 3})};
}

class Moments : public ::testing::TestWithParam<MomentCase> {};

TEST_P(Moments, MeanAndStdMatchExactFigures) {
  const Shape shape = GetParam().shape();
  const Values c(shape.type, shape.slots);
  const NumberSummary got = profile(c).summary();
  const Truth truth(shape.type, shape.slots);
  const long double mean = truth.mean();
  const long double sd = truth.std_dev();
  const double tol = GetParam().tolerance;
  EXPECT_LE(std::fabs(*got.mean - mean), tol * std::fabs(mean)) << *got.mean;
  if (std::isfinite(static_cast<double>(sd))) {
    EXPECT_LE(std::fabs(*got.std - sd), tol * sd) << *got.std;
  }
  ASSERT_TRUE(got.skewness && got.kurtosis);
  EXPECT_FALSE(std::isnan(*got.skewness) || std::isnan(*got.kurtosis));
}

INSTANTIATE_TEST_SUITE_P(Cases, Moments,
                         ::testing::Values(MomentCase{"offset_integers", &offset_integers, 1e-12},
                                           MomentCase{"wide_integers", &wide_integers, 1e-12},
                                           MomentCase{"far_first_value", &far_first_value, 1e-12},
                                           MomentCase{"sorted_large_mean", &sorted_large_mean, 1e-9},
                                           MomentCase{"huge_values", &huge_values, 1e-9}),
                         [](const auto& info) { return std::string(info.param.name); });

// A stream observed in pieces, with nulls counted by add_missing, encodes
// to the same bytes as the stream observed at once; merging the pieces
// gives the same counts, extremes, bins and exact counts.
class Splits : public ::testing::TestWithParam<Shape (*)()> {};

TEST_P(Splits, PiecesGiveTheSameState) {
  Shape shape = GetParam()();
  const std::size_t gap = 3;
  for (const std::size_t cut : {std::size_t{1}, std::size_t{1023}, std::size_t{1500}, shape.slots.size() / 2}) {
    std::vector<Slot> whole(shape.slots.begin(), shape.slots.begin() + static_cast<std::ptrdiff_t>(cut));
    whole.insert(whole.end(), gap, std::nullopt);
    whole.insert(whole.end(), shape.slots.begin() + static_cast<std::ptrdiff_t>(cut), shape.slots.end());
    const Values all(shape.type, whole);
    const Values source(shape.type, shape.slots);
    const ColumnView head = source.slice(0, static_cast<std::int64_t>(cut));
    const ColumnView tail = source.slice(static_cast<std::int64_t>(cut), static_cast<std::int64_t>(shape.slots.size() - cut));
    NumberColumn left(*NumberColumn::storage_of(source.field), 7);
    left.observe(head);
    left.add_missing(gap);
    NumberColumn pieces = left;
    pieces.observe(tail);
    const NumberColumn at_once = profile(all);
    EXPECT_EQ(encoded(pieces), encoded(at_once)) << cut;
    EXPECT_EQ(pieces.seen(), whole.size());

    NumberColumn right(*NumberColumn::storage_of(source.field), 8);
    right.observe(tail);
    left.merge(right);
    const NumberSummary merged = left.summary();
    const NumberSummary expected = at_once.summary();
    EXPECT_EQ(std::tie(merged.count, merged.missing, merged.infinite, merged.minimum, merged.maximum, merged.exact),
              std::tie(expected.count, expected.missing, expected.infinite, expected.minimum, expected.maximum,
                       expected.exact));
    EXPECT_EQ(merged.histogram.counts, expected.histogram.counts);
    EXPECT_EQ(merged.quantiles, expected.quantiles);
    if (expected.exact) {
      EXPECT_EQ(merged.top, expected.top);
    }
    const double scale = std::fabs(*expected.mean) + expected.std.value_or(0.0);
    EXPECT_NEAR(*merged.mean, *expected.mean, 1e-12 * scale);
    if (expected.std) {
      EXPECT_NEAR(*merged.std, *expected.std, 1e-12 * scale);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, Splits, ::testing::Values(&few_floats_with_specials, &pressure, &wide_integers, &drifting,
                                                           &bottom_of_int64, &top_of_uint64));

// Encoding round trips to the same bytes and summary; what no state can
// hold is refused.
TEST(NumberColumnEncoding, RoundTripsAndRefusesCorruptInput) {
  for (Shape (*make)() : {&years, &pressure, &timestamps}) {
    const Shape shape = make();
    const Values c(shape.type, shape.slots);
    const std::string bytes = encoded(profile(c));
    const NumberColumn back = decoded<NumberColumn>(bytes);
    EXPECT_EQ(encoded(back), bytes);
    EXPECT_EQ(back.summary().quantiles, profile(c).summary().quantiles);
  }
  const auto decode = [](const std::string& data) { decoded<NumberColumn>(data); };
  const Values years_column(NANOARROW_TYPE_INT64, years().slots);
  const std::string good = encoded(profile(years_column));
  EXPECT_THROW(decode(good.substr(0, good.size() - 1)), DecodeError);
  std::string wrong_version = good;
  wrong_version[0] = static_cast<char>(NumberColumn::version - 1);  // an earlier build's
  EXPECT_THROW(decode(wrong_version), DecodeError);
  // A count that the exact counts do not add up to.
  ByteWriter w;
  w.u8(NumberColumn::version);
  w.u8(1);
  for (std::uint64_t v : {0, 0, 2, 0, 0}) w.varint(v);  // stream, position, count 2, missing, infinite
  w.u64(5 ^ (std::uint64_t{1} << 63));
  w.u64(5 ^ (std::uint64_t{1} << 63));
  w.varint(0);  // nothing flushed
  w.varint(2);  // two pending values
  w.u64(5);
  w.u64(5);
  w.u8(0);
  w.varint(1);
  w.varint(5 ^ (std::uint64_t{1} << 63));
  w.varint(3);  // three fives, but the count is 2
  EXPECT_THROW(decode(w.result()), DecodeError);
}

// The sample holds the values of the 256 smallest priorities of the stream
// (positions count null slots too), also when observed in pieces.
TEST(NumberColumnSample, IsTheBottom256ByPriority) {
  std::mt19937_64 gen(11);
  std::vector<Slot> slots;
  std::vector<std::pair<SampleEntry, double>> all;
  for (std::uint64_t i = 0; i < 30000; ++i) {
    if (i % 7 == 0) {
      slots.emplace_back();
      continue;
    }
    const double x = std::ldexp(static_cast<double>(gen() >> 11), -40);
    slots.emplace_back(x);
    all.push_back({{ValueSample::priority(value_hash(x), splitmix64(7), i), 0}, x});
  }
  std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first.priority < b.first.priority; });
  std::vector<double> expected;
  for (std::size_t i = 0; i < 256; ++i) expected.push_back(all[i].second);
  std::sort(expected.begin(), expected.end());
  const Values c(NANOARROW_TYPE_DOUBLE, slots);
  NumberColumn pieces(Storage::float64, 7);
  for (const auto& [first, length] : {std::pair{0, 300}, {300, 5000}, {5300, 24700}}) pieces.observe(c.slice(first, length));
  for (const NumberColumn& state : {profile(c), pieces}) {
    std::vector<double> got;
    for (const StoredNumber& v : state.summary().sample) got.push_back(std::get<double>(v));
    EXPECT_EQ(got, expected);
  }
}

// The state stays under 64 KB whatever the data, sketches of a narrow range
// hold only the bins in use, and a one-row state is small.
TEST(NumberColumnSize, StaysBounded) {
  for (Shape (*make)() : {&near_zero_wide, &all_decades, &wide_integers, &drifting}) {
    const Shape shape = make();
    const Values c(shape.type, shape.slots);
    EXPECT_LT(profile(c).memory_bytes(), 64u * 1024u);
  }
  const Shape narrow = pressure();
  const Values few_thousand(narrow.type, std::vector<Slot>(narrow.slots.begin(), narrow.slots.begin() + 3000));
  EXPECT_FALSE(profile(few_thousand).summary().exact);
  EXPECT_LT(profile(few_thousand).memory_bytes(), 40u * 1024u);
  const Values one(NANOARROW_TYPE_DOUBLE, doubles({1.5}));
  EXPECT_LT(profile(one).memory_bytes(), 2048u);
}

TEST(NumberColumnCounts, RefuseToPassTheLargestCount) {
  NumberColumn c;
  c.add_missing(max_u64 - 1);
  EXPECT_THROW(c.add_missing(2), CountOverflow);
  const Values two(NANOARROW_TYPE_DOUBLE, doubles({1.0, 2.0}));
  EXPECT_THROW(c.observe(two.all()), CountOverflow);
  EXPECT_EQ(c.seen(), max_u64 - 1);
}

}  // namespace
}  // namespace tessary
