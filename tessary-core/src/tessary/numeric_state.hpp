#pragma once

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <type_traits>

#include "tessary/float_classes.hpp"
#include "tessary/validity_bitmap.hpp"

namespace tessary {

// The mean and central moment sums of a state, as one value.
struct MomentSums {
  double mean;
  double m2;
  double m3;
  double m4;

  bool finite() const noexcept {
    return is_finite_value(mean) && is_finite_value(m2) && is_finite_value(m3) && is_finite_value(m4);
  }

  // Whether no fold from these sums can overflow over a run of at most
  // 2^53 values of magnitude at most 2^128, which every integer and float32
  // value is: from |mean| <= 2^128, |m2| <= 2^400, |m3| <= 2^600 and
  // |m4| <= 2^800, every intermediate of the run stays below 2^802.
  bool take_narrow_values() const noexcept {
    return std::abs(mean) <= 0x1p128 && std::abs(m2) <= 0x1p400 && std::abs(m3) <= 0x1p600 &&
           std::abs(m4) <= 0x1p800;
  }
};

// Exact streaming moments of one numeric column.
//
// Folds values one at a time with the one-pass higher-moment recurrences
// (mean, and the central moment sums m2, m3, m4) and combines two states of
// disjoint value sets with the pairwise merge formulas. Every formula is
// evaluated in one fixed grouping, in IEEE double precision without fused
// multiply-add, so results are identical bit for bit on every machine; the
// build must keep floating-point contraction off.
//
// Huge values: the formulas multiply up to four deviations together, so
// with values beyond about 1e77 an intermediate product can overflow where
// the result itself is representable (the first value's term1 is inf * 0;
// two values of opposite sign near the largest double overflow x - mean).
// A step or merge whose result has a sum that is not finite is done again
// on operands scaled by a power of two, which is exact, and scaled back
// (see fold_wide and merge_wide). Only the sums that came out NaN or
// infinite are replaced, so every sum that the formulas give finite is
// kept bit for bit. A sum whose true value exceeds the largest double
// becomes infinite, with its sign; once a sum is infinite its true size is
// lost, and what depends on it follows IEEE arithmetic (m4 stays infinite
// once m2 is, as m4 >= m2 * m2 / count).
//
// Invariants: minimum and maximum are present exactly when count > 0; with
// count == 0 the moments are 0.0; NaN only increments `missing` and
// infinities only increment `infinite`. Counters wrap like plain uint64.
struct NumericState {
  std::optional<double> minimum;
  std::optional<double> maximum;
  std::uint64_t count = 0;
  std::uint64_t missing = 0;
  std::uint64_t infinite = 0;
  double mean = 0.0;
  double m2 = 0.0;
  double m3 = 0.0;
  double m4 = 0.0;

  void observe(double x) noexcept {
    if (std::isnan(x)) {
      ++missing;
    } else if (is_infinite_bits(x)) {
      ++infinite;
    } else {
      observe_finite(x);
    }
  }

  // observe() over a run of values.
  void observe_all(const double* values, std::size_t count_of_values) noexcept {
    observe_run(values, count_of_values, [](std::size_t, double) noexcept {});
  }

  // observe() over a run of values, calling on_finite(i, values[i]) after
  // folding each finite element. The loop keeps the state in locals (see
  // RunningNumericState): the input, and whatever on_finite writes, could
  // alias the fields as far as the compiler knows, which would otherwise
  // force every field through memory on each step of the chain.
  template <typename OnFinite>
  void observe_run(const double* values, std::size_t count_of_values, OnFinite on_finite) noexcept(
      noexcept(on_finite(std::size_t{0}, 0.0)));

  // observe_run over the slots [begin, end) of an Arrow primitive column
  // read in place: each valid slot i (see for_each_valid_slot) is converted
  // to double and observed, and on_finite(i - begin, x) follows each finite
  // one; a null slot counts as missing, as NaN does. So a column gives
  // exactly what observe_run gives for its values converted to double with
  // nulls as NaN. 64-bit integers convert to nearest, ties to even.
  template <typename Element, typename OnFinite>
  void observe_slots(const Element* values, const std::uint8_t* validity, std::int64_t begin,
                     std::int64_t end, OnFinite on_finite);

  // The finite path of observe; the caller has already classified x.
  void observe_finite(double x) noexcept {
    const double p = static_cast<double>(count);
    ++count;
    const double n = static_cast<double>(count);
    fold_checked(x, p, n, mean, m2, m3, m4);
    minimum = minimum ? smaller(*minimum, x) : x;
    maximum = maximum ? larger(*maximum, x) : x;
  }

  // The moment recurrences for finite x, with p and n the count before and
  // after x as doubles.
  static void fold(double x, double p, double n, double& mean, double& m2, double& m3,
                   double& m4) noexcept {
    const double delta = x - mean;
    const double dn = delta / n;
    const double dn2 = dn * dn;
    const double term1 = (delta * dn) * p;
    m4 = m4 + ((((dn2 * 6.0) * m2) + ((((n * n) - (n * 3.0)) + 3.0) * (dn2 * term1))) +
               ((dn * -4.0) * m3));
    m3 = m3 + (((n - 2.0) * (dn * term1)) - ((dn * 3.0) * m2));
    m2 = m2 + term1;
    mean = mean + dn;
  }

  // fold() with its overflow repaired: the formulas as they stand, and
  // fold_wide() in the rare case that a sum comes out NaN or infinite.
  static void fold_checked(double x, double p, double n, double& mean, double& m2, double& m3,
                           double& m4) noexcept {
    const MomentSums before{mean, m2, m3, m4};
    fold(x, p, n, mean, m2, m3, m4);
    const MomentSums after{mean, m2, m3, m4};
    if (!after.finite()) [[unlikely]] {
      const MomentSums repaired = fold_wide(x, p, n, before, after);
      mean = repaired.mean;
      m2 = repaired.m2;
      m3 = repaired.m3;
      m4 = repaired.m4;
    }
  }

  // The sums of fold() for a step from `before` whose formulas gave `fast`,
  // some sum of which is NaN or infinite. A sum that came out finite is
  // kept. One that did not, and whose inputs were all finite (the mean
  // depends on the mean, m2 also on m2, m3 also on m3, m4 on all four), is
  // taken from the same step on operands scaled by 2^-e (sum k by 2^-ke),
  // with e chosen so that every scaled operand is below 1 in magnitude:
  // nothing in that step overflows, and what underflows is far below its
  // rounding. Its result scaled back overflows to infinity exactly when the
  // sum is beyond the largest double. A sum that depends on an infinite
  // input keeps what the formulas gave, except that m4 is +inf, not NaN,
  // when m2 is +inf.
  [[gnu::cold, gnu::noinline]] static MomentSums fold_wide(double x, double p, double n, MomentSums before,
                                                           MomentSums fast) noexcept {
    const int e = common_scale({scale_exponent(x, 1), sums_scale_exponent(before)});
    return repaired(before, fast, [&] {
      MomentSums scaled = scaled_down(before, e);
      fold(std::ldexp(x, -e), p, n, scaled.mean, scaled.m2, scaled.m3, scaled.m4);
      return scaled_up(scaled, e);
    });
  }

  // merge_sums() of two states with counts na and nb (N = na + nb), both
  // above zero. The floating-point results depend on which state is `a`.
  static MomentSums merge_sums(double na, double nb, double N, const MomentSums& a, const MomentSums& b) noexcept {
    const double d = b.mean - a.mean;
    const double d2 = d * d;
    const double d3 = d * d2;
    const double d4 = d2 * d2;
    MomentSums r;
    r.mean = a.mean + ((d * nb) / N);
    r.m2 = (a.m2 + b.m2) + (((d2 * na) * nb) / N);
    r.m3 = ((a.m3 + b.m3) + (((na - nb) * ((d3 * na) * nb)) / (N * N))) +
           (((d * 3.0) * ((b.m2 * na) - (a.m2 * nb))) / N);
    const double t1 = ((d * 4.0) * ((b.m3 * na) - (a.m3 * nb))) / N;
    const double t2 = ((d2 * 6.0) * (((nb * nb) * a.m2) + ((na * na) * b.m2))) / (N * N);
    const double t3 = (((nb * nb) + ((na * na) - (na * nb))) * ((d4 * na) * nb)) / ((N * N) * N);
    r.m4 = t1 + (t2 + ((a.m4 + b.m4) + t3));
    return r;
  }

  // merge_sums() repaired as fold_wide() repairs fold(): a sum that is NaN
  // or infinite while its inputs in both states were finite is taken from
  // the merge of both states scaled by the same power of two.
  [[gnu::cold, gnu::noinline]] static MomentSums merge_wide(double na, double nb, double N, MomentSums a,
                                                            MomentSums b, MomentSums fast) noexcept {
    const int e = common_scale({sums_scale_exponent(a), sums_scale_exponent(b)});
    const MomentSums inputs{worse(a.mean, b.mean), worse(a.m2, b.m2), worse(a.m3, b.m3), worse(a.m4, b.m4)};
    return repaired(inputs, fast,
                    [&] { return scaled_up(merge_sums(na, nb, N, scaled_down(a, e), scaled_down(b, e)), e); });
  }

  // The state of the union of both value sets. The floating-point results
  // depend on which state is `a`: callers fix the order.
  static NumericState merge(const NumericState& a, const NumericState& b) noexcept {
    NumericState r;
    r.missing = a.missing + b.missing;
    r.infinite = a.infinite + b.infinite;
    if (a.count == 0 || b.count == 0) {
      const NumericState& s = a.count == 0 ? b : a;
      r.count = s.count;
      r.mean = s.mean;
      r.m2 = s.m2;
      r.m3 = s.m3;
      r.m4 = s.m4;
      r.minimum = s.minimum;
      r.maximum = s.maximum;
      return r;
    }
    const double na = static_cast<double>(a.count);
    const double nb = static_cast<double>(b.count);
    r.count = a.count + b.count;
    const double N = static_cast<double>(r.count);
    MomentSums sums = merge_sums(na, nb, N, a.sums(), b.sums());
    if (!sums.finite()) [[unlikely]] sums = merge_wide(na, nb, N, a.sums(), b.sums(), sums);
    r.set_sums(sums);
    r.minimum = a.minimum && b.minimum ? smaller(*a.minimum, *b.minimum)
                                       : (a.minimum ? a.minimum : b.minimum);
    r.maximum = a.maximum && b.maximum ? larger(*a.maximum, *b.maximum)
                                       : (a.maximum ? a.maximum : b.maximum);
    return r;
  }

  MomentSums sums() const noexcept { return {mean, m2, m3, m4}; }
  void set_sums(const MomentSums& s) noexcept {
    mean = s.mean;
    m2 = s.m2;
    m3 = s.m3;
    m4 = s.m4;
  }

  std::optional<double> reported_mean() const noexcept {
    if (count == 0) return std::nullopt;
    return mean;
  }

  // Sample variance, divisor count - 1.
  std::optional<double> variance() const noexcept {
    if (count < 2) return std::nullopt;
    return m2 / static_cast<double>(count - 1);
  }

  std::optional<double> std_dev() const noexcept {
    if (count < 2) return std::nullopt;
    return std::sqrt(m2 / static_cast<double>(count - 1));
  }

  // Adjusted Fisher-Pearson skewness. `!(m2 > 0)` would also reject NaN;
  // a NaN m2 after overflow must propagate, hence the ordered test.
  // The ratio m3 / m2^1.5 is scale-free: when m2^1.5 or sqrt(N) * m3
  // overflows while m2 and m3 are finite, it is taken from m2 scaled by
  // 2^-2k and m3 by 2^-3k instead, with m2 so scaled near 1.
  std::optional<double> skewness() const noexcept {
    if (count < 3 || m2 <= 0.0) return std::nullopt;
    const double N = static_cast<double>(count);
    const double factor = std::sqrt((N - 1.0) * N) / (N - 2.0);
    double top = std::sqrt(N) * m3;
    double bottom = std::pow(m2, 1.5);
    if ((is_infinite_bits(top) || is_infinite_bits(bottom)) && is_finite_value(m2) && is_finite_value(m3))
        [[unlikely]] {
      const int k = std::ilogb(m2) / 2;
      top = std::sqrt(N) * std::ldexp(m3, -3 * k);
      bottom = std::pow(std::ldexp(m2, -2 * k), 1.5);
    }
    return factor * (top / bottom);
  }

  // Sample excess kurtosis; m4 / (m2 * m2) is scale-free too, and taken
  // from scaled sums when m4 * N or m2 * m2 overflows.
  std::optional<double> excess_kurtosis() const noexcept {
    if (count < 4 || m2 <= 0.0) return std::nullopt;
    const double N = static_cast<double>(count);
    double top = m4 * N;
    double bottom = m2 * m2;
    if ((is_infinite_bits(top) || is_infinite_bits(bottom)) && is_finite_value(m2) && is_finite_value(m4))
        [[unlikely]] {
      const int k = std::ilogb(m2) / 2;
      const double scaled = std::ldexp(m2, -2 * k);
      top = std::ldexp(m4, -4 * k) * N;
      bottom = scaled * scaled;
    }
    const double g2 = (top / bottom) - 3.0;
    return ((N - 1.0) / ((N - 2.0) * (N - 3.0))) * (((N + 1.0) * g2) + 6.0);
  }

  // The smallest e with |v| < 2^(order * e), for finite nonzero v; for zero
  // and what is not finite, INT_MIN (no bound).
  static int scale_exponent(double v, int order) noexcept {
    if (v == 0.0 || !is_finite_value(v)) return INT_MIN;
    const int bits = std::ilogb(v) + 1;
    return bits >= 0 ? (bits + order - 1) / order : -(-bits / order);
  }
  static int sums_scale_exponent(const MomentSums& s) noexcept {
    return std::max({scale_exponent(s.mean, 1), scale_exponent(s.m2, 2), scale_exponent(s.m3, 3),
                     scale_exponent(s.m4, 4)});
  }
  // The largest of the bounds, 0 when there is none.
  static int common_scale(std::initializer_list<int> bounds) noexcept {
    const int e = std::max(bounds);
    return e == INT_MIN ? 0 : e;
  }
  // The mean scaled by 2^-e and sum k by 2^-ke (scaled_down), and back.
  static MomentSums scaled_down(const MomentSums& s, int e) noexcept { return scaled_up(s, -e); }
  static MomentSums scaled_up(const MomentSums& s, int e) noexcept {
    return {std::ldexp(s.mean, e), std::ldexp(s.m2, 2 * e), std::ldexp(s.m3, 3 * e), std::ldexp(s.m4, 4 * e)};
  }
  // Whichever of the two is not finite, if one is.
  static double worse(double a, double b) noexcept { return is_finite_value(a) ? b : a; }

  // `fast` with each sum that is NaN or infinite while its inputs (in
  // `inputs`: the mean's, m2's, m3's and m4's in turn) are finite replaced
  // by that of wide(); m4 NaN beside m2 +inf becomes +inf.
  template <typename Wide>
  static MomentSums repaired(const MomentSums& inputs, MomentSums fast, Wide wide) noexcept {
    const bool mean_inputs = is_finite_value(inputs.mean);
    const bool m2_inputs = mean_inputs && is_finite_value(inputs.m2);
    const bool m3_inputs = m2_inputs && is_finite_value(inputs.m3);
    const bool m4_inputs = m3_inputs && is_finite_value(inputs.m4);
    const bool mean_again = mean_inputs && !is_finite_value(fast.mean);
    const bool m2_again = m2_inputs && !is_finite_value(fast.m2);
    const bool m3_again = m3_inputs && !is_finite_value(fast.m3);
    const bool m4_again = m4_inputs && !is_finite_value(fast.m4);
    if (mean_again || m2_again || m3_again || m4_again) {
      const MomentSums w = wide();
      if (mean_again) fast.mean = w.mean;
      if (m2_again) fast.m2 = w.m2;
      if (m3_again) fast.m3 = w.m3;
      if (m4_again) fast.m4 = w.m4;
    }
    if (std::isnan(fast.m4) && fast.m2 == std::numeric_limits<double>::infinity()) {
      fast.m4 = std::numeric_limits<double>::infinity();
    }
    return fast;
  }

  // -0.0 orders below +0.0, in either argument order.
  static double smaller(double a, double b) noexcept {
    return (b < a || (b == a && std::signbit(b))) ? b : a;
  }
  static double larger(double a, double b) noexcept {
    return (b > a || (b == a && !std::signbit(b))) ? b : a;
  }
};

// A NumericState unpacked into plain values for a tight loop: the count as a
// double, exact below 2^53, which spares two integer-to-double conversions
// per value, and the extremes as plain doubles starting from the infinities,
// which no finite value loses against. Usable while the count stays at most
// 2^53 (see fits).
//
// Its steps are NumericState::fold as it stands, unchecked, so that the
// chain of dependent operations stays short: a loop over a block of values
// checks once after the block (needs_refold) and folds the block's values
// again with the repairs (refold) in the rare case that a sum came out NaN
// or newly infinite; a run of integers or float32 values is folded here
// only from sums that cannot overflow on them (see
// MomentSums::take_narrow_values). So a run observed here gives, bit for
// bit, what observing its values in the NumericState would.
struct RunningNumericState {
  double count = 0.0;
  std::uint64_t missing = 0;
  std::uint64_t infinite = 0;
  double mean = 0.0;
  double m2 = 0.0;
  double m3 = 0.0;
  double m4 = 0.0;
  double lowest = std::numeric_limits<double>::infinity();
  double highest = -std::numeric_limits<double>::infinity();

  // Whether `state` can take `more` further values in this form.
  static bool fits(const NumericState& state, std::uint64_t more) noexcept {
    constexpr std::uint64_t exact_counts = std::uint64_t{1} << 53;
    return state.count <= exact_counts && more <= exact_counts - state.count;
  }

  static RunningNumericState from(const NumericState& state) noexcept {
    RunningNumericState r;
    r.count = static_cast<double>(state.count);
    r.missing = state.missing;
    r.infinite = state.infinite;
    r.mean = state.mean;
    r.m2 = state.m2;
    r.m3 = state.m3;
    r.m4 = state.m4;
    if (state.minimum) r.lowest = *state.minimum;
    if (state.maximum) r.highest = *state.maximum;
    return r;
  }

  void store(NumericState& state) const noexcept {
    state.count = static_cast<std::uint64_t>(count);
    state.missing = missing;
    state.infinite = infinite;
    state.mean = mean;
    state.m2 = m2;
    state.m3 = m3;
    state.m4 = m4;
    if (state.count != 0) {
      state.minimum = lowest;
      state.maximum = highest;
    }
  }

  MomentSums sums() const noexcept { return {mean, m2, m3, m4}; }
  void set_sums(const MomentSums& s) noexcept {
    mean = s.mean;
    m2 = s.m2;
    m3 = s.m3;
    m4 = s.m4;
  }

  // Whether the steps since the sums were `before` need the repairs of
  // NumericState::fold_checked: some sum is NaN, or infinite where it was
  // not that same infinity. A sum that is NaN or infinite stays so through
  // later steps, so one test after a block finds every step that needed it.
  bool needs_refold(const MomentSums& before) const noexcept {
    if (sums().finite()) [[likely]] return false;
    const auto changed = [](double now, double was) { return !is_finite_value(now) && !(now == was); };
    return changed(mean, before.mean) || changed(m2, before.m2) || changed(m3, before.m3) || changed(m4, before.m4);
  }

  // The sums after folding, with the repairs, the finite values that
  // each_finite(step) passes to step in turn, from count `count` and sums
  // `sums`: a block observed again after needs_refold.
  template <typename EachFinite>
  [[gnu::cold, gnu::noinline]] static MomentSums refold(double count, MomentSums sums, EachFinite each_finite) {
    each_finite([&](double x) {
      const double n = count + 1.0;
      NumericState::fold_checked(x, count, n, sums.mean, sums.m2, sums.m3, sums.m4);
      count = n;
    });
    return sums;
  }

  // The unchecked step; see the class comment.
  void observe_finite(double x) noexcept {
    const double n = count + 1.0;
    NumericState::fold(x, count, n, mean, m2, m3, m4);
    count = n;
    lowest = NumericState::smaller(lowest, x);
    highest = NumericState::larger(highest, x);
  }

  // observe_finite() with plain comparisons for the extremes, a few
  // instructions fewer per value for a loop bound by their number: of two
  // zeros, an extreme keeps the first one seen. Once every value of a fresh
  // state is observed, sign_zero_extremes() must be told which zeros there
  // were.
  void observe_finite_unsigned_zeros(double x) noexcept {
    const double n = count + 1.0;
    NumericState::fold(x, count, n, mean, m2, m3, m4);
    count = n;
    lowest = x < lowest ? x : lowest;
    highest = x > highest ? x : highest;
  }

  // Gives a zero extreme the sign that observe_finite() would have given
  // it: -0.0 is the lowest of the zeros and +0.0 the highest.
  void sign_zero_extremes(bool negative_zero_seen, bool positive_zero_seen) noexcept {
    if (lowest == 0.0) lowest = negative_zero_seen ? -0.0 : 0.0;
    if (highest == 0.0) highest = positive_zero_seen ? 0.0 : -0.0;
  }
};

namespace detail {

// One element of observe_run, element i, over either form of the state.
template <typename Moments, typename OnFinite>
[[gnu::always_inline]] inline void observe_element(Moments& moments, std::size_t i, double x,
                                                   OnFinite& on_finite) noexcept(
    noexcept(on_finite(std::size_t{0}, 0.0))) {
  if (std::isnan(x)) {
    ++moments.missing;
  } else if (is_infinite_bits(x)) {
    ++moments.infinite;
  } else {
    moments.observe_finite(x);
    on_finite(i, x);
  }
}

// Values that the run loops fold into a RunningNumericState between two
// checks of its sums (see RunningNumericState::needs_refold).
inline constexpr std::size_t checked_block = 4096;

// The loop of observe_run over either form of the state.
template <typename Moments, typename OnFinite>
[[gnu::always_inline]] inline void observe_values(Moments& moments, const double* values,
                                                  std::size_t count_of_values,
                                                  OnFinite& on_finite) noexcept(
    noexcept(on_finite(std::size_t{0}, 0.0))) {
  if constexpr (std::is_same_v<Moments, RunningNumericState>) {
    for (std::size_t start = 0; start < count_of_values;) {
      const std::size_t stop = count_of_values - start > checked_block ? start + checked_block : count_of_values;
      const double count_before = moments.count;
      const MomentSums before = moments.sums();
      for (std::size_t i = start; i < stop; ++i) observe_element(moments, i, values[i], on_finite);
      if (moments.needs_refold(before)) [[unlikely]] {
        moments.set_sums(RunningNumericState::refold(count_before, before, [values, start, stop](auto step) {
          for (std::size_t i = start; i < stop; ++i) {
            if (is_finite_value(values[i])) step(values[i]);
          }
        }));
      }
      start = stop;
    }
  } else {
    for (std::size_t i = 0; i < count_of_values; ++i) observe_element(moments, i, values[i], on_finite);
  }
}

// The loop of observe_slots over either form of the state. An integer
// converts to a finite double, so it skips the NaN and infinity tests.
template <typename Element, typename Moments, typename OnFinite>
[[gnu::always_inline]] inline void observe_slot_values(Moments& moments, const Element* values,
                                                       const std::uint8_t* validity, std::int64_t begin,
                                                       std::int64_t end, OnFinite& on_finite) {
  const auto observe_slot = [&](std::int64_t i) __attribute__((always_inline)) {
    const double x = static_cast<double>(values[i]);
    const auto index = static_cast<std::size_t>(i - begin);
    if constexpr (std::is_integral_v<Element>) {
      moments.observe_finite(x);
      on_finite(index, x);
    } else {
      observe_element(moments, index, x, on_finite);
    }
  };
  // Integers and float32 values reach a RunningNumericState only when its
  // sums take them without overflow (see NumericState::observe_slots).
  if constexpr (std::is_same_v<Moments, RunningNumericState> && std::is_same_v<Element, double>) {
    // Blocks aligned to checked_block slots, so that the validity words
    // stay whole.
    constexpr auto block = static_cast<std::int64_t>(checked_block);
    for (std::int64_t start = begin; start < end;) {
      const std::int64_t stop = std::min(end, (start / block + 1) * block);
      const double count_before = moments.count;
      const MomentSums before = moments.sums();
      moments.missing += for_each_valid_slot(validity, start, stop, observe_slot);
      if (moments.needs_refold(before)) [[unlikely]] {
        moments.set_sums(RunningNumericState::refold(count_before, before, [values, validity, start, stop](auto step) {
          for_each_valid_slot(validity, start, stop, [&](std::int64_t i) {
            const double x = static_cast<double>(values[i]);
            if (is_finite_value(x)) step(x);
          });
        }));
      }
      start = stop;
    }
  } else {
    moments.missing += for_each_valid_slot(validity, begin, end, observe_slot);
  }
}

}  // namespace detail

template <typename OnFinite>
void NumericState::observe_run(const double* values, std::size_t count_of_values,
                               OnFinite on_finite) noexcept(
    noexcept(on_finite(std::size_t{0}, 0.0))) {
  if (!RunningNumericState::fits(*this, count_of_values)) {
    NumericState local = *this;
    detail::observe_values(local, values, count_of_values, on_finite);
    *this = local;
    return;
  }
  RunningNumericState local = RunningNumericState::from(*this);
  detail::observe_values(local, values, count_of_values, on_finite);
  local.store(*this);
}

template <typename Element, typename OnFinite>
void NumericState::observe_slots(const Element* values, const std::uint8_t* validity, std::int64_t begin,
                                 std::int64_t end, OnFinite on_finite) {
  // Integers and float32 values fold unchecked in the RunningNumericState
  // where that cannot overflow, which is all but always; otherwise each step
  // is checked in the NumericState.
  if (!RunningNumericState::fits(*this, static_cast<std::uint64_t>(end - begin)) ||
      (!std::is_same_v<Element, double> && !sums().take_narrow_values())) [[unlikely]] {
    NumericState local = *this;
    detail::observe_slot_values(local, values, validity, begin, end, on_finite);
    *this = local;
    return;
  }
  RunningNumericState local = RunningNumericState::from(*this);
  detail::observe_slot_values(local, values, validity, begin, end, on_finite);
  local.store(*this);
}

}  // namespace tessary
