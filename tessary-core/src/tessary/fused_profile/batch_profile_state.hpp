#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <iterator>
#include <utility>

#include "tessary/count_overflow.hpp"
#include "tessary/fused_profile/numeric_profile_state.hpp"

namespace tessary {

// Column-name order: the names' bytes compared as unsigned bytes,
// lexicographically, a proper prefix first. For UTF-8 this is code point
// order. Transparent, so lookups by string_view need no copy.
struct ColumnNameLess {
  using is_transparent = void;

  bool operator()(std::string_view a, std::string_view b) const noexcept {
    const std::size_t common = std::min(a.size(), b.size());
    if (common != 0) {
      // memcmp compares as unsigned char, whatever the signedness of char.
      const int order = std::memcmp(a.data(), b.data(), common);
      if (order != 0) return order < 0;
    }
    return a.size() < b.size();
  }
};

// The profile of one record batch, or the running profile of a stream of
// batches.
//
// `profiles` holds one NumericProfileState per profiled column name,
// `skipped_columns` the names of the columns that were not profiled; both
// are ordered by ColumnNameLess. The two collections are independent: a
// name may be in both (a numeric column and a non-numeric one of the same
// name, in one batch or in different batches).
//
// merge(self, other) folds `other` into `self`: rows add up, skipped names
// form the union, a column known to both has its states merged with the
// running state `self` as the left operand, and columns new to `self` are
// adopted unchanged.
//
// A column counts at most `rows` values (count + missing + infinite): the
// batches that lacked it count among the rows but not among its values.
struct BatchProfileState {
  std::uint64_t rows = 0;
  std::map<std::string, NumericProfileState, ColumnNameLess> profiles;
  std::set<std::string, ColumnNameLess> skipped_columns;

  // Consumes both operands. Columns new to `self` are moved over as map
  // nodes, neither their names nor their sketches are copied.
  // Throws CountOverflow, before anything changes, if a count would pass
  // 2^64 - 1.
  static BatchProfileState merge(BatchProfileState self, BatchProfileState other) {
    require_mergeable_counts(self, other);
    self.rows += other.rows;
    // Splices the names that `self` lacks; duplicates stay behind in other.
    self.skipped_columns.merge(other.skipped_columns);
    for (auto incoming = other.profiles.begin(); incoming != other.profiles.end();) {
      const auto next = std::next(incoming);
      const auto existing = self.profiles.lower_bound(incoming->first);
      if (existing != self.profiles.end() && existing->first == incoming->first) {
        existing->second.merge(std::move(incoming->second));
      } else {
        self.profiles.insert(existing, other.profiles.extract(incoming));
      }
      incoming = next;
    }
    return self;
  }

  static void require_mergeable_counts(const BatchProfileState& a, const BatchProfileState& b) {
    if (count_sum_overflows(a.rows, b.rows)) throw CountOverflow(merged_counts_overflow);
    for (const auto& [name, column] : b.profiles) {
      const auto existing = a.profiles.find(name);
      if (existing != a.profiles.end()) tessary::require_mergeable_counts(existing->second.exact, column.exact);
    }
  }
};

// The bytes of memory that `s` holds: the record, one tree node per column
// name (its links, the name and the column's state), the names that outgrow
// a string's inline buffer, and the quantile bins.
inline std::size_t memory_bytes(const BatchProfileState& s) noexcept {
  constexpr std::size_t node_links = 4 * sizeof(void*);  // colour, parent, left, right
  const auto name_bytes = [](const std::string& name) noexcept {
    return name.capacity() > std::string().capacity() ? name.capacity() + 1 : 0;
  };
  std::size_t total = sizeof(BatchProfileState);
  for (const auto& [name, column] : s.profiles) {
    total += node_links + sizeof(std::pair<const std::string, NumericProfileState>) + name_bytes(name) +
             column.quantiles.allocated_bytes();
  }
  for (const std::string& name : s.skipped_columns) total += node_links + sizeof(std::string) + name_bytes(name);
  return total;
}

// BatchProfileState::merge of copies of both operands: `a` and `b` stay as
// they are (and may be one state), and a merge that fails for lack of memory
// leaves nothing half merged.
inline BatchProfileState merged(const BatchProfileState& a, const BatchProfileState& b) {
  return BatchProfileState::merge(BatchProfileState(a), BatchProfileState(b));
}

}  // namespace tessary
