#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "tessary/table_profile/count_window.hpp"

namespace tessary {

// Relative-accuracy buckets over the magnitudes of a number column.
//
// Algorithm: a normal magnitude m = (1 + f) 2^E falls into bucket
//   index = (E + 1023) * per_binade + sub[top 9 bits of f],
// where `sub` groups the 512 mantissa steps of a binade greedily into runs
// whose upper end is at most gamma = (1 + a) / (1 - a) times their lower
// end, a = 0.0095. Bucket boundaries are exact doubles, so filing needs no
// logarithm and no value is filed on the wrong side of a boundary. A
// bucket [lo, hi) is represented by 2 lo hi / (lo + hi), within a relative
// distance (hi - lo) / (hi + lo) <= a < 1% of every magnitude in it.
// Each sign keeps the counts of `window` consecutive indices ending at the
// largest index seen over both signs; smaller magnitudes (subnormals
// included) are counted as collapsed and answer no quantile. Zeros are
// counted apart. The lowest kept index is a function of the largest
// magnitude alone, so splits and merges give identical counts. Only the
// part of the window in use is stored.
//
// Invariants: collapsed + kept counts + zeros == the values observed; the
// stored indices lie in [lowest, lowest + window).
namespace relative_buckets_detail {

inline constexpr double accuracy = 0.0095;
inline constexpr int steps = 512;

struct Table {
  std::array<std::uint8_t, steps> sub{};
  std::array<std::uint16_t, steps + 1> start{};  // start[k]: first mantissa step of bucket k; start[count] = steps
  int count = 0;
};

constexpr Table build_table() {
  Table t;
  const double gamma = (1.0 + accuracy) / (1.0 - accuracy);
  int first = 0;
  int bucket = 0;
  for (int j = 0; j < steps; ++j) {
    // Step j covers [steps + j, steps + j + 1) / steps.
    if (static_cast<double>(steps + j + 1) > gamma * static_cast<double>(steps + first)) {
      ++bucket;
      first = j;
      t.start[static_cast<std::size_t>(bucket)] = static_cast<std::uint16_t>(j);
    }
    t.sub[static_cast<std::size_t>(j)] = static_cast<std::uint8_t>(bucket);
  }
  t.count = bucket + 1;
  t.start[static_cast<std::size_t>(t.count)] = steps;
  return t;
}

}  // namespace relative_buckets_detail

struct RelativeBucketLayout {
  static constexpr double accuracy = relative_buckets_detail::accuracy;
  static constexpr int steps = relative_buckets_detail::steps;
  static constexpr relative_buckets_detail::Table table = relative_buckets_detail::build_table();

  static constexpr int per_binade = table.count;

  // The index of a magnitude's bit pattern; 0 for subnormals (always
  // collapsed: real indices start at per_binade).
  static std::int32_t index_of(std::uint64_t magnitude_bits) noexcept {
    const auto exponent = static_cast<std::int32_t>(magnitude_bits >> 52);
    if (exponent == 0) return 0;
    return exponent * per_binade + table.sub[(magnitude_bits >> 43) & (steps - 1)];
  }

  // [lo, hi) of a bucket index >= per_binade.
  static std::pair<double, double> bounds(std::int32_t index) noexcept {
    const int exponent = index / per_binade - 1023;
    const int k = index % per_binade;
    const double lo = std::ldexp(1.0 + static_cast<double>(table.start[static_cast<std::size_t>(k)]) / steps, exponent);
    const double hi =
        std::ldexp(1.0 + static_cast<double>(table.start[static_cast<std::size_t>(k) + 1]) / steps, exponent);
    return {lo, hi};
  }
};

template <std::size_t Window>
struct RelativeBuckets {
  static constexpr std::int32_t window = static_cast<std::int32_t>(Window);
  std::int32_t lowest = 1;                  // the lowest kept index, max(1, largest - window + 1)
  std::uint64_t zeros = 0;
  std::array<std::uint64_t, 2> collapsed{};  // [sign]: 0 positive, 1 negative
  std::array<CountWindow, 2> counts;        // [sign], by index
};

}  // namespace tessary
