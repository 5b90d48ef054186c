#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>

#include "tessary/float_classes.hpp"
#include "tessary/validity_bitmap.hpp"

namespace tessary {

// Exact streaming moments of one numeric column.
//
// Folds values one at a time with the one-pass higher-moment recurrences
// (mean, and the central moment sums m2, m3, m4) and combines two states of
// disjoint value sets with the pairwise merge formulas. Every formula is
// evaluated in one fixed grouping, in IEEE double precision without fused
// multiply-add, so results are identical bit for bit on every machine; the
// build must keep floating-point contraction off.
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
    fold(x, p, n, mean, m2, m3, m4);
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
    const double d = b.mean - a.mean;
    const double d2 = d * d;
    const double d3 = d * d2;
    const double d4 = d2 * d2;
    r.mean = a.mean + ((d * nb) / N);
    r.m2 = (a.m2 + b.m2) + (((d2 * na) * nb) / N);
    r.m3 = ((a.m3 + b.m3) + (((na - nb) * ((d3 * na) * nb)) / (N * N))) +
           (((d * 3.0) * ((b.m2 * na) - (a.m2 * nb))) / N);
    const double t1 = ((d * 4.0) * ((b.m3 * na) - (a.m3 * nb))) / N;
    const double t2 = ((d2 * 6.0) * (((nb * nb) * a.m2) + ((na * na) * b.m2))) / (N * N);
    const double t3 = (((nb * nb) + ((na * na) - (na * nb))) * ((d4 * na) * nb)) / ((N * N) * N);
    r.m4 = t1 + (t2 + ((a.m4 + b.m4) + t3));
    r.minimum = a.minimum && b.minimum ? smaller(*a.minimum, *b.minimum)
                                       : (a.minimum ? a.minimum : b.minimum);
    r.maximum = a.maximum && b.maximum ? larger(*a.maximum, *b.maximum)
                                       : (a.maximum ? a.maximum : b.maximum);
    return r;
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
  std::optional<double> skewness() const noexcept {
    if (count < 3 || m2 <= 0.0) return std::nullopt;
    const double N = static_cast<double>(count);
    const double factor = std::sqrt((N - 1.0) * N) / (N - 2.0);
    return factor * ((std::sqrt(N) * m3) / std::pow(m2, 1.5));
  }

  std::optional<double> excess_kurtosis() const noexcept {
    if (count < 4 || m2 <= 0.0) return std::nullopt;
    const double N = static_cast<double>(count);
    const double g2 = ((m4 * N) / (m2 * m2)) - 3.0;
    return ((N - 1.0) / ((N - 2.0) * (N - 3.0))) * (((N + 1.0) * g2) + 6.0);
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
// which no finite value loses against. Observing a value here gives, bit for
// bit, what observing it in the NumericState would; usable while the count
// stays at most 2^53 (see fits).
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

// The loop of observe_run over either form of the state.
template <typename Moments, typename OnFinite>
[[gnu::always_inline]] inline void observe_values(Moments& moments, const double* values,
                                                  std::size_t count_of_values,
                                                  OnFinite& on_finite) noexcept(
    noexcept(on_finite(std::size_t{0}, 0.0))) {
  for (std::size_t i = 0; i < count_of_values; ++i) observe_element(moments, i, values[i], on_finite);
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
  const std::uint64_t nulls = for_each_valid_slot(validity, begin, end, observe_slot);
  moments.missing += nulls;
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
  if (!RunningNumericState::fits(*this, static_cast<std::uint64_t>(end - begin))) {
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
