#include "tessary/numeric_state.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <tuple>
#include <vector>

namespace tessary {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double largest = std::numeric_limits<double>::max();
const double nan = std::nan("");

NumericState observe_all(const std::vector<double>& values) {
  NumericState state;
  for (double x : values) state.observe(x);
  return state;
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
std::optional<std::uint64_t> bits(std::optional<double> x) {
  return x ? std::optional(bits(*x)) : std::nullopt;
}

// Field by field, bit for bit.
auto fields(const NumericState& s) {
  return std::tuple(s.count, s.missing, s.infinite, bits(s.mean), bits(s.m2), bits(s.m3), bits(s.m4), bits(s.minimum),
                    bits(s.maximum));
}
void expect_identical(const NumericState& a, const NumericState& b) { EXPECT_EQ(fields(a), fields(b)); }

TEST(NumericState, DerivedQuantitiesNeedEnoughSpread) {
  const NumericState empty;
  EXPECT_FALSE(empty.reported_mean() || empty.minimum || empty.variance());
  const NumericState one = observe_all({5.0});
  EXPECT_EQ(*one.reported_mean(), 5.0);
  EXPECT_EQ(*one.minimum, 5.0);
  EXPECT_EQ(*one.maximum, 5.0);
  EXPECT_FALSE(one.variance() || one.std_dev() || one.skewness() || one.excess_kurtosis());
  const NumericState flat = observe_all({2.0, 2.0, 2.0, 2.0});
  EXPECT_EQ(*flat.variance(), 0.0);
  EXPECT_EQ(*flat.std_dev(), 0.0);
  EXPECT_FALSE(flat.skewness() || flat.excess_kurtosis());
  // Overflowed sums: the ordered test m2 <= 0 lets NaN through.
  const NumericState overflow = observe_all({largest, -largest, largest, -largest});
  EXPECT_TRUE(overflow.skewness() && overflow.excess_kurtosis());
}

// A merge with a side that only counted keeps the other side's moments.
TEST(NumericState, NonFiniteValuesAreOnlyCounted) {
  const NumericState values = observe_all({1.5, -2.25, 8.0}), counted_only = observe_all({nan, inf});
  NumericState expected = values;
  expected.missing = expected.infinite = 1;
  expect_identical(observe_all({1.5, nan, -2.25, inf, 8.0}), expected);
  expect_identical(NumericState::merge(counted_only, values), expected);
  expect_identical(NumericState::merge(values, counted_only), expected);
  expect_identical(NumericState::merge(NumericState{}, NumericState{}), NumericState{});
  // Merging the parts gives the whole, bit for bit, on exact values.
  expect_identical(NumericState::merge(observe_all({1, 2, 3}), observe_all({4, 10})), observe_all({1, 2, 3, 4, 10}));
  EXPECT_EQ(observe_all({-inf, largest}).infinite, 1u);  // the largest double is a value
}

TEST(NumericState, NegativeZeroIsTheSmallerZero) {
  const NumericState a = observe_all({0.0}), b = observe_all({-0.0});
  for (const NumericState& s : {observe_all({0.0, -0.0}), observe_all({-0.0, 0.0}), NumericState::merge(a, b),
                                NumericState::merge(b, a)}) {
    EXPECT_TRUE(std::signbit(*s.minimum));
    EXPECT_FALSE(std::signbit(*s.maximum));
  }
}

// The run loop carries the count as a double below 2^53 and the extremes as
// plain doubles; it must equal observe() one value at a time, on either side
// of that limit, from empty and from a running state, with every kind of value.
TEST(NumericState, RunsEqualSingleObservations) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> normal(3.0, 50.0);
  std::vector<double> values(3000);
  for (double& x : values) x = normal(rng);
  for (std::size_t at : {0, 1, 2, 700, 2999}) values[at] = nan;
  const double specials[] = {inf, -inf, -0.0, 0.0, 0.0, -0.0};
  std::copy(std::begin(specials), std::end(specials), values.begin() + 5);

  // observe_run with a callback shares this loop; the sketches' tests check its callback.
  const auto check_from = [&](const NumericState& start) {
    NumericState single = start, run = start;
    for (double x : values) single.observe(x);
    run.observe_all(values.data(), 1000);
    run.observe_all(values.data() + 1000, values.size() - 1000);
    expect_identical(run, single);
  };
  check_from(NumericState{});
  check_from(observe_all({-4.0, 5.0}));
  check_from(observe_all({nan}));  // values missing, but no extremes yet
  constexpr std::uint64_t limit = std::uint64_t{1} << 53;
  for (std::uint64_t count : {limit - 3000, limit - 5, limit + 1, ~std::uint64_t{0} - 10}) {
    NumericState near = observe_all({1.0, 2.0});
    near.count = count;
    check_from(near);
  }
}

}  // namespace
}  // namespace tessary
