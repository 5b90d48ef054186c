#include "tessary/numeric_state.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <random>
#include <vector>

namespace tessary {
namespace {

NumericState observe_all(std::initializer_list<double> values) {
  NumericState state;
  for (double x : values) state.observe(x);
  return state;
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Field-by-field, bit-for-bit equality.
void expect_identical(const NumericState& a, const NumericState& b) {
  EXPECT_EQ(a.count, b.count);
  EXPECT_EQ(a.missing, b.missing);
  EXPECT_EQ(a.infinite, b.infinite);
  EXPECT_EQ(bits(a.mean), bits(b.mean));
  EXPECT_EQ(bits(a.m2), bits(b.m2));
  EXPECT_EQ(bits(a.m3), bits(b.m3));
  EXPECT_EQ(bits(a.m4), bits(b.m4));
  ASSERT_EQ(a.minimum.has_value(), b.minimum.has_value());
  ASSERT_EQ(a.maximum.has_value(), b.maximum.has_value());
  if (a.minimum) {
    EXPECT_EQ(bits(*a.minimum), bits(*b.minimum));
    EXPECT_EQ(bits(*a.maximum), bits(*b.maximum));
  }
}

TEST(NumericState, CheckValuesOfOneToFour) {
  const NumericState s = observe_all({1.0, 2.0, 3.0, 4.0});
  EXPECT_EQ(s.count, 4u);
  EXPECT_EQ(s.mean, 2.5);
  EXPECT_EQ(s.m2, 5.0);
  EXPECT_EQ(s.m3, 0.0);
  EXPECT_EQ(s.m4, 10.25);
  EXPECT_EQ(*s.variance(), 1.6666666666666667);
  EXPECT_EQ(*s.std_dev(), 1.2909944487358056);
  EXPECT_EQ(*s.skewness(), 0.0);
  // The last digit depends on the prescribed grouping.
  EXPECT_EQ(*s.excess_kurtosis(), -1.200000000000001);
  EXPECT_EQ(*s.minimum, 1.0);
  EXPECT_EQ(*s.maximum, 4.0);
}

TEST(NumericState, CheckValuesWithAnOutlier) {
  const NumericState s = observe_all({1.0, 2.0, 3.0, 4.0, 10.0});
  EXPECT_EQ(s.mean, 4.0);
  EXPECT_EQ(s.m2, 50.0);
  EXPECT_EQ(s.m3, 180.0);
  EXPECT_EQ(s.m4, 1394.0);
  EXPECT_EQ(*s.variance(), 12.5);
  EXPECT_EQ(*s.std_dev(), 3.5355339059327378);
  EXPECT_EQ(*s.skewness(), 1.6970562748477138);
  EXPECT_EQ(*s.excess_kurtosis(), 3.1519999999999992);
}

TEST(NumericState, DerivedQuantitiesNeedEnoughSpread) {
  const NumericState empty;
  EXPECT_FALSE(empty.reported_mean());
  EXPECT_FALSE(empty.minimum);
  EXPECT_FALSE(empty.variance());

  const NumericState one = observe_all({5.0});
  EXPECT_EQ(*one.reported_mean(), 5.0);
  EXPECT_EQ(one.m2, 0.0);
  EXPECT_FALSE(one.variance());
  EXPECT_FALSE(one.std_dev());
  EXPECT_FALSE(one.skewness());
  EXPECT_FALSE(one.excess_kurtosis());
  EXPECT_EQ(*one.minimum, 5.0);
  EXPECT_EQ(*one.maximum, 5.0);

  const NumericState flat = observe_all({2.0, 2.0, 2.0, 2.0});
  EXPECT_EQ(*flat.variance(), 0.0);
  EXPECT_EQ(*flat.std_dev(), 0.0);
  EXPECT_FALSE(flat.skewness());
  EXPECT_FALSE(flat.excess_kurtosis());
}

TEST(NumericState, NonFiniteValuesAreOnlyCounted) {
  const double inf = std::numeric_limits<double>::infinity();
  const NumericState s = observe_all({1.0, std::nan(""), inf, -inf, 3.0});
  EXPECT_EQ(s.count, 2u);
  EXPECT_EQ(s.missing, 1u);
  EXPECT_EQ(s.infinite, 2u);
  EXPECT_EQ(s.mean, 2.0);
  EXPECT_EQ(s.m2, 2.0);
  EXPECT_EQ(*s.minimum, 1.0);
  EXPECT_EQ(*s.maximum, 3.0);
  // The largest finite double is a value, not an infinity.
  const NumericState big = observe_all({std::numeric_limits<double>::max()});
  EXPECT_EQ(big.count, 1u);
  EXPECT_EQ(big.infinite, 0u);
}

TEST(NumericState, NegativeZeroIsTheSmallerZero) {
  for (const auto& order : {std::initializer_list<double>{0.0, -0.0}, {-0.0, 0.0}}) {
    const NumericState s = observe_all(order);
    EXPECT_TRUE(std::signbit(*s.minimum));
    EXPECT_FALSE(std::signbit(*s.maximum));
  }
  const NumericState a = observe_all({0.0});
  const NumericState b = observe_all({-0.0});
  for (const NumericState& m : {NumericState::merge(a, b), NumericState::merge(b, a)}) {
    EXPECT_TRUE(std::signbit(*m.minimum));
    EXPECT_FALSE(std::signbit(*m.maximum));
  }
}

TEST(NumericState, MergeOfPartsGivesTheWhole) {
  const NumericState merged =
      NumericState::merge(observe_all({1.0, 2.0, 3.0}), observe_all({4.0, 10.0}));
  expect_identical(merged, observe_all({1.0, 2.0, 3.0, 4.0, 10.0}));
  EXPECT_EQ(*merged.excess_kurtosis(), 3.1519999999999992);
}

TEST(NumericState, MergeWithAnEmptySideKeepsTheOther) {
  NumericState counted_only;
  counted_only.observe(std::nan(""));
  counted_only.observe(std::numeric_limits<double>::infinity());
  const NumericState s = observe_all({1.5, -2.25, 8.0});
  for (const NumericState& m :
       {NumericState::merge(counted_only, s), NumericState::merge(s, counted_only)}) {
    EXPECT_EQ(m.missing, 1u);
    EXPECT_EQ(m.infinite, 1u);
    EXPECT_EQ(bits(m.mean), bits(s.mean));
    EXPECT_EQ(bits(m.m4), bits(s.m4));
    EXPECT_EQ(*m.minimum, -2.25);
    EXPECT_EQ(*m.maximum, 8.0);
  }
  expect_identical(NumericState::merge(NumericState{}, NumericState{}), NumericState{});
}

TEST(NumericState, MergeAgreesWithOneStreamToRounding) {
  std::mt19937_64 rng(42);
  std::normal_distribution<double> normal(3.0, 2.0);
  std::vector<double> values(1000);
  for (double& x : values) x = normal(rng);
  NumericState whole, left, right;
  for (std::size_t i = 0; i < values.size(); ++i) {
    whole.observe(values[i]);
    (i < 371 ? left : right).observe(values[i]);
  }
  const NumericState merged = NumericState::merge(left, right);
  EXPECT_EQ(merged.count, whole.count);
  EXPECT_NEAR(merged.mean, whole.mean, 1e-12);
  EXPECT_NEAR(merged.m2, whole.m2, 1e-9 * whole.m2);
  EXPECT_NEAR(merged.m3, whole.m3, 1e-8 * std::abs(whole.m4));
  EXPECT_NEAR(merged.m4, whole.m4, 1e-9 * whole.m4);
  EXPECT_EQ(*merged.minimum, *whole.minimum);
  EXPECT_EQ(*merged.maximum, *whole.maximum);
}

TEST(NumericState, OverflowPropagatesIntoDerivedQuantities) {
  const double big = std::numeric_limits<double>::max();
  const NumericState s = observe_all({big, -big, big, -big});
  // The sums overflow; the ordered test m2 <= 0 lets NaN through.
  EXPECT_TRUE(s.skewness().has_value());
  EXPECT_TRUE(s.excess_kurtosis().has_value());
}

// The run loop carries the count as a double below 2^53 and the extremes as
// plain doubles; it must equal observe() one value at a time, on either side
// of that limit, from empty and from a running state, with every kind of value.
TEST(NumericState, RunsEqualSingleObservations) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> normal(3.0, 50.0);
  std::vector<double> values;
  for (int i = 0; i < 3000; ++i) values.push_back(normal(rng));
  const double inf = std::numeric_limits<double>::infinity();
  for (std::size_t at : {0, 1, 2, 700, 2999}) values[at] = std::nan("");
  values[5] = inf;
  values[6] = -inf;
  values[7] = -0.0;
  values[8] = 0.0;
  values[9] = 0.0;
  values[10] = -0.0;

  const auto check_from = [&](const NumericState& start) {
    NumericState single = start;
    for (double x : values) single.observe(x);
    NumericState run = start;
    run.observe_all(values.data(), 1000);
    run.observe_all(values.data() + 1000, values.size() - 1000);
    expect_identical(run, single);
    std::size_t seen = 0;
    NumericState with_callback = start;
    with_callback.observe_run(values.data(), values.size(), [&](std::size_t i, double x) {
      EXPECT_EQ(bits(x), bits(values[i]));
      ++seen;
    });
    expect_identical(with_callback, single);
    EXPECT_EQ(seen, single.count - start.count);
  };
  check_from(NumericState{});
  check_from(observe_all({-4.0, 5.0}));
  check_from(observe_all({std::nan("")}));  // values missing, but no extremes yet

  // Counts near 2^53, where a double stops counting exactly: the run must
  // give the same rounding as the integer count.
  constexpr std::uint64_t limit = std::uint64_t{1} << 53;
  for (std::uint64_t count : {limit - 3000, limit - 5, limit + 1, ~std::uint64_t{0} - 10}) {
    NumericState near = observe_all({1.0, 2.0});
    near.count = count;
    check_from(near);
  }
}

}  // namespace
}  // namespace tessary
