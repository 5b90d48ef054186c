#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "tessary/float_classes.hpp"

namespace tessary {

namespace detail {

// value * 2^fraction_bits rounded to an integer, at compile time.
constexpr std::int64_t to_fixed(double value, int fraction_bits) {
  for (int i = 0; i < fraction_bits; ++i) value *= 2.0;
  return static_cast<std::int64_t>(value + (value < 0.0 ? -0.5 : 0.5));
}

}  // namespace detail

// (bin index, count)
using QuantileBin = std::pair<std::int32_t, std::uint64_t>;

// Relative-accuracy quantile sketch over logarithmic bins.
//
// With relative accuracy a = 0.01 and gamma = (1 + a) / (1 - a), a value x
// with |x| > 1e-12 falls into bin k = floor(ln|x| / ln(gamma)) of its sign;
// bin k covers the magnitudes [gamma^k, gamma^(k+1)) and is represented by
// its geometric midpoint exp(ln(gamma) * (k + 0.5)), which lies within a
// relative distance a of every magnitude in the bin. Magnitudes up to 1e-12
// (both zeros included) go to a single zero bucket. A quantile is the
// representative of the bin holding the value of rank floor(q * (count - 1))
// in ascending value order. Two sketches of equal accuracy merge by adding
// their bin counts.
//
// Invariants: count == zero_count + the sum of all bin counts; a bin exists
// exactly when its count is at least 1 (bins are never removed or collapsed);
// the parameters (accuracy, log_gamma, multiplier, zero threshold) are the
// same constants in every sketch.
//
// Storage: the occupied bin indices of one sign are dense in practice and
// bounded (-1382 for the smallest magnitude above 1e-12, 35487 for the
// largest finite double), so each sign keeps a flat array of counts over a
// window of indices that grows to cover every index seen; a slot with count
// 0 is an absent bin.
//
// Bin index: the scaled logarithm is first estimated inline, in fixed point,
// from a 512-entry table and a one-term series, to within 2.4e-5. Only when
// the estimate lies within 4e-5 of an integer, where the floor could depend
// on the last digits, is the index taken from the platform logarithm itself.
// The result is floor(std::log(m) * multiplier) for any platform logarithm
// within 1e-7 of the true value (a correct one is within 1e-13), and the hot
// loop calls no library function.
class LogQuantileSketch {
 public:
  // Bin index bounds of finite magnitudes above the zero threshold.
  static constexpr std::int32_t min_finite_index = -1382;
  static constexpr std::int32_t max_finite_index = 35487;

  LogQuantileSketch() = default;

  // Records one value; NaN and infinities are ignored. Widening the window
  // of bins may throw std::bad_alloc, and then the sketch is unchanged.
  void observe(double x) {
    if (!is_finite_value(x)) return;
    observe_finite(x);
  }

  // observe() for a value the caller already knows to be finite.
  void observe_finite(double x) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    const std::uint64_t magnitude_bits = bits & 0x7fffffffffffffffULL;
    if (magnitude_bits <= zero_threshold_bits) {  // bit patterns of magnitudes order like the values
      ++zero_count_;
    } else {
      const std::int32_t index = magnitude_index(magnitude_bits);
      BinArray& bins = bins_[bits >> 63];  // negative = 1
      const std::uint32_t slot = static_cast<std::uint32_t>(index - bins.lowest_index);
      if (slot < bins.width) [[likely]] {
        ++bins.counts[slot];
      } else {
        add_outside(bins, index, 1);  // may throw before changing anything
      }
    }
    ++count_;
  }

  // The estimated q-quantile; none for an empty sketch or q outside [0, 1].
  std::optional<double> quantile(double q) const {
    if (count_ == 0) return std::nullopt;
    if (!(q >= 0.0 && q <= 1.0)) return std::nullopt;
    const std::uint64_t rank = saturating_u64(std::floor(q * static_cast<double>(count_ - 1)));
    // Walk in ascending value order: negative bins from the largest
    // magnitude down, the zero bucket, then positive bins upwards. Empty
    // slots add nothing and so can never be where the walk stops.
    std::uint64_t total = 0;
    const BinArray& neg = bins_[negative];
    for (std::size_t slot = neg.counts.size(); slot-- > 0;) {
      total += neg.counts[slot];
      if (rank < total) return -representative(neg.lowest_index + static_cast<std::int32_t>(slot));
    }
    total += zero_count_;
    if (rank < total) return 0.0;
    const BinArray& pos = bins_[positive];
    for (std::size_t slot = 0; slot < pos.counts.size(); ++slot) {
      total += pos.counts[slot];
      if (rank < total) return representative(pos.lowest_index + static_cast<std::int32_t>(slot));
    }
    // Unreachable while count equals the sum of all counts.
    return std::nullopt;
  }

  // Where observe() files finite x: (is negative, bin index), or none for
  // the zero bucket.
  std::optional<std::pair<bool, std::int32_t>> bin_of(double x) const noexcept {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    const std::uint64_t magnitude_bits = bits & 0x7fffffffffffffffULL;
    if (magnitude_bits <= zero_threshold_bits) return std::nullopt;
    return std::pair((bits >> 63) != 0, magnitude_index(magnitude_bits));
  }

  // (negative bins, positive bins), each ascending by bin index.
  std::pair<std::vector<QuantileBin>, std::vector<QuantileBin>> sorted_bins() const {
    return {occupied(bins_[negative]), occupied(bins_[positive])};
  }

  // Adds every count of `other` into this sketch; `other` is consumed.
  // Every sketch has the same parameters, so any two merge. If widening a
  // window throws std::bad_alloc, this sketch is left counted in part:
  // callers that must stay unchanged merge into a copy.
  void merge(LogQuantileSketch&& other) {
    zero_count_ += other.zero_count_;
    count_ += other.count_;
    for (int sign : {negative, positive}) {
      BinArray& into = bins_[sign];
      BinArray& from = other.bins_[sign];
      if (into.width == 0) {
        std::swap(into, from);
        continue;
      }
      for (std::size_t slot = 0; slot < from.counts.size(); ++slot) {
        const std::uint64_t n = from.counts[slot];
        if (n == 0) continue;
        add(into, from.lowest_index + static_cast<std::int32_t>(slot), n);
      }
    }
  }

  // Adds n values to bin `index` of the given sign (a restored or merged
  // bin count); count grows with them. The caller keeps index within
  // [min_finite_index, max_finite_index] and n >= 1.
  void add_to_bin(bool is_negative, std::int32_t index, std::uint64_t n) {
    add(bins_[is_negative ? negative : positive], index, n);  // may throw: count after
    count_ += n;
  }

  // Adds n values to the zero bucket; count grows with them.
  void add_to_zero_bucket(std::uint64_t n) noexcept {
    count_ += n;
    zero_count_ += n;
  }

  // The bytes that the windows of bins hold on the heap (their capacity).
  std::size_t allocated_bytes() const noexcept {
    return (bins_[negative].counts.capacity() + bins_[positive].counts.capacity()) * sizeof(std::uint64_t);
  }

  double relative_accuracy() const noexcept { return relative_accuracy_value; }
  double log_gamma() const noexcept { return log_gamma_value; }
  double multiplier() const noexcept { return multiplier_value; }
  double zero_threshold() const noexcept { return zero_threshold_value; }
  std::uint64_t count() const noexcept { return count_; }
  std::uint64_t zero_count() const noexcept { return zero_count_; }

 private:
  // The parameters are the same for every sketch. log_gamma is
  // std::log((1 + a) / (1 - a)) for a = 0.01 (the logarithm of the quotient,
  // not a log1p form, which differs in the last digit), multiplier its
  // reciprocal.
  static constexpr double relative_accuracy_value = 0.01;
  static constexpr double log_gamma_value = 0.020000666706669435;
  static constexpr double multiplier_value = 49.99833328888678;
  static constexpr double zero_threshold_value = 1e-12;
  static constexpr int positive = 0;
  static constexpr int negative = 1;

  // Counts of bins lowest_index .. lowest_index + width - 1; width mirrors
  // counts.size() in the form the hot path compares against.
  struct BinArray {
    std::vector<std::uint64_t> counts;
    std::int32_t lowest_index = 0;
    std::uint32_t width = 0;
  };

  static constexpr std::uint64_t zero_threshold_bits = std::bit_cast<std::uint64_t>(zero_threshold_value);

  // The inline logarithm works in fixed point, y * 2^32 in an int64, with
  // integer arithmetic only: it then competes neither for the floating-point
  // units nor for their registers with the caller's moment recurrences.
  // For the centres c_j = 1 + (j + 0.5) / 512 of the mantissa intervals:
  // ln(c_j) * multiplier (2^-32 units) and multiplier / c_j (2^-24 units).
  // Evaluated at compile time with the atanh series, so identical on every
  // platform; their accuracy only has to be far inside the margin.
  struct LogTableEntry {
    std::int64_t scaled_log;
    std::int64_t slope;
  };
  static constexpr std::array<LogTableEntry, 512> log_table = [] {
    std::array<LogTableEntry, 512> table{};
    for (std::size_t j = 0; j < table.size(); ++j) {
      const double center = 1.0 + (static_cast<double>(j) + 0.5) / 512.0;
      const double u = (center - 1.0) / (center + 1.0);  // ln(c) = 2 atanh(u), u < 1/3
      double term = u;
      double sum = 0.0;
      for (int k = 1; k < 80; k += 2) {
        sum += term / k;
        term *= u * u;
      }
      table[j] = {detail::to_fixed(2.0 * sum * multiplier_value, 32), detail::to_fixed(multiplier_value / center, 24)};
    }
    return table;
  }();
  static constexpr std::int64_t scaled_ln2 = detail::to_fixed(0.6931471805599453 * multiplier_value, 40);
  // The estimate below lies above ln(m) * multiplier by at most 2.4e-5: the
  // dropped series terms, multiplier * u^2 / 2 with |u| <= 1/1024, dominate
  // the fixed-point roundings (about 1e-8 together). A second series term
  // would cost three multiplications per value; the wider margin costs a
  // library logarithm for about one value in 12,000.
  static constexpr std::uint64_t index_margin = 171799;  // 4e-5 in 2^-32 units
  static constexpr std::uint64_t one = std::uint64_t{1} << 32;

  // floor(x) for |x| well inside int32, without a library call.
  static std::int32_t floor_to_int(double x) noexcept {
    const std::int32_t truncated = static_cast<std::int32_t>(x);
    return truncated - (static_cast<double>(truncated) > x);
  }

  // floor(std::log(m) * multiplier) for the bit pattern of a finite
  // magnitude m above the zero threshold (a normal number), from
  // ln(m) = e ln 2 + ln(c_j) + ln(1 + u), u = (mantissa - c_j) / c_j,
  // ln(1 + u) ~ u.
  std::int32_t magnitude_index(std::uint64_t magnitude_bits) const noexcept {
    const std::int64_t exponent = static_cast<std::int64_t>(magnitude_bits >> 52) - 1023;
    const LogTableEntry& entry = log_table[static_cast<std::size_t>(magnitude_bits >> 43) & 511];
    // mantissa - c_j in 2^-40 units, |offset| <= 2^30.
    const std::int64_t offset =
        (static_cast<std::int64_t>(magnitude_bits & 0x7ffffffffffULL) - (std::int64_t{1} << 42)) >> 12;
    const std::int64_t linear = (offset * entry.slope) >> 32;  // multiplier * u
    const std::int64_t estimate = ((exponent * scaled_ln2) >> 8) + entry.scaled_log + linear;
    // Accept unless the estimate is within the margin of an integer.
    const std::uint64_t fraction = static_cast<std::uint64_t>(estimate) & (one - 1);
    if (fraction - index_margin < one - 2 * index_margin) [[likely]] {
      return static_cast<std::int32_t>(estimate >> 32);  // arithmetic shift: floor
    }
    return exact_index(std::bit_cast<double>(magnitude_bits));
  }

  // Near a bin boundary. 1.0 lies exactly on one (std::log(1.0) is +0.0).
  [[gnu::noinline]] std::int32_t exact_index(double magnitude) const noexcept {
    if (magnitude == 1.0) return 0;
    return floor_to_int(std::log(magnitude) * multiplier_value);
  }

  double representative(std::int32_t index) const noexcept {
    return std::exp(log_gamma_value * (static_cast<double>(index) + 0.5));
  }

  // Float-to-uint64 conversion that clamps instead of overflowing.
  static std::uint64_t saturating_u64(double v) noexcept {
    if (!(v > 0.0)) return 0;
    if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(v);
  }

  static std::vector<QuantileBin> occupied(const BinArray& bins) {
    std::vector<QuantileBin> out;
    for (std::size_t slot = 0; slot < bins.counts.size(); ++slot) {
      if (bins.counts[slot] != 0) {
        out.emplace_back(bins.lowest_index + static_cast<std::int32_t>(slot), bins.counts[slot]);
      }
    }
    return out;
  }

  static void add(BinArray& bins, std::int32_t index, std::uint64_t n) {
    const std::uint32_t slot = static_cast<std::uint32_t>(index - bins.lowest_index);
    if (slot < bins.width) {
      bins.counts[slot] += n;
    } else {
      add_outside(bins, index, n);
    }
  }

  // Widens the window to cover `index` (with room to spare, so growth is
  // amortised) and adds n there. Kept out of line: it runs a few times per
  // sketch at most.
  [[gnu::noinline]] static void add_outside(BinArray& bins, std::int32_t index, std::uint64_t n) {
    constexpr std::int64_t initial_width = 256;
    std::int64_t low;
    std::int64_t high;  // exclusive
    if (bins.counts.empty()) {
      low = std::int64_t{index} - initial_width / 2;
      high = std::int64_t{index} + initial_width / 2;
    } else {
      const std::int64_t old_low = bins.lowest_index;
      const std::int64_t old_high = old_low + static_cast<std::int64_t>(bins.counts.size());
      const std::int64_t slack = std::max<std::int64_t>(old_high - old_low, initial_width);
      low = index < old_low ? std::int64_t{index} - slack : old_low;
      high = index >= old_high ? std::int64_t{index} + 1 + slack : old_high;
    }
    // Never beyond the range of finite magnitudes, but always covering index.
    low = std::min<std::int64_t>(std::max<std::int64_t>(low, min_finite_index), index);
    high = std::max<std::int64_t>(std::min<std::int64_t>(high, std::int64_t{max_finite_index} + 1),
                                  std::int64_t{index} + 1);
    std::vector<std::uint64_t> counts(static_cast<std::size_t>(high - low), 0);
    if (!bins.counts.empty()) {
      std::copy(bins.counts.begin(), bins.counts.end(),
                counts.begin() + (std::int64_t{bins.lowest_index} - low));
    }
    bins.counts = std::move(counts);
    bins.lowest_index = static_cast<std::int32_t>(low);
    bins.width = static_cast<std::uint32_t>(high - low);
    bins.counts[static_cast<std::size_t>(std::int64_t{index} - low)] += n;
  }

  BinArray bins_[2];
  std::uint64_t zero_count_ = 0;
  std::uint64_t count_ = 0;
};

// Merge: bin counts added, exactly one pass's bins; built apart, so a merge
// that fails for lack of memory changes nothing.
inline LogQuantileSketch merged(const LogQuantileSketch& a, const LogQuantileSketch& b) {
  LogQuantileSketch out = a;
  out.merge(LogQuantileSketch(b));
  return out;
}

}  // namespace tessary
