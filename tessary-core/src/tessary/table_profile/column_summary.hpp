#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

namespace tessary {

// The figures that the table engine reports for one column, as plain data.
// Every column state of the engine (number_column.hpp, text_column.hpp,
// boolean_column.hpp, other_column.hpp) answers summary() with one of these;
// the binding turns them into dicts.

// A number as its column stores it: float64 for float columns, the integer
// itself for signed integer and temporal storage (int64) and for unsigned
// integers (uint64). Never rounded through a double.
using StoredNumber = std::variant<double, std::int64_t, std::uint64_t>;

// The quantile levels reported, in order: p01, p05, p25, p50, p75, p95, p99.
inline constexpr std::array<double, 7> summary_quantile_levels = {0.01, 0.05, 0.25, 0.5, 0.75, 0.95, 0.99};

// Top values are the values counted at least this often: one seen once
// tells nothing about the column's mode.
inline constexpr std::uint64_t least_top_count = 2;

// Equal-width bins over the finite values: bin k covers
// [(first_bin + k) * 2^width_exponent, (first_bin + k + 1) * 2^width_exponent),
// counts exact, at most 64 bins, counts summing to the finite count.
struct HistogramSummary {
  std::int64_t first_bin = 0;
  int width_exponent = 0;
  std::vector<std::uint64_t> counts;
};

struct NumberSummary {
  std::uint64_t count = 0;     // finite values
  std::uint64_t missing = 0;   // nulls and NaN
  std::uint64_t infinite = 0;  // +-inf
  // Absent (nullopt) when undefined: mean without values, variance and std
  // below 2 values, skewness below 3, kurtosis below 4 (or zero variance).
  std::optional<double> mean, variance, std, skewness, kurtosis;
  std::optional<StoredNumber> minimum, maximum;
  std::array<std::optional<StoredNumber>, 7> quantiles;  // summary_quantile_levels
  std::uint64_t distinct = 0;
  bool exact = false;  // distinct, top counts and quantiles are exact
  // Up to 32 values counted at least least_top_count times, count
  // descending, ties by value ascending.
  std::vector<std::pair<StoredNumber, std::uint64_t>> top;
  std::vector<StoredNumber> sample;  // ascending
  HistogramSummary histogram;
};

struct TextSummary {
  std::uint64_t count = 0;    // present values
  std::uint64_t missing = 0;  // nulls
  std::uint64_t distinct = 0;
  bool exact = false;  // distinct and top counts are exact
  // Raw bytes of each value (UTF-8 for string columns), cut to its first 32
  // bytes in either mode; up to 32 values counted at least least_top_count times, count descending, ties by bytes
  // ascending. Lower-bound counts when not exact.
  std::vector<std::pair<std::string, std::uint64_t>> top;
};

// What a comparison of two profiles needs of a number column, beyond its
// summary: in exact mode every finite value with its count, ascending; in
// sketch mode the fine histogram (at most 1,536 bins, from the minimum's bin
// to the maximum's, exact counts). Bins are aligned to their power-of-two
// width, so two columns' bins coarsen to a common width exactly.
struct NumberDetail {
  bool exact = false;
  std::vector<std::pair<StoredNumber, std::uint64_t>> values;  // exact mode
  HistogramSummary histogram;                                  // sketch mode
};

// The same of a text column: each value's 64-bit hash, its first 32 bytes
// and its count; every value in exact mode, the heavy hitters in sketch
// mode, whose counts are lower bounds short by at most `undercount` (a value
// not listed occurs at most `undercount` times).
struct TextDetail {
  bool exact = false;
  std::uint64_t count = 0;
  std::uint64_t undercount = 0;
  std::vector<std::tuple<std::uint64_t, std::string, std::uint64_t>> values;  // ascending hash
};

struct BooleanSummary {
  std::uint64_t count = 0;
  std::uint64_t missing = 0;
  std::uint64_t true_count = 0;
};

struct OtherSummary {
  std::uint64_t count = 0;
  std::uint64_t missing = 0;
};

}  // namespace tessary
