#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace tessary {

// Moments of a number column, block by block.
//
// Algorithm: the finite values are cut into blocks of block_size values in
// stream order. A block is summarised in two passes with no division per
// value: its sum gives a provisional mean c (one division), then the sums of
// the first four powers of the deviations e = x - c give, through the
// corrected two-pass formulas, the block's exact-as-rounding mean c + S1/n
// and central moment sums M2, M3, M4. Blocks are combined with the pairwise
// merge formulas, the mean kept as a double-double (hi + lo), so the
// difference between two close block means stays exact however large the
// means are. Integers are summarised about an integer pivot (the block's
// truncated mean, found in 128-bit arithmetic), so their deviations are
// exact doubles whatever the magnitudes.
//
// Huge values: a block whose largest magnitude reaches 2^200 is summarised
// on its values scaled by 2^-k (exact), and a summary carries its scale:
// the mean is stored times 2^-scale and sum j times 2^-j*scale. Merging
// brings both to the larger scale. Every scaled value is below 2^200, so no
// intermediate overflows unless the true sum does not fit.
//
// Guarantee: the merge of blocks A, B, C in a fixed order gives the same
// bits every time (no fused multiply-add, one fixed grouping); the mean is
// within a few units in the last place of the exact mean of the doubles,
// and M2 within about 1e-15 relative whatever the ratio of mean to spread.
//
// Invariants: n == 0 means every field is zero; m2 >= 0, m4 >= 0.

struct DoubleDouble {
  double hi = 0.0;
  double lo = 0.0;
};

namespace number_detail {

inline DoubleDouble two_sum(double a, double b) noexcept {
  const double s = a + b;
  const double v = s - a;
  return {s, (a - (s - v)) + (b - v)};
}

inline DoubleDouble fast_two_sum(double a, double b) noexcept {
  const double s = a + b;
  return {s, b - (s - a)};
}

inline DoubleDouble add(DoubleDouble a, DoubleDouble b) noexcept {
  DoubleDouble s = two_sum(a.hi, b.hi);
  const DoubleDouble t = two_sum(a.lo, b.lo);
  s = fast_two_sum(s.hi, s.lo + t.hi);
  return fast_two_sum(s.hi, s.lo + t.lo);
}

inline DoubleDouble negate(DoubleDouble a) noexcept { return {-a.hi, -a.lo}; }

// A signed 128-bit integer as a double-double, exactly.
inline DoubleDouble from_int128(__int128 v) noexcept {
  const double hi = static_cast<double>(v);
  // |v - hi| < 2^75 fits int128 and a double exactly.
  const __int128 rest = v - static_cast<__int128>(hi);
  return fast_two_sum(hi, static_cast<double>(rest));
}

}  // namespace number_detail

struct BlockMoments {
  static constexpr std::size_t block_size = 512;

  std::uint64_t n = 0;
  DoubleDouble mean;  // times 2^-scale
  double m2 = 0.0;    // times 2^-2 scale
  double m3 = 0.0;    // times 2^-3 scale
  double m4 = 0.0;    // times 2^-4 scale
  int scale = 0;

  // The summary of finite doubles, given as their bit patterns.
  static BlockMoments of_doubles(const std::uint64_t* words, std::size_t count) noexcept {
    BlockMoments b;
    if (count == 0) return b;
    std::uint64_t largest = 0;
    for (std::size_t i = 0; i < count; ++i) largest = std::max<std::uint64_t>(largest, words[i] & 0x7fffffffffffffffULL);
    const auto value = [words](std::size_t i) __attribute__((always_inline)) { return std::bit_cast<double>(words[i]); };
    if (largest >= std::bit_cast<std::uint64_t>(0x1p200)) [[unlikely]] {
      b.scale = std::ilogb(std::bit_cast<double>(largest)) - 199;
      const double factor = std::ldexp(1.0, -b.scale);
      b.summarise(count, [&](std::size_t i) { return value(i) * factor; }, true, {});
    } else {
      b.summarise(count, value, true, {});
    }
    return b;
  }

  // The summary of integers (Integer: std::int64_t or std::uint64_t) given
  // as 64-bit words, whose exact sum is `sum`: deviations from the
  // truncated mean are exact below 2^53 and rounded once beyond.
  template <typename Integer>
  static BlockMoments of_integers(const std::uint64_t* words, std::size_t count, __int128 sum) noexcept {
    BlockMoments b;
    if (count == 0) return b;
    const __int128 pivot = sum / static_cast<__int128>(count);
    b.summarise(
        count,
        [words, pivot](std::size_t i) __attribute__((always_inline)) {
          const __int128 v = static_cast<__int128>(static_cast<Integer>(words[i])) - pivot;
          const auto narrow = static_cast<std::int64_t>(v);
          return static_cast<__int128>(narrow) == v ? static_cast<double>(narrow) : static_cast<double>(v);
        },
        false, number_detail::from_int128(pivot));
    return b;
  }

  void rescale_to(int target) noexcept {
    const int d = scale - target;  // <= 0
    if (d == 0) return;
    mean = {std::ldexp(mean.hi, d), std::ldexp(mean.lo, d)};
    m2 = std::ldexp(m2, 2 * d);
    m3 = std::ldexp(m3, 3 * d);
    m4 = std::ldexp(m4, 4 * d);
    scale = target;
  }

  // The summary of both value sets; `this` is the left operand.
  void merge(BlockMoments b) noexcept {
    if (b.n == 0) return;
    if (n == 0) {
      *this = b;
      return;
    }
    const int target = std::max(scale, b.scale);
    rescale_to(target);
    b.rescale_to(target);
    const double na = static_cast<double>(n);
    const double nb = static_cast<double>(b.n);
    const double total = na + nb;
    const double fa = na / total;
    const double fb = nb / total;
    const DoubleDouble gap = number_detail::add(b.mean, number_detail::negate(mean));
    const double d = gap.hi + gap.lo;
    const double d2 = d * d;
    const double na_fb = na * fb;
    const double new_m2 = (m2 + b.m2) + (d2 * na_fb);
    const double new_m3 = ((m3 + b.m3) + ((d2 * d) * (na_fb * (fa - fb)))) + ((d * 3.0) * ((fa * b.m2) - (fb * m2)));
    const double new_m4 = (((m4 + b.m4) + ((d2 * na_fb) * (d2 * (((fa * fa) - (fa * fb)) + (fb * fb))))) +
                           ((d2 * 6.0) * (((fb * fb) * m2) + ((fa * fa) * b.m2)))) +
                          ((d * 4.0) * ((fa * b.m3) - (fb * m3)));
    mean = number_detail::add(mean, number_detail::two_sum(d * fb, 0.0));
    m2 = new_m2;
    m3 = new_m3;
    m4 = new_m4;
    n += b.n;
  }

  // The mean, unscaled.
  double unscaled_mean() const noexcept { return std::ldexp(mean.hi + mean.lo, scale); }

 private:
  // Two passes over value(i), i < count: with `centre`, a first pass
  // finds the provisional mean; the block's mean is base + that mean +
  // the mean deviation from it.
  template <typename Value>
  void summarise(std::size_t count, Value value, bool centre, DoubleDouble base) noexcept {
    const double nd = static_cast<double>(count);
    double c = 0.0;
    if (centre) {
      double s[4] = {0.0, 0.0, 0.0, 0.0};
      std::size_t i = 0;
      for (; i + 4 <= count; i += 4) {
        for (std::size_t j = 0; j < 4; ++j) s[j] += value(i + j);
      }
      for (; i < count; ++i) s[0] += value(i);
      c = ((s[0] + s[1]) + (s[2] + s[3])) / nd;
    }
    double a1[2] = {0.0, 0.0};
    double a2[2] = {0.0, 0.0};
    double a3[2] = {0.0, 0.0};
    double a4[2] = {0.0, 0.0};
    std::size_t i = 0;
    for (; i + 2 <= count; i += 2) {
      for (std::size_t j = 0; j < 2; ++j) {
        const double e = value(i + j) - c;
        const double e2 = e * e;
        a1[j] += e;
        a2[j] += e2;
        a3[j] += e2 * e;
        a4[j] += e2 * e2;
      }
    }
    if (i < count) {
      const double e = value(i) - c;
      const double e2 = e * e;
      a1[0] += e;
      a2[0] += e2;
      a3[0] += e2 * e;
      a4[0] += e2 * e2;
    }
    const double s1 = a1[0] + a1[1];
    const double s2 = a2[0] + a2[1];
    const double s3 = a3[0] + a3[1];
    const double s4 = a4[0] + a4[1];
    const double d = s1 / nd;
    n = count;
    m2 = std::max(0.0, s2 - (d * s1));
    m3 = (s3 - ((d * 3.0) * s2)) + ((d * d) * (s1 * 2.0));
    m4 = std::max(0.0, ((s4 - ((d * 4.0) * s3)) + (((d * d) * 6.0) * s2)) - (((d * d) * d) * (s1 * 3.0)));
    if (count == 1) m2 = m3 = m4 = 0.0;
    mean = number_detail::add(base, number_detail::two_sum(c, d));
  }
};

// Unsigned 256-bit arithmetic for the exact integer sums: limbs little-endian.
struct Wide {
  std::array<std::uint64_t, 4> limb{};

  static Wide of(unsigned __int128 v) noexcept {
    return {{static_cast<std::uint64_t>(v), static_cast<std::uint64_t>(v >> 64), 0, 0}};
  }
  void add(const Wide& b) noexcept {
    unsigned __int128 carry = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      carry += static_cast<unsigned __int128>(limb[i]) + b.limb[i];
      limb[i] = static_cast<std::uint64_t>(carry);
      carry >>= 64;
    }
  }
  void subtract(const Wide& b) noexcept {  // wraps modulo 2^256
    Wide negated;
    for (std::size_t i = 0; i < 4; ++i) negated.limb[i] = ~b.limb[i];
    negated.add(Wide::of(1));
    add(negated);
  }
  bool negative() const noexcept { return (limb[3] >> 63) != 0; }
  Wide negated() const noexcept {
    Wide zero;
    zero.subtract(*this);
    return zero;
  }
  // The low 256 bits of this times m.
  Wide times(std::uint64_t m) const noexcept {
    Wide out;
    unsigned __int128 carry = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      carry += static_cast<unsigned __int128>(limb[i]) * m;
      out.limb[i] = static_cast<std::uint64_t>(carry);
      carry >>= 64;
    }
    return out;
  }
  static Wide square(unsigned __int128 v) noexcept {
    const std::uint64_t lo = static_cast<std::uint64_t>(v);
    const std::uint64_t hi = static_cast<std::uint64_t>(v >> 64);
    Wide out = Wide::of(static_cast<unsigned __int128>(lo) * lo);
    Wide cross = Wide::of(static_cast<unsigned __int128>(lo) * hi);
    cross = cross.times(2);
    cross.limb = {0, cross.limb[0], cross.limb[1], cross.limb[2]};
    out.add(cross);
    Wide top = Wide::of(static_cast<unsigned __int128>(hi) * hi);
    top.limb = {0, 0, top.limb[0], top.limb[1]};
    out.add(top);
    return out;
  }
  // The value as a double (unsigned), within two units in the last place.
  double to_double() const noexcept {
    double out = 0.0;
    for (std::size_t i = 4; i-- > 0;) out = (out * 0x1p64) + static_cast<double>(limb[i]);
    return out;
  }
  // As a signed two's complement value.
  double to_signed_double() const noexcept { return negative() ? -negated().to_double() : to_double(); }
};

// Exact power sums of integer values: the sum (two's complement, 256 bits)
// and the sum of squares. With fewer than 2^64 values of magnitude at most
// 2^64 neither can wrap, so mean and variance come from exact integers.
struct ExactIntegerSums {
  Wide sum;
  Wide squares;

  // Sums of x[0..count), count <= 2^10: the block sum fits 128 bits.
  template <typename Integer>
  static void block(const std::uint64_t* words, std::size_t count, __int128& sum, Wide& squares) noexcept {
    __int128 s = 0;
    unsigned __int128 sq = 0;
    std::uint64_t carries = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const auto v = static_cast<Integer>(words[i]);
      s += static_cast<__int128>(v);
      std::uint64_t magnitude;
      if constexpr (std::is_signed_v<Integer>) {
        magnitude = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
      } else {
        magnitude = v;
      }
      const unsigned __int128 square = static_cast<unsigned __int128>(magnitude) * magnitude;
      sq += square;
      carries += sq < square;
    }
    sum = s;
    squares = Wide{{static_cast<std::uint64_t>(sq), static_cast<std::uint64_t>(sq >> 64), carries, 0}};
  }

  void add_block(__int128 block_sum, const Wide& block_squares) noexcept {
    Wide s = Wide::of(static_cast<unsigned __int128>(block_sum));
    if (block_sum < 0) s.limb[2] = s.limb[3] = ~std::uint64_t{0};
    sum.add(s);
    squares.add(block_squares);
  }

  void merge(const ExactIntegerSums& b) noexcept {
    sum.add(b.sum);
    squares.add(b.squares);
  }

  // n * squares - sum^2 (n times the central sum of squares), >= 0.
  Wide scaled_m2(std::uint64_t n) const noexcept {
    const Wide magnitude = sum.negative() ? sum.negated() : sum;  // below 2^128
    Wide out = squares.times(n);
    out.subtract(Wide::square(static_cast<unsigned __int128>(magnitude.limb[1]) << 64 | magnitude.limb[0]));
    return out;
  }
};

}  // namespace tessary
