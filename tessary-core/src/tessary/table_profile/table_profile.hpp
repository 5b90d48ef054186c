#pragma once

#include <nanoarrow/nanoarrow.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "tessary/arrow_import/imported_record_batch.hpp"
#include "tessary/count_overflow.hpp"
#include "tessary/serialization/byte_reader.hpp"
#include "tessary/serialization/byte_writer.hpp"
#include "tessary/serialization/state_codec.hpp"
#include "tessary/table_profile/boolean_column.hpp"
#include "tessary/table_profile/number_column.hpp"
#include "tessary/table_profile/other_column.hpp"
#include "tessary/table_profile/text_column.hpp"
#include "tessary/thread_pool.hpp"
#include "tessary/utf8.hpp"

namespace tessary {

// Data that a table profile cannot take as it stands: two columns of a batch
// with one name, or a column whose type changed to one that its state
// cannot fold in, or values that break their type's rules (a dictionary
// index out of range). Thrown before anything changes. The binding reports
// `type_changed` as TypeError and the others as ValueError.
class TableInputError : public std::runtime_error {
 public:
  enum class Kind { duplicate_name, type_changed, invalid_data };

  TableInputError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}

  Kind kind() const noexcept { return kind_; }

 private:
  Kind kind_;
};

// The running state of one column, by the kind of its type.
using ColumnState = std::variant<OtherColumn, NumberColumn, TextColumn, BooleanColumn>;

// The figures of a column state, of the same kind (column_summary.hpp).
using ColumnSummary = std::variant<OtherSummary, NumberSummary, TextSummary, BooleanSummary>;

// The state for a column first seen with type `field`: numbers and the
// integer storage of dates, times and durations, text (strings and binary
// in every layout, dictionaries of them), booleans, and every other type,
// of which only the present and missing values are counted.
inline ColumnState new_column_state(const ArrowSchemaView& field, std::uint64_t stream_id) {
  if (const auto storage = NumberColumn::storage_of(field)) return NumberColumn(*storage, stream_id);
  if (TextColumn::reads(field)) return TextColumn{};
  if (BooleanColumn::reads(field)) return BooleanColumn{};
  return OtherColumn{};
}

inline ColumnSummary summary_of(const ColumnState& state) {
  return std::visit([](const auto& s) { return ColumnSummary(s.summary()); }, state);
}

// Rows seen by a column state: present, missing and infinite values.
inline std::uint64_t seen(const ColumnState& state) noexcept {
  return std::visit([](const auto& s) { return s.seen(); }, state);
}

// Counts `rows` missing rows, as that many null slots would count.
inline void add_missing(ColumnState& state, std::uint64_t rows) {
  std::visit([&](auto& s) { s.add_missing(rows); }, state);
}

inline std::size_t memory_bytes(const ColumnState& state) noexcept {
  return std::visit([](const auto& s) { return s.memory_bytes(); }, state);
}

// One column of a table profile. `type` is Arrow's rendering of the type
// of its values ("int64", "timestamp[us, UTC]"...), "na" while it has seen
// only arrays of the null type.
struct TableColumn {
  std::string name;
  std::string type;
  ColumnState state;
};

// The profile of a table that arrives as Arrow record batches: the rows
// seen and one state per column, in the order the columns first appeared.
//
// update() takes one validated record batch. A column is matched by name;
// one that first appears in a later batch counts the earlier rows as
// missing, and one absent from a batch counts that batch's rows as
// missing, so every column has seen every row. An array of the null type
// counts its slots as missing in a column of any type, and a column that
// has seen only such arrays takes the type of the first other one. A text
// column takes text of any layout (another dictionary index type, large or
// view strings) and keeps its first type's name. Any other change of a
// column's type is refused: the caller casts first.
//
// Scheduling and failure: each column of a batch is one task of the pool,
// observed into a copy of its state; once every task has succeeded, the
// copies replace the states in one step that cannot fail. So an update or
// merge that fails (bad data, memory running out, a count passing 2^64 - 1)
// leaves the profile as it was, and, since every state sees exactly its own
// column's slots in order, the result is the same on any number of threads.
//
// Invariants: names are unique; every column's state has seen `rows` rows;
// a column of type "na" has an OtherColumn state.
class TableProfile {
 public:
  TableProfile() = default;
  explicit TableProfile(std::uint64_t stream_id) : stream_id_(stream_id) {}

  std::uint64_t rows() const noexcept { return rows_; }
  std::uint64_t stream_id() const noexcept { return stream_id_; }
  const std::vector<TableColumn>& columns() const noexcept { return columns_; }

  // The position of the column named `name`, if there is one.
  std::optional<std::size_t> find(const std::string& name) const {
    const auto found = index_.find(name);
    return found == index_.end() ? std::nullopt : std::optional(found->second);
  }

  // The figures of column i.
  ColumnSummary summary(std::size_t i) const { return summary_of(columns_[i].state); }

  // Folds `batch` in; with a `pool`, its columns side by side. With
  // `figures`, also works out every column's figures as they stand after the
  // batch, each in its column's task while the state is still in cache (for
  // a caller about to read them), and puts them there, one per column in
  // order, with the commit.
  void update(const RecordBatchView& batch, ThreadPool* pool, std::vector<ColumnSummary>* figures = nullptr) {
    if (count_sum_overflows(rows_, batch.rows)) throw CountOverflow(updated_counts_overflow);
    const std::size_t width = batch.columns.size();
    // Where each column of the batch goes: an existing column's position,
    // or a new one after them.
    constexpr std::size_t new_column = SIZE_MAX;
    std::vector<std::size_t> target(width, new_column);
    std::unordered_map<std::string_view, std::size_t> in_batch;
    in_batch.reserve(width);
    std::size_t fresh = 0;
    for (std::size_t i = 0; i < width; ++i) {
      const ColumnView& column = batch.columns[i];
      if (!in_batch.emplace(column.name, i).second) {
        throw TableInputError(TableInputError::Kind::duplicate_name,
                              "the data has two columns named '" + std::string(column.name) + "'");
      }
      if (const auto found = index_.find(std::string(column.name)); found != index_.end()) {
        target[i] = found->second;
        require_same_type(columns_[found->second], *column.field, column.name);
      } else {
        ++fresh;
      }
    }
    // New columns, whose rows before this batch count as missing, are
    // built in place; existing ones get their next state apart, observed
    // on the pool for the batch's typed columns, missing rows for the others.
    const std::size_t existing = columns_.size();
    std::vector<TableColumn> added;
    added.reserve(fresh);
    TypeTexts texts;
    for (std::size_t i = 0; i < width; ++i) {
      if (target[i] != new_column) continue;
      const ColumnView& column = batch.columns[i];
      target[i] = existing + added.size();
      added.push_back({std::string(column.name),
                       column.field->type == NANOARROW_TYPE_NA ? "na" : texts.of(*column.field->schema),
                       state_after_missing(*column.field, rows_)});
    }
    std::vector<std::optional<ColumnState>> next(existing);
    std::vector<std::size_t> observed;
    std::vector<std::size_t> unobserved;  // kept only for their figures
    std::vector<const ColumnView*> views(existing + added.size(), nullptr);
    for (std::size_t i = 0; i < width; ++i) views[target[i]] = &batch.columns[i];
    for (std::size_t j = 0; j < views.size(); ++j) {
      const ColumnView* view = views[j];
      if (view != nullptr && view->field->type != NANOARROW_TYPE_NA) {
        observed.push_back(j);
        continue;
      }
      if (figures != nullptr) unobserved.push_back(j);
      if (j >= existing) {
        tessary::add_missing(added[j - existing].state, batch.rows);
      } else if (batch.rows != 0) {
        next[j] = columns_[j].state;
        tessary::add_missing(*next[j], batch.rows);
      }
    }
    // The state a column has after the batch, once built.
    const auto after = [&](std::size_t j) -> const ColumnState& {
      return j >= existing ? added[j - existing].state : next[j] ? *next[j] : columns_[j].state;
    };
    std::vector<ColumnSummary> summaries(figures != nullptr ? views.size() : 0);
    const auto observe = [&](std::size_t task) {
      if (task >= observed.size()) {
        const std::size_t j = unobserved[task - observed.size()];
        summaries[j] = summary_of(after(j));
        return;
      }
      const std::size_t j = observed[task];
      if (j < existing) {
        next[j] = columns_[j].type == "na" ? state_after_missing(*views[j]->field, tessary::seen(columns_[j].state))
                                           : columns_[j].state;
      }
      ColumnState& state = j >= existing ? added[j - existing].state : *next[j];
      try {
        std::visit([&](auto& s) { s.observe(*views[j]); }, state);
      } catch (const ArrowImportError& error) {
        // A value its type's rules forbid; the message names the column and the slot.
        throw TableInputError(TableInputError::Kind::invalid_data, error.what());
      }
      if (figures != nullptr) summaries[j] = summary_of(state);
    };
    const std::size_t tasks = observed.size() + unobserved.size();
    if (pool != nullptr && tasks >= 2 && (figures != nullptr || batch.rows * tasks >= parallel_cells)) {
      pool->run(tasks, observe);
    } else {
      for (std::size_t task = 0; task < tasks; ++task) observe(task);
    }
    // Everything that can fail has run; the types a null column adopts
    // are rendered before the commit.
    std::vector<std::pair<std::size_t, std::string>> adopted;
    for (const std::size_t j : observed) {
      if (j < existing && columns_[j].type == "na") adopted.emplace_back(j, texts.of(*views[j]->field->schema));
    }
    commit(std::move(next), std::move(added), std::move(adopted), batch.rows);
    if (figures != nullptr) figures->swap(summaries);
  }

  // Folds in the rows of `other`, after this profile's own. A column that
  // only one side has counts the other side's rows as missing; a column of
  // `other` that is not in `keep` (when given) is left out. `other` may be
  // this profile.
  void merge(const TableProfile& other, const std::unordered_set<std::string>* keep = nullptr) {
    if (count_sum_overflows(rows_, other.rows_)) throw CountOverflow(merged_counts_overflow);
    std::vector<std::optional<ColumnState>> next(columns_.size());
    std::vector<std::pair<std::size_t, std::string>> adopted;
    for (std::size_t j = 0; j < columns_.size(); ++j) {
      const TableColumn& mine = columns_[j];
      const auto found = other.index_.find(mine.name);
      ColumnState state = mine.state;
      if (found == other.index_.end()) {
        tessary::add_missing(state, other.rows_);
      } else {
        const TableColumn& theirs = other.columns_[found->second];
        if (mine.type == "na" && theirs.type != "na") {
          // Our rows, all missing, come first, then theirs.
          state = merged_state(with_missing(theirs.state, rows_), theirs.state);
          adopted.emplace_back(j, theirs.type);
        } else if (theirs.type == "na") {
          tessary::add_missing(state, other.rows_);
        } else {
          const bool both_text =
              std::holds_alternative<TextColumn>(mine.state) && std::holds_alternative<TextColumn>(theirs.state);
          if (mine.type != theirs.type && !both_text) {
            throw TableInputError(TableInputError::Kind::type_changed,
                                  "column '" + mine.name + "' is " + mine.type + " here and " + theirs.type +
                                      " in the other profile; cast the pieces to one type");
          }
          state = merged_state(mine.state, theirs.state);
        }
      }
      next[j] = std::move(state);
    }
    std::vector<TableColumn> added;
    for (const TableColumn& theirs : other.columns_) {
      if (index_.contains(theirs.name) || (keep != nullptr && !keep->contains(theirs.name))) continue;
      // Our rows, all missing, come first, then theirs.
      added.push_back({theirs.name, theirs.type, merged_state(with_missing(theirs.state, rows_), theirs.state)});
    }
    commit(std::move(next), std::move(added), std::move(adopted), other.rows_);
  }

  std::size_t memory_bytes() const noexcept {
    std::size_t total = sizeof(TableProfile);
    for (const TableColumn& column : columns_) {
      total += sizeof(TableColumn) + column.name.capacity() + column.type.capacity() +
               tessary::memory_bytes(column.state);
    }
    return total;
  }

  //   u8 version (2), varint stream_id, varint rows, varint column count,
  //   per column: text name, text type, u8 kind (the ColumnState index),
  //   the state's own encoding
  void encode(ByteWriter& out) const {
    out.u8(encoding_version);
    out.varint(stream_id_);
    out.varint(rows_);
    out.varint(columns_.size());
    for (const TableColumn& column : columns_) {
      out.text(column.name);
      out.text(column.type);
      out.u8(static_cast<std::uint8_t>(column.state.index()));
      std::visit([&](const auto& s) { s.encode(out); }, column.state);
    }
  }

  static TableProfile decode(ByteReader& in, DecodeBudget& budget) {
    const std::uint8_t version = in.u8();
    if (version != encoding_version) {
      throw DecodeError("unsupported table profile version " + std::to_string(version) + "; this build reads version " +
                        std::to_string(encoding_version));
    }
    TableProfile profile(in.varint());
    profile.rows_ = in.varint();
    const std::size_t count = in.count(max_columns, 4, "columns");
    for (std::size_t i = 0; i < count; ++i) {
      TableColumn column;
      column.name = std::string(in.text(max_text_bytes, "a column name"));
      if (!is_utf8(column.name)) throw_corrupt("a column name is not UTF-8");
      column.type = std::string(in.text(max_text_bytes, "a column type"));
      const std::uint8_t kind = in.u8();
      switch (kind) {
        case 0:
          column.state = OtherColumn::decode(in, budget);
          break;
        case 1:
          column.state = NumberColumn::decode(in, budget);
          if (std::get<NumberColumn>(column.state).stream_id() != profile.stream_id_) {
            throw_corrupt("a number column was sampled with another stream_id");
          }
          break;
        case 2:
          column.state = TextColumn::decode(in, budget);
          break;
        case 3:
          column.state = BooleanColumn::decode(in, budget);
          break;
        default:
          throw_corrupt("a column has an unknown kind");
      }
      if (column.type == "na" && kind != 0) throw_corrupt("a column of nulls holds values");
      if (tessary::seen(column.state) != profile.rows_) throw_corrupt("a column has not seen every row");
      if (!profile.index_.emplace(column.name, profile.columns_.size()).second) {
        throw_corrupt("two columns have one name");
      }
      profile.columns_.push_back(std::move(column));
    }
    return profile;
  }

 private:
  static constexpr std::uint8_t encoding_version = 2;
  static constexpr std::uint64_t max_columns = std::uint64_t{1} << 32;
  static constexpr std::uint64_t max_text_bytes = std::uint64_t{1} << 30;
  // A batch with fewer rows times columns than this stays on the calling
  // thread, where waking the workers would cost more than they save.
  static constexpr std::uint64_t parallel_cells = std::uint64_t{1} << 16;

  // A new state for values of `field` that has seen `rows` missing rows:
  // a column that appears late, or a column of nulls whose first values
  // arrive. (A null-type field gets OtherColumn, the state of type "na".)
  ColumnState state_after_missing(const ArrowSchemaView& field, std::uint64_t rows) const {
    ColumnState state = new_column_state(field, stream_id_);
    tessary::add_missing(state, rows);
    return state;
  }

  // A new state of the kind of `kind_of` that has seen `rows` missing rows.
  ColumnState with_missing(const ColumnState& kind_of, std::uint64_t rows) const {
    ColumnState state = std::visit(
        [this](const auto& s) -> ColumnState {
          using State = std::decay_t<decltype(s)>;
          if constexpr (std::is_same_v<State, NumberColumn>) {
            return NumberColumn(s.storage(), stream_id_);
          } else {
            return State{};
          }
        },
        kind_of);
    tessary::add_missing(state, rows);
    return state;
  }

  // `a` merged with `b`, both of one kind; `b`'s values follow `a`'s.
  static ColumnState merged_state(const ColumnState& a, const ColumnState& b) {
    ColumnState out = a;
    std::visit(
        [&](auto& s) {
          using State = std::decay_t<decltype(s)>;
          s.merge(std::get<State>(b));
        },
        out);
    return out;
  }

  void require_same_type(const TableColumn& column, const ArrowSchemaView& field, std::string_view name) const {
    if (column.type == "na" || field.type == NANOARROW_TYPE_NA) return;
    // Text is bytes in every layout: a column keeps its first type's name
    // and takes the others as they are.
    if (std::holds_alternative<TextColumn>(column.state) && TextColumn::reads(field)) return;
    const std::string type = arrow_type_text(*field.schema);
    if (type != column.type) {
      throw TableInputError(TableInputError::Kind::type_changed, "column '" + std::string(name) + "' was " +
                                                                     column.type + " and is now " + type +
                                                                     " in the data; cast the pieces to one type");
    }
  }

  // Puts the next states of the existing columns (none: unchanged) and the
  // new columns in place: cannot fail once the new columns' room and index
  // are reserved, which happens first.
  void commit(std::vector<std::optional<ColumnState>> next, std::vector<TableColumn> added,
              std::vector<std::pair<std::size_t, std::string>> adopted, std::uint64_t more_rows) {
    std::unordered_map<std::string, std::size_t> index;
    const bool adding = !added.empty();
    if (adding) {
      index = index_;
      for (std::size_t i = 0; i < added.size(); ++i) index.emplace(added[i].name, columns_.size() + i);
      columns_.reserve(columns_.size() + added.size());
    }
    // No allocation from here on.
    for (std::size_t j = 0; j < next.size(); ++j) {
      if (next[j]) columns_[j].state = std::move(*next[j]);
    }
    if (columns_.empty()) {
      columns_.swap(added);
    } else {
      for (TableColumn& column : added) columns_.push_back(std::move(column));
    }
    for (auto& [j, type] : adopted) columns_[j].type.swap(type);
    if (adding) index_.swap(index);
    rows_ += more_rows;
  }

  std::uint64_t stream_id_ = 0;
  std::uint64_t rows_ = 0;
  std::vector<TableColumn> columns_;
  std::unordered_map<std::string, std::size_t> index_;
};

inline std::size_t memory_bytes(const TableProfile& profile) noexcept { return profile.memory_bytes(); }

}  // namespace tessary
