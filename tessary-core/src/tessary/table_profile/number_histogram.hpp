#pragma once

#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "tessary/table_profile/count_window.hpp"

namespace tessary {

// Equal-width histogram of a number column, bins aligned to their width.
//
// Algorithm: bin k at exponent e covers [k 2^e, (k + 1) 2^e); a value's bin
// is floor(x / 2^e), an arithmetic shift for integers. The exponent is the
// smallest at or above a floor (0 for integers, 1 for unsigned integers from
// 2^63 on so that indices fit int64, the largest magnitude's binade minus 60
// for floats, so that indices stay below 2^61) at which the bins from the
// minimum's to the maximum's number at most `bins`. It is a function of the
// extremes alone, and widening (adding adjacent bins) is exact, so any split
// or merge of the same values gives identical bins.
//
// Guarantee: counts are exact. The bin of any value is at most
// 2 (max - min) / (bins - 1) wide, so its midpoint is within (max - min) /
// (bins - 1) of every value in it.
//
// Invariants: the stored bins are at most `bins` consecutive ones and
// include those of the minimum and the maximum; the counts sum to the values
// observed.
struct BinIndexer {
  int exponent = 0;
  double f1 = 1.0;  // 2^-exponent as two factors, each a normal double
  double f2 = 1.0;

  static BinIndexer at(int exponent) noexcept {
    BinIndexer b;
    b.exponent = exponent;
    const int half = -exponent / 2;
    b.f1 = std::ldexp(1.0, half);
    b.f2 = std::ldexp(1.0, -exponent - half);
    return b;
  }

  // floor(x / 2^exponent) for finite x within 2^61 bins of zero.
  std::int64_t of_double(double x) const noexcept {
    const double y = (x * f1) * f2;
    auto t = static_cast<std::int64_t>(y);
    t -= static_cast<double>(t) > y;
    // A negative value whose quotient underflowed to -0.0 lies in bin -1.
    if (t == 0 && x < 0.0) t = -1;
    return t;
  }
};

template <std::size_t Bins>
struct EqualWidthHistogram {
  static constexpr std::size_t bins = Bins;
  BinIndexer indexer;
  CountWindow counts;  // by bin number
};

}  // namespace tessary
