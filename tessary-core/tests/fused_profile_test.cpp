#include "tessary/fused_profile.hpp"

#include <gtest/gtest.h>
#include <nanoarrow/nanoarrow.hpp>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace tessary {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::nan("");
using Values = std::vector<std::optional<double>>;
using Ints = std::vector<std::optional<std::int64_t>>;
using Names = std::vector<std::string>;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
std::optional<std::uint64_t> bits(std::optional<double> x) { return x ? std::optional(bits(*x)) : std::nullopt; }
void ok(ArrowErrorCode code) { ASSERT_EQ(code, NANOARROW_OK); }

// What the fused state must equal: NumericState and LogQuantileSketch fed
// separately, an absent value counting as missing.
NumericProfileState reference(const Values& values) {
  NumericProfileState r;
  for (const auto& v : values) {
    if (!v) {
      ++r.exact.missing;
      continue;
    }
    r.exact.observe(*v);
    r.quantiles.observe(*v);
  }
  return r;
}

// Field by field, bit for bit.
auto fields(const NumericProfileState& s) {
  const NumericState& e = s.exact;
  return std::tuple(e.count, e.missing, e.infinite, bits(e.mean), bits(e.m2), bits(e.m3), bits(e.m4), bits(e.minimum),
                    bits(e.maximum), s.quantiles.count(), s.quantiles.zero_count(), s.quantiles.sorted_bins());
}
void expect_identical(const NumericProfileState& actual, const NumericProfileState& expected) {
  EXPECT_EQ(fields(actual), fields(expected));
}
void expect_identical(const NumericProfileState& actual, const Values& offered) {
  expect_identical(actual, reference(offered));
}

using SetType = std::function<void(ArrowSchema*)>;
SetType type(ArrowType t) {
  return [t](ArrowSchema* s) { ok(ArrowSchemaSetType(s, t)); };
}

// Columns built with nanoarrow and viewed the way the binding views an
// imported batch: a parsed field type and an array view per column.
struct TestBatch {
  struct Column {
    std::string name;
    nanoarrow::UniqueSchema schema;
    nanoarrow::UniqueArray array;
    ArrowSchemaView field{};
    nanoarrow::UniqueArrayView array_view;
  };
  std::vector<std::unique_ptr<Column>> columns;
  std::vector<ColumnView> views;

  void add(const std::string& name, const SetType& set_type, const std::function<void(ArrowArray*)>& fill = {}) {
    Column& c = *columns.emplace_back(std::make_unique<Column>());
    c.name = name;
    ArrowSchemaInit(c.schema.get());
    set_type(c.schema.get());
    ok(ArrowArrayInitFromSchema(c.array.get(), c.schema.get(), nullptr));
    ok(ArrowArrayStartAppending(c.array.get()));
    if (fill) fill(c.array.get());
    ok(ArrowArrayFinishBuildingDefault(c.array.get(), nullptr));
  }
  template <typename T>
  void add(const std::string& name, const SetType& set_type, const std::vector<std::optional<T>>& values) {
    add(name, set_type, [&](ArrowArray* a) {
      for (const auto& v : values) {
        if constexpr (std::is_same_v<T, double>) ok(v ? ArrowArrayAppendDouble(a, *v) : ArrowArrayAppendNull(a, 1));
        else ok(v ? ArrowArrayAppendInt(a, *v) : ArrowArrayAppendNull(a, 1));
      }
    });
  }

  // The raw ArrowArray of the last column, to slice it before viewing.
  ArrowArray* last() { return columns.back()->array.get(); }
  // Views the columns added since the last call.
  RecordBatchView view(std::uint64_t rows) {
    for (std::size_t i = views.size(); i < columns.size(); ++i) {
      Column& c = *columns[i];
      ok(ArrowSchemaViewInit(&c.field, c.schema.get(), nullptr));
      ok(ArrowArrayViewInitFromSchema(c.array_view.get(), c.schema.get(), nullptr));
      ok(ArrowArrayViewSetArray(c.array_view.get(), c.array.get(), nullptr));
      views.push_back(ColumnView{c.name, &c.field, c.array_view.get(), 0, c.array_view->length});
    }
    return RecordBatchView{rows, views};
  }
  BatchProfileState profile(std::uint64_t rows = 0) { return profile_record_batch(view(rows)); }
};

Names names(const BatchProfileState& s) {
  Names out;
  for (const auto& [name, state] : s.profiles) out.push_back(name);
  return out;
}
Names skipped(const BatchProfileState& s) { return {s.skipped_columns.begin(), s.skipped_columns.end()}; }

TEST(NumericProfileState, EqualsSeparateMomentsAndSketch) {
  const Values offered{3.5, std::nullopt, -2.25, nan, 1e300, -inf, inf, 0.0, -0.0, 5e-13, 1e-12,
                       std::nextafter(1e-12, 1.0), 0.5, -0.5, 7.0, 1e-300, -1e-5, 3.5};
  NumericProfileState s;
  for (const auto& v : offered) s.observe(v);
  expect_identical(s, offered);
  EXPECT_EQ(s.exact.count + s.exact.missing + s.exact.infinite, offered.size());
}

// Integers convert to the nearest double, ties to even (2^53 + 1 and + 3).
// An extension type over Int8 (a boolean stored as bytes) is not a number.
// (Each Arrow type, name order and duplicate names are checked end to end in
// the Python suite.)
TEST(ProfileRecordBatch, NearestDoubleAllNullAndExtensionColumns) {
  const auto extension = [](ArrowSchema* s) {
    ok(ArrowSchemaSetType(s, NANOARROW_TYPE_INT8));
    nanoarrow::UniqueBuffer metadata;
    ok(ArrowMetadataBuilderInit(metadata.get(), nullptr));
    ok(ArrowMetadataBuilderAppend(metadata.get(), ArrowCharView("ARROW:extension:name"), ArrowCharView("arrow.bool8")));
    ok(ArrowSchemaSetMetadata(s, reinterpret_cast<const char*>(metadata->data)));
  };
  TestBatch batch;
  batch.add("ties", type(NANOARROW_TYPE_INT64), Ints{9007199254740993LL, 9007199254740995LL, std::nullopt});
  batch.add("nulls", type(NANOARROW_TYPE_INT32), Ints{std::nullopt, std::nullopt, std::nullopt});
  batch.add("extension", extension);
  const BatchProfileState s = batch.profile(3);
  expect_identical(s.profiles.at("ties"), Values{9007199254740992.0, 9007199254740996.0, std::nullopt});
  expect_identical(s.profiles.at("nulls"), Values{std::nullopt, std::nullopt, std::nullopt});
  EXPECT_EQ(skipped(s), Names{"extension"});
}

TEST(ProfileRecordBatch, SlicedArraysUseTheirOffset) {
  const Values full{1.0, std::nullopt, 3.0, 4.0, std::nullopt, 6.0, 7.0, 8.0, 9.0, std::nullopt, 11.0};
  TestBatch batch;
  batch.add("sliced", type(NANOARROW_TYPE_DOUBLE), full);
  batch.last()->offset = 3;
  batch.last()->length = 7;
  batch.last()->null_count = -1;
  batch.add("no_bitmap", type(NANOARROW_TYPE_UINT16), Ints{10, 20, 30, 40, 50});
  batch.last()->offset = 2;
  batch.last()->length = 2;
  batch.add("stale_null_count", type(NANOARROW_TYPE_INT64), Ints{1, std::nullopt});
  batch.last()->null_count = 0;  // the bitmap decides
  RecordBatchView view = batch.view(7);
  ASSERT_EQ(view.columns[1].array->buffer_views[0].data.data, nullptr);
  const BatchProfileState s = profile_record_batch(view);
  expect_identical(s.profiles.at("sliced"), Values(full.begin() + 3, full.begin() + 10));
  expect_identical(s.profiles.at("no_bitmap"), Values{30.0, 40.0});
  expect_identical(s.profiles.at("stale_null_count"), Values{1.0, std::nullopt});

  // A column that is a child of a sliced struct starts first_slot further in.
  std::vector<ColumnView> columns(view.columns.begin(), view.columns.begin() + 2);
  columns[0].first_slot = 2;
  columns[0].length = 4;
  columns[1].first_slot = 1;
  columns[1].length = 1;
  const BatchProfileState child = profile_record_batch(RecordBatchView{4, columns});
  expect_identical(child.profiles.at("sliced"), Values(full.begin() + 5, full.begin() + 9));
  expect_identical(child.profiles.at("no_bitmap"), Values{40.0});
}

BatchProfileState one_column(const Values& values, std::uint64_t rows) {
  TestBatch batch;
  batch.add("x", type(NANOARROW_TYPE_DOUBLE), values);
  return batch.profile(rows);
}

TEST(BatchProfileStateMerge, RunningStateIsTheLeftOperand) {
  const Values first{1.35, 4.975, -1.525, 1e-13}, second{-11.45, nan, -5.2, std::nullopt};
  const NumericProfileState a = reference(first), b = reference(second);
  NumericProfileState expected = reference(first);
  expected.exact = NumericState::merge(a.exact, b.exact);
  // The operand order shows in the last bit of the mean for these values.
  ASSERT_NE(bits(expected.exact.mean), bits(NumericState::merge(b.exact, a.exact).mean));
  Values pooled = first;
  pooled.insert(pooled.end(), second.begin(), second.end());
  expected.quantiles = reference(pooled).quantiles;  // summed bins are those of one sketch fed everything

  const BatchProfileState merged = BatchProfileState::merge(one_column(first, 4), one_column(second, 3));
  EXPECT_EQ(merged.rows, 7u);
  expect_identical(merged.profiles.at("x"), expected);
}

TEST(BatchProfileStateMerge, AdoptsNewColumnsAndUnitesSkippedNames) {
  TestBatch first, second;
  first.add("id", type(NANOARROW_TYPE_INT64), Ints{1, 2});
  first.add("label", type(NANOARROW_TYPE_STRING));
  first.add("note", type(NANOARROW_TYPE_STRING));
  second.add("id", type(NANOARROW_TYPE_STRING));
  second.add("label", type(NANOARROW_TYPE_STRING));
  second.add("new", type(NANOARROW_TYPE_DOUBLE), Values{5.0, std::nullopt});
  for (bool first_is_running : {true, false}) {
    const BatchProfileState s = first_is_running ? BatchProfileState::merge(first.profile(2), second.profile(3))
                                                 : BatchProfileState::merge(second.profile(3), first.profile(2));
    EXPECT_EQ(s.rows, 5u);
    EXPECT_EQ(names(s), (Names{"id", "new"}));
    EXPECT_EQ(skipped(s), (Names{"id", "label", "note"}));
    expect_identical(s.profiles.at("new"), Values{5.0, std::nullopt});
    expect_identical(s.profiles.at("id"), Values{1.0, 2.0});
  }
}

}  // namespace
}  // namespace tessary
