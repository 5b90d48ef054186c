#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tessary/categorical_sketches/categorical_sketch_state.hpp"
#include "tessary/count_overflow.hpp"
#include "tessary/utf8.hpp"
#include "tessary/fused_profile/batch_profile_state.hpp"
#include "tessary/numeric_state.hpp"
#include "tessary/saturating.hpp"
#include "tessary/serialization/byte_reader.hpp"
#include "tessary/serialization/byte_writer.hpp"
#include "tessary/sketches/numeric_stream_state.hpp"

namespace tessary {

// Payload encodings of the states, one encode/decode pair per type.
//
// Every encoding is canonical: a state has exactly one encoding, and the
// decoder takes nothing else (collections in ascending key order without
// repeats, shortest varints, the sparse or dense register form by the
// number of registers set), so decoding and encoding again gives the input
// bytes back. It also rejects what no state can hold: a stored count of 0,
// non-finite extremes or sampled values, ranks or bin indices out of range,
// states whose parts disagree on their counts or whose counts sum past
// 2^64 - 1, and states whose parts disagree with the moments: a NaN or
// negative moment, a mean or moment that values between the extremes
// cannot give, a sampled value, heavy hitter or outermost quantile bin that
// is not where the extremes say, more HyperLogLog registers set than values
// observed. These checks take every state that observing and merging
// produce, rounding included, and refuse what would spoil a merge with it.
// Sizes are bounded by the sketches' fixed capacities and by the remaining
// bytes; the quantile sketches' bin windows, which a few bytes can widen,
// are charged to a budget proportional to the input (DecodeBudget).
//
//   NumericState       varint count, missing, infinite; if count > 0:
//                      f64 mean, m2, m3, m4, minimum, maximum
//   HyperLogLog        varint k = non-zero registers; if k < 1024: k times
//                      (varint index gap, u8 rank), else u8 base (the
//                      smallest rank), 2048 bytes of 4-bit ranks above it
//                      (low nibble first; 15: an outlier), then u8 rank
//                      of each outlier in register order
//   LogQuantileSketch  varint zero_count; negative then positive bins:
//                      varint n, n times (varint index gap, varint count);
//                      the first gap is index - min_finite_index
//   HeavyHittersSketch varint n; n times (u64 key, varint count), by key
//   PriorityReservoir  varint n; n times (varint 2 * position, or varint 1
//                      and u64 priority; f64 value), in storage order,
//                      which decides later replacements
//   StringHeavyHitters varint n; n times (u64 hash, varint count, varint
//                      label length, label bytes), by hash
//
// A gap is the distance to the previous index minus one, so ascending
// order is built in.

// How many bin slots the quantile sketches of one decode may span. A
// sketch keeps the counts between its lowest and highest bin in one array,
// so a few bytes naming two distant bins make it allocate up to 36,870
// slots per sign. The budget, 2^24 slots (128 MiB) plus 64 per input byte,
// bounds what crafted input can make a decode allocate, yet holds every
// state of up to 227 columns whatever their spread, and any number of
// columns whose bins are not spread thinly over magnitudes from 1e-12 to
// 1e308.
class DecodeBudget {
 public:
  explicit DecodeBudget(std::size_t slots) noexcept : remaining_(slots) {}

  static DecodeBudget for_input(std::size_t input_bytes) noexcept {
    return DecodeBudget((std::size_t{1} << 24) + 64 * input_bytes);
  }

  void spend(std::size_t slots) {
    if (slots > remaining_) throw_corrupt("quantile bins span more than the data can describe");
    remaining_ -= slots;
  }

 private:
  std::size_t remaining_;
};

namespace codec {

inline constexpr std::size_t sparse_register_limit = 1024;
inline constexpr std::uint8_t nibble_escape = 15;
inline constexpr std::size_t bin_index_range =
    static_cast<std::size_t>(LogQuantileSketch::max_finite_index - LogQuantileSketch::min_finite_index) + 1;

inline std::uint64_t bits(double x) noexcept { return std::bit_cast<std::uint64_t>(x); }

// The index after `previous` (or the first index) moved on by a gap, within `end`.
inline std::size_t next_index(ByteReader& in, std::int64_t previous, std::int64_t end, const char* what) {
  const std::uint64_t gap = in.varint();
  if (gap >= static_cast<std::uint64_t>(end - previous - 1)) throw_corrupt(std::string(what) + " out of range");
  return static_cast<std::size_t>(previous + 1 + static_cast<std::int64_t>(gap));
}

// ---------------------------------------------------------------- NumericState

// Whether a central moment sum of order k (2, 3 or 4) of n values within a
// range r is one that NumericState can compute: |sum| <= n (4 r)^k, or
// 2^-240 in place of 4 r for tiny ranges. The sum itself is at most
// n r^k / 4, and the slack holds the rounding of any stream or merge tree,
// even where the products underflow (each rounding to a subnormal at most
// doubles a term). An infinite sum needs an overflowing intermediate, whose
// size is at most a small multiple of (n r)^4, hence n r >= 2^200; so does
// a NaN m3 or m4, a sum whose terms overflowed with both signs.
inline bool moment_in_reach(double sum, int k, double n, double range) {
  if (!is_finite_value(sum)) return n * range >= 0x1p200;
  return std::pow(std::fabs(sum) / n, 1.0 / k) <= std::max(4.0 * range, 0x1p-240);
}

// The moments of count >= 1 values between the extremes. The recurrence
// keeps the mean within the extremes exactly (each step moves it part of
// the way to a value and rounds to a double in between); the pairwise merge
// can step past by a few units in the last place when one side outweighs
// the other about 2^51 to 1, so a margin of 2^-30 of the larger extreme's
// magnitude holds any merge tree. Equal values (a single value included)
// have no deviations at all: exact moments of 0 and the mean is the value.
inline void check_moments(const NumericState& s) {
  const double lowest = *s.minimum;
  const double highest = *s.maximum;
  // Every comparison with NaN is false, so a NaN mean or m2 fails these
  // tests; m2's terms are never negative, so it cannot become NaN.
  if (!is_finite_value(s.mean) || !(s.m2 >= 0.0) || s.m4 < 0.0) {
    throw_corrupt("moments");
  }
  if (s.count == 1 && bits(lowest) != bits(highest)) throw_corrupt("minimum and maximum of one value");
  if (lowest == highest) {
    if (s.mean != lowest || s.m2 != 0.0 || s.m3 != 0.0 || s.m4 != 0.0) throw_corrupt("moments of equal values");
    return;
  }
  const double margin = std::ldexp(std::max(std::fabs(lowest), std::fabs(highest)), -30);
  if (!(s.mean >= lowest - margin && s.mean <= highest + margin)) throw_corrupt("mean outside the extremes");
  const double n = static_cast<double>(s.count);
  const double range = highest - lowest;  // infinite when the spread overflows: no bound
  if (!moment_in_reach(s.m2, 2, n, range) || !moment_in_reach(s.m3, 3, n, range) ||
      !moment_in_reach(s.m4, 4, n, range)) {
    throw_corrupt("moments beyond the extremes");
  }
}

inline void encode(ByteWriter& out, const NumericState& s) {
  out.varint(s.count);
  out.varint(s.missing);
  out.varint(s.infinite);
  if (s.count == 0) return;  // moments 0.0 and no extremes
  for (double x : {s.mean, s.m2, s.m3, s.m4, *s.minimum, *s.maximum}) out.f64(x);
}

inline void decode(ByteReader& in, NumericState& s) {
  s = NumericState{};
  s.count = in.varint();
  s.missing = in.varint();
  s.infinite = in.varint();
  if (s.count == 0) return;
  s.mean = in.f64();
  s.m2 = in.f64();
  s.m3 = in.f64();
  s.m4 = in.f64();
  const double minimum = in.f64();
  const double maximum = in.f64();
  // The extremes are finite and ordered, -0.0 below +0.0 as observe orders them.
  if (!is_finite_value(minimum) || !is_finite_value(maximum) ||
      bits(NumericState::smaller(minimum, maximum)) != bits(minimum) ||
      bits(NumericState::larger(minimum, maximum)) != bits(maximum)) {
    throw_corrupt("minimum and maximum");
  }
  s.minimum = minimum;
  s.maximum = maximum;
  check_moments(s);
}

// ---------------------------------------------------------------- HyperLogLog

inline void encode(ByteWriter& out, const HyperLogLog& hll) {
  const auto& registers = hll.registers();
  const auto k = static_cast<std::size_t>(
      std::count_if(registers.begin(), registers.end(), [](std::uint8_t r) { return r != 0; }));
  out.varint(k);
  if (k < sparse_register_limit) {
    std::int64_t previous = -1;
    for (std::size_t i = 0; i < registers.size(); ++i) {
      if (registers[i] == 0) continue;
      out.varint(static_cast<std::uint64_t>(static_cast<std::int64_t>(i) - previous - 1));
      out.u8(registers[i]);
      previous = static_cast<std::int64_t>(i);
    }
    return;
  }
  // Dense: ranks cluster within a few of each other, so each register is
  // its rank above the smallest in four bits; 15 marks a rank written out
  // after the nibbles.
  const std::uint8_t base = *std::min_element(registers.begin(), registers.end());
  out.u8(base);
  std::string outliers;
  for (std::size_t i = 0; i < registers.size(); i += 2) {
    std::uint8_t pair = 0;
    for (std::size_t j = 0; j < 2; ++j) {
      const auto above = static_cast<std::uint8_t>(registers[i + j] - base);
      if (above >= nibble_escape) outliers.push_back(static_cast<char>(registers[i + j]));
      pair |= static_cast<std::uint8_t>(std::min(above, nibble_escape) << (4 * j));
    }
    out.u8(pair);
  }
  out.bytes(outliers);
}

inline void decode(ByteReader& in, HyperLogLog& hll) {
  hll = HyperLogLog{};
  const std::uint64_t k = in.varint();  // sizes nothing: the registers are fixed
  if (k > HyperLogLog::register_count) throw_corrupt("too many HyperLogLog registers");
  const auto set = [&hll](std::size_t index, std::uint8_t rank) {
    if (rank > HyperLogLog::max_rank) throw_corrupt("HyperLogLog rank above 53");
    if (rank != 0) hll.observe_hash(hash_with_rank(index, rank));
  };
  if (k < sparse_register_limit) {
    std::int64_t previous = -1;
    for (std::uint64_t n = 0; n < k; ++n) {
      const std::size_t index = next_index(in, previous, HyperLogLog::register_count, "HyperLogLog register");
      const std::uint8_t rank = in.u8();
      if (rank == 0) throw_corrupt("HyperLogLog rank 0 listed");
      set(index, rank);
      previous = static_cast<std::int64_t>(index);
    }
    return;
  }
  const std::uint8_t base = in.u8();
  if (base > HyperLogLog::max_rank) throw_corrupt("HyperLogLog rank above 53");
  const std::string_view nibbles = in.bytes(HyperLogLog::register_count / 2);
  std::size_t non_zero = 0;
  bool base_seen = false;
  for (std::size_t i = 0; i < HyperLogLog::register_count; ++i) {
    const std::uint8_t above = (static_cast<std::uint8_t>(nibbles[i / 2]) >> (4 * (i % 2))) & 15;
    auto rank = static_cast<std::uint8_t>(base + above);
    if (above == nibble_escape) {
      rank = in.u8();
      if (rank < base + nibble_escape) throw_corrupt("HyperLogLog outlier rank");
    }
    base_seen = base_seen || above == 0;
    set(i, rank);
    non_zero += rank != 0;
  }
  if (!base_seen) throw_corrupt("HyperLogLog base rank");
  if (non_zero != k) throw_corrupt("HyperLogLog register count");
}

// ---------------------------------------------------------------- LogQuantileSketch

inline void encode(ByteWriter& out, const LogQuantileSketch& sketch) {
  out.varint(sketch.zero_count());
  const auto [negative, positive] = sketch.sorted_bins();
  for (const std::vector<QuantileBin>* bins : {&negative, &positive}) {
    out.varint(bins->size());
    std::int64_t previous = std::int64_t{LogQuantileSketch::min_finite_index} - 1;
    for (const auto& [index, n] : *bins) {
      out.varint(static_cast<std::uint64_t>(index - previous - 1));
      out.varint(n);
      previous = index;
    }
  }
}

inline void decode(ByteReader& in, LogQuantileSketch& sketch, DecodeBudget& budget) {
  sketch = LogQuantileSketch{};
  std::uint64_t total = in.varint();
  sketch.add_to_zero_bucket(total);
  std::vector<QuantileBin> bins;
  for (const bool is_negative : {true, false}) {
    const std::size_t n = in.count(bin_index_range, 2, "quantile bins");
    bins.clear();
    bins.reserve(n);
    std::int64_t previous = std::int64_t{LogQuantileSketch::min_finite_index} - 1;
    for (std::size_t i = 0; i < n; ++i) {
      const std::int64_t end = std::int64_t{LogQuantileSketch::max_finite_index} + 1;
      const auto index = static_cast<std::int64_t>(next_index(in, previous - LogQuantileSketch::min_finite_index,
                                                              end - LogQuantileSketch::min_finite_index,
                                                              "quantile bin index")) +
                         LogQuantileSketch::min_finite_index;
      const std::uint64_t count = in.varint();
      if (count == 0) throw_corrupt("quantile bin count 0");
      if (count > std::numeric_limits<std::uint64_t>::max() - total) throw_corrupt("quantile counts overflow");
      total += count;
      bins.emplace_back(static_cast<std::int32_t>(index), count);
      previous = index;
    }
    if (n == 0) continue;
    budget.spend(static_cast<std::size_t>(bins.back().first - bins.front().first) + 1);
    // The two ends first, so the window is sized once, with little slack.
    sketch.add_to_bin(is_negative, bins.front().first, bins.front().second);
    for (std::size_t i = n - 1; i >= 1; --i) sketch.add_to_bin(is_negative, bins[i].first, bins[i].second);
  }
}

// ---------------------------------------------------------------- HeavyHittersSketch

inline void encode(ByteWriter& out, const HeavyHittersSketch& sketch) {
  std::vector<std::pair<double, std::uint64_t>> candidates = sketch.candidates();
  std::sort(candidates.begin(), candidates.end(),
            [](const auto& a, const auto& b) { return bits(a.first) < bits(b.first); });
  out.varint(candidates.size());
  for (const auto& [value, n] : candidates) {
    out.u64(bits(value));
    out.varint(n);
  }
}

inline void decode(ByteReader& in, HeavyHittersSketch& sketch) {
  sketch = HeavyHittersSketch{};
  const std::size_t n = in.count(HeavyHittersSketch::capacity, 9, "heavy hitters");
  std::uint64_t previous = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = in.u64();
    const std::uint64_t count = in.varint();
    // Keys are canonical_bits of finite values: -0.0 is stored as 0.
    const bool canonical = is_finite_value(std::bit_cast<double>(key)) && key != bits(-0.0);
    if (!canonical || (i != 0 && key <= previous) || count == 0) throw_corrupt("heavy hitter");
    sketch.observe_weighted(key, count);
    previous = key;
  }
}

// ---------------------------------------------------------------- PriorityReservoir

// The inverse of splitmix64: each xor-shift undone by repeating it, each
// multiplication by the odd constant's inverse modulo 2^64.
constexpr std::uint64_t inverse_mod_2_64(std::uint64_t odd) noexcept {
  std::uint64_t x = odd;  // correct to 3 bits; each Newton step doubles them
  for (int i = 0; i < 5; ++i) x *= 2 - odd * x;
  return x;
}

constexpr std::uint64_t undo_xor_shift(std::uint64_t y, int shift) noexcept {
  std::uint64_t x = y;
  for (int done = shift; done < 64; done += shift) x = y ^ (x >> shift);
  return x;
}

constexpr std::uint64_t unsplitmix64(std::uint64_t z) noexcept {
  z = undo_xor_shift(z, 31) * inverse_mod_2_64(0x94d049bb133111ebULL);
  z = undo_xor_shift(z, 27) * inverse_mod_2_64(0xbf58476d1ce4e5b9ULL);
  return undo_xor_shift(z, 30) - 0x9e3779b97f4a7c15ULL;
}

static_assert(unsplitmix64(splitmix64(0)) == 0 && unsplitmix64(splitmix64(~0ULL)) == ~0ULL &&
              unsplitmix64(splitmix64(0x0123456789abcdefULL)) == 0x0123456789abcdefULL);

// A priority is a bijective function of the position for a given value and
// stream, so an entry sampled from a stream with this stream_id is written
// as its position, usually a few bytes instead of eight: varint 2p for a
// position p below 2^48, else varint 1 and the priority itself.
inline constexpr std::uint64_t short_position_limit = std::uint64_t{1} << 48;

inline std::uint64_t position_of(const ReservoirEntry& entry, std::uint64_t stream_hash) noexcept {
  return unsplitmix64(unsplitmix64(entry.priority) ^ value_hash(entry.value) ^ stream_hash);
}

inline void encode(ByteWriter& out, const PriorityReservoir& reservoir, std::uint64_t stream_id) {
  const std::uint64_t stream_hash = splitmix64(stream_id);
  out.varint(reservoir.entries().size());
  for (const ReservoirEntry& entry : reservoir.entries()) {
    const std::uint64_t position = position_of(entry, stream_hash);
    if (position < short_position_limit) {
      out.varint(position << 1);
    } else {
      out.varint(1);
      out.u64(entry.priority);
    }
    out.f64(entry.value);
  }
}

inline void decode(ByteReader& in, PriorityReservoir& reservoir, std::uint64_t stream_id) {
  reservoir = PriorityReservoir{};
  const std::uint64_t stream_hash = splitmix64(stream_id);
  const std::size_t n = in.count(PriorityReservoir::capacity, 9, "reservoir entries");
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t tag = in.varint();
    const std::uint64_t priority = tag == 1 ? in.u64() : 0;
    const double value = in.f64();
    if (!is_finite_value(value)) throw_corrupt("reservoir value not finite");
    if (tag == 1) {
      if (position_of({priority, value}, stream_hash) < short_position_limit) throw_corrupt("reservoir entry");
      reservoir.offer(priority, value);  // appends: at most capacity entries
    } else {
      if ((tag & 1) != 0 || (tag >> 1) >= short_position_limit) throw_corrupt("reservoir entry");
      reservoir.offer(PriorityReservoir::priority(value_hash(value), stream_hash, tag >> 1), value);
    }
  }
}

// ---------------------------------------------------------------- StringHeavyHittersSketch

inline void encode(ByteWriter& out, const StringHeavyHittersSketch& sketch) {
  const auto counters = sketch.counters();  // ascending hash
  out.varint(counters.size());
  for (const auto& [hash, candidate] : counters) {
    out.u64(hash);
    out.varint(candidate.count);
    out.text(candidate.label);
  }
}

inline void decode(ByteReader& in, StringHeavyHittersSketch& sketch) {
  sketch = StringHeavyHittersSketch{};
  const std::size_t n = in.count(StringHeavyHittersSketch::capacity, 10, "string heavy hitters");
  std::uint64_t previous = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t hash = in.u64();
    const std::uint64_t count = in.varint();
    const std::string_view label = in.text(StringHeavyHittersSketch::max_retained_label_bytes, "a heavy hitter label");
    if ((i != 0 && hash <= previous) || count == 0) throw_corrupt("string heavy hitter");
    sketch.observe_hashed(hash, label, count);
    previous = hash;
  }
}

// ---------------------------------------------------------------- composite states

// count + missing + infinite, which no state lets pass 2^64 - 1.
inline std::uint64_t values_of(const NumericState& m) {
  if (count_sum_overflows(m.count, m.missing) || count_sum_overflows(m.count + m.missing, m.infinite)) {
    throw_corrupt("counts beyond 2^64 - 1");
  }
  return m.count + m.missing + m.infinite;
}

// Whether x lies between the extremes of a state of count >= 1 (numerically:
// a zero is within any extremes that are zeros).
inline bool within_extremes(double x, const NumericState& m) { return *m.minimum <= x && x <= *m.maximum; }

// Each observed value sets at most one register, and at least one.
inline void check_registers_set(const HyperLogLog& hll, std::uint64_t values) {
  const auto& registers = hll.registers();
  const auto set = static_cast<std::uint64_t>(
      std::count_if(registers.begin(), registers.end(), [](std::uint8_t r) { return r != 0; }));
  if (set > values || (values != 0 && set == 0)) throw_corrupt("HyperLogLog registers and count disagree");
}

// The outermost quantile bins, in value order, are those of the extremes:
// the bins are filed by value, monotonically, and the extremes are values.
inline void check_quantile_extremes(const LogQuantileSketch& sketch, const NumericState& m) {
  using Bin = std::optional<std::pair<bool, std::int32_t>>;  // none: the zero bucket
  const auto [negative, positive] = sketch.sorted_bins();
  const bool zeros = sketch.zero_count() != 0;
  // The lowest value is in the negative bin of largest magnitude, else
  // among the zeros, else in the positive bin of smallest magnitude.
  const Bin lowest = !negative.empty() ? Bin(std::pair(true, negative.back().first))
                     : zeros           ? Bin()
                                       : Bin(std::pair(false, positive.front().first));
  const Bin highest = !positive.empty() ? Bin(std::pair(false, positive.back().first))
                      : zeros           ? Bin()
                                        : Bin(std::pair(true, negative.front().first));
  if (sketch.bin_of(*m.minimum) != lowest || sketch.bin_of(*m.maximum) != highest) {
    throw_corrupt("quantile bins outside the extremes");
  }
}

inline void encode(ByteWriter& out, const NumericStreamState& s) {
  out.varint(s.stream_id);
  out.varint(s.position);
  out.varint(s.observations);
  encode(out, s.state);
  encode(out, s.sketches.hll);
  encode(out, s.sketches.quantiles);
  encode(out, s.sketches.heavy_hitters);
  encode(out, s.sketches.reservoir, s.stream_id);
}

inline void decode(ByteReader& in, NumericStreamState& s, DecodeBudget& budget) {
  s.stream_id = in.varint();
  s.position = in.varint();
  s.observations = in.varint();
  decode(in, s.state);
  decode(in, s.sketches.hll);
  decode(in, s.sketches.quantiles, budget);
  decode(in, s.sketches.heavy_hitters);
  decode(in, s.sketches.reservoir, s.stream_id);
  const NumericState& m = s.state;
  if (values_of(m) != s.observations) throw_corrupt("observations");
  if (s.position > s.observations) throw_corrupt("position beyond the observations");
  if (s.sketches.quantiles.count() != m.count) throw_corrupt("quantile count");
  if (s.sketches.reservoir.entries().size() != std::min<std::uint64_t>(m.count, PriorityReservoir::capacity)) {
    throw_corrupt("reservoir size");
  }
  check_registers_set(s.sketches.hll, m.count);
  if (m.count == 0) return;
  check_quantile_extremes(s.sketches.quantiles, m);
  // Each unit of a heavy hitter's count is an observed value.
  std::uint64_t counted = 0;
  for (const auto& [value, n] : s.sketches.heavy_hitters.candidates()) {
    if (!within_extremes(value, m)) throw_corrupt("heavy hitter outside the extremes");
    if (count_sum_overflows(counted, n) || (counted += n) > m.count) throw_corrupt("heavy hitter counts");
  }
  for (const ReservoirEntry& entry : s.sketches.reservoir.entries()) {
    if (!within_extremes(entry.value, m)) throw_corrupt("reservoir value outside the extremes");
  }
}

inline void encode(ByteWriter& out, const CategoricalSketchState& s) {
  out.varint(s.count);
  out.varint(s.missing);
  encode(out, s.hll);
  encode(out, s.heavy_hitters);
}

inline void decode(ByteReader& in, CategoricalSketchState& s, DecodeBudget&) {
  s.count = in.varint();
  s.missing = in.varint();
  decode(in, s.hll);
  decode(in, s.heavy_hitters);
  check_registers_set(s.hll, s.count);
  // Each unit of a heavy hitter's count is a present row. Both saturate at
  // 2^64 - 1, so a sum that stops there is compared.
  std::uint64_t counted = 0;
  for (const auto& [hash, candidate] : s.heavy_hitters.counters()) counted = saturating_add(counted, candidate.count);
  if (counted > s.count) throw_corrupt("heavy hitter counts");
}

inline void encode(ByteWriter& out, const BatchProfileState& s) {
  out.varint(s.rows);
  out.varint(s.profiles.size());
  for (const auto& [name, column] : s.profiles) {
    out.text(name);
    encode(out, column.exact);
    encode(out, column.quantiles);
  }
  out.varint(s.skipped_columns.size());
  for (const std::string& name : s.skipped_columns) out.text(name);
}

// A column name: the import takes only names that are valid UTF-8.
inline std::string column_name(ByteReader& in) {
  std::string name(in.text(std::numeric_limits<std::uint64_t>::max(), "a column name"));
  if (!is_utf8(name)) throw_corrupt("column name not UTF-8");
  return name;
}

inline void decode(ByteReader& in, BatchProfileState& s, DecodeBudget& budget) {
  constexpr std::uint64_t no_limit = std::numeric_limits<std::uint64_t>::max();
  s = BatchProfileState{};
  s.rows = in.varint();
  // Smallest column: empty name, three zero counters, empty sketch.
  const std::size_t columns = in.count(no_limit, 7, "columns");
  for (std::size_t i = 0; i < columns; ++i) {
    std::string name = column_name(in);
    if (i != 0 && !ColumnNameLess{}(s.profiles.rbegin()->first, name)) throw_corrupt("column names out of order");
    NumericProfileState column;
    decode(in, column.exact);
    decode(in, column.quantiles, budget);
    if (column.quantiles.count() != column.exact.count) throw_corrupt("quantile count");
    // The batches without the column count among the rows, not among its values.
    if (values_of(column.exact) > s.rows) throw_corrupt("column values beyond the rows");
    if (column.exact.count != 0) check_quantile_extremes(column.quantiles, column.exact);
    s.profiles.emplace_hint(s.profiles.end(), std::move(name), std::move(column));
  }
  const std::size_t skipped = in.count(no_limit, 1, "skipped columns");
  for (std::size_t i = 0; i < skipped; ++i) {
    std::string name = column_name(in);
    if (i != 0 && !ColumnNameLess{}(*s.skipped_columns.rbegin(), name)) throw_corrupt("skipped column names out of order");
    s.skipped_columns.emplace_hint(s.skipped_columns.end(), std::move(name));
  }
}

}  // namespace codec
}  // namespace tessary
