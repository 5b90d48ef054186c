#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tessary {

// HyperLogLog distinct-count estimator over caller-supplied 64-bit hashes.
//
// Precision p = 12: the top 12 bits of a hash select one of 4096 one-byte
// registers, and the register keeps the largest rank (leading zeros of the
// remaining 52 bits, plus one, capped at 53) seen for it. The estimate is
// the raw harmonic-mean estimate, replaced by linear counting while it is at
// most 2.5 m and some register is still zero; there is no large-range
// correction and no bias table. Standard error is about 1.04 / sqrt(4096),
// 1.6%. Registers only grow; no further mixing is applied to the hashes.
class HyperLogLog {
 public:
  static constexpr std::uint8_t precision = 12;
  static constexpr std::size_t register_count = std::size_t{1} << precision;
  static constexpr std::uint8_t max_rank = 65 - precision;

  void observe_hash(std::uint64_t hash) noexcept {
    const std::size_t index = static_cast<std::size_t>(hash >> (64 - precision));
    // The marker bit just below the 52 remaining bits caps the count of
    // leading zeros at 52, so the rank needs no clamp and rest is never 0.
    const std::uint64_t rest = (hash << precision) | (std::uint64_t{1} << (precision - 1));
    const std::uint8_t rank = static_cast<std::uint8_t>(std::countl_zero(rest) + 1);
    registers_[index] = std::max(registers_[index], rank);  // no branch to mispredict
  }

  double estimate() const noexcept {
    const double m = static_cast<double>(register_count);
    const double alpha = 0.7213 / (1.0 + 1.079 / m);
    // The sum below is at least the number of empty registers, each adding
    // 2^0: where that number alone puts the raw estimate within linear
    // counting's range, the sum cannot move it out, and is not needed.
    std::size_t empty = 0;
    for (std::size_t chunk = 0; chunk < register_count; chunk += 1024) {
      std::uint64_t lanes = 0;  // by byte lane, the empty registers met there: at most 128
      for (std::size_t i = chunk; i < chunk + 1024; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, registers_.data() + i, 8);
        // A byte's high bit set unless the byte is 0.
        const std::uint64_t nonzero = ((word & 0x7f7f7f7f7f7f7f7fULL) + 0x7f7f7f7f7f7f7f7fULL) | word;
        lanes += (~nonzero & 0x8080808080808080ULL) >> 7;
      }
      lanes = (lanes & 0x00ff00ff00ff00ffULL) + ((lanes >> 8) & 0x00ff00ff00ff00ffULL);
      empty += static_cast<std::size_t>((lanes * 0x0001000100010001ULL) >> 48);
    }
    if (empty > 0 && alpha * m * m / static_cast<double>(empty) <= 2.5 * m) {
      return m * std::log(m / static_cast<double>(empty));
    }
    // Sum of 2^-r over the registers, in order. While every r is at most
    // exact_rank, each partial sum is a multiple of 2^-exact_rank below 2^13
    // and so exact: an integer sum of 2^(exact_rank - r) gives the same bits,
    // and so does a sum over the ranks of how many registers hold each,
    // counted in four tallies so that equal ranks do not wait on each other.
    std::array<std::array<std::uint32_t, 256>, 4> tally{};
    for (std::size_t i = 0; i < register_count; i += 4) {
      for (std::size_t t = 0; t < 4; ++t) ++tally[t][registers_[i + t]];
    }
    std::uint64_t fixed = 0;
    bool beyond = false;
    for (std::size_t r = 0; r < 256; ++r) {
      const std::uint64_t n = tally[0][r] + tally[1][r] + tally[2][r] + tally[3][r];
      if (r <= exact_rank) {
        fixed += n << (exact_rank - r);
      } else {
        beyond |= n != 0;
      }
    }
    const std::uint64_t zeros = tally[0][0] + tally[1][0] + tally[2][0] + tally[3][0];
    double sum = std::ldexp(static_cast<double>(fixed), -exact_rank);
    if (beyond) [[unlikely]] {
      sum = 0.0;
      for (std::uint8_t r : registers_) sum += inverse_powers[r];
    }
    const double raw = alpha * m * m / sum;
    if (raw <= 2.5 * m && zeros > 0) {
      return m * std::log(m / static_cast<double>(zeros));
    }
    return raw;
  }

  const std::array<std::uint8_t, register_count>& registers() const noexcept { return registers_; }

 private:
  static constexpr int exact_rank = 40;

  // 2^-r for every rank a register can hold, exact.
  static constexpr std::array<double, 256> inverse_powers = [] {
    std::array<double, 256> t{};
    double p = 1.0;
    for (double& x : t) {
      x = p;
      p /= 2;
    }
    return t;
  }();

  std::array<std::uint8_t, register_count> registers_{};
};

// Merge: the register-wise maximum, exactly the registers one pass over
// both parts would give. The operands are only read (either may be the
// other) and the result is built apart.
// A hash that HyperLogLog::observe_hash files under register `index` with
// rank `rank` (1 to max_rank): the index in the top bits, then rank - 1 zero
// bits and a one (none at all for the largest rank).
constexpr std::uint64_t hash_with_rank(std::size_t index, std::uint8_t rank) noexcept {
  constexpr int rest_bits = 64 - HyperLogLog::precision;
  const std::uint64_t top = static_cast<std::uint64_t>(index) << rest_bits;
  return rank >= HyperLogLog::max_rank ? top : top | (std::uint64_t{1} << (rest_bits - rank));
}

// Raises every register of `into` to at least the given one.
inline void raise_registers(HyperLogLog& into, const std::array<std::uint8_t, HyperLogLog::register_count>& registers) noexcept {
  for (std::size_t i = 0; i < registers.size(); ++i) {
    if (registers[i] != 0) into.observe_hash(hash_with_rank(i, registers[i]));
  }
}

inline HyperLogLog merged(const HyperLogLog& a, const HyperLogLog& b) noexcept {
  HyperLogLog out = a;
  raise_registers(out, b.registers());
  return out;
}

}  // namespace tessary
