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

// Integers convert to the nearest double, ties to even (2^53 + 1 and + 3);
// floats widen.
TEST(ProfileRecordBatch, EveryNumericTypeMatchesDirectFeeding) {
  using L = std::numeric_limits<std::int64_t>;
  const std::pair<ArrowType, Ints> int_cases[] = {
      {NANOARROW_TYPE_INT8, {-128, std::nullopt, 127, 0, -1}},
      {NANOARROW_TYPE_INT16, {-32768, 32767, std::nullopt, 5}},
      {NANOARROW_TYPE_INT32, {-2147483648LL, 2147483647, 0, std::nullopt}},
      {NANOARROW_TYPE_INT64, {L::min(), L::max(), -3, std::nullopt, 9007199254740993LL, 9007199254740995LL}},
      {NANOARROW_TYPE_UINT8, {0, 255, std::nullopt, 17}},
      {NANOARROW_TYPE_UINT16, {0, 65535, 9, std::nullopt}},
      {NANOARROW_TYPE_UINT32, {0, 4294967295LL, std::nullopt, 12}},
      {NANOARROW_TYPE_INT32, {std::nullopt, std::nullopt}},
      {NANOARROW_TYPE_INT64, {}},
  };
  const std::pair<ArrowType, Values> float_cases[] = {
      {NANOARROW_TYPE_FLOAT, {0.1, std::nullopt, -3.0e38, nan, 1e-40, -0.0, -inf}},
      {NANOARROW_TYPE_DOUBLE, {1e308, -1e-310, std::nullopt, 42.0, inf, nan}},
  };
  TestBatch batch;
  std::vector<Values> expected;
  for (const auto& [t, ints] : int_cases) {
    batch.add(std::to_string(expected.size()), type(t), ints);
    Values& e = expected.emplace_back();
    for (const auto& v : ints) e.push_back(v ? std::optional<double>(static_cast<double>(*v)) : std::nullopt);
  }
  for (const auto& [t, values] : float_cases) {
    batch.add(std::to_string(expected.size()), type(t), values);
    Values& e = expected.emplace_back();
    for (const auto& v : values) e.push_back(v && t == NANOARROW_TYPE_FLOAT ? static_cast<float>(*v) : v);
  }
  batch.add("u64", type(NANOARROW_TYPE_UINT64),
            [](ArrowArray* a) { ok(ArrowArrayAppendUInt(a, std::numeric_limits<std::uint64_t>::max())); });
  const BatchProfileState s = batch.profile(5);
  EXPECT_EQ(s.profiles.size(), expected.size() + 1);
  EXPECT_TRUE(s.skipped_columns.empty());
  for (std::size_t i = 0; i < expected.size(); ++i) expect_identical(s.profiles.at(std::to_string(i)), expected[i]);
  EXPECT_EQ(*s.profiles.at("u64").exact.maximum, 18446744073709551616.0);
  const BatchProfileState none = TestBatch{}.profile(7);
  EXPECT_EQ(none.rows, 7u);
  EXPECT_TRUE(none.profiles.empty() && none.skipped_columns.empty());
}

TEST(ProfileRecordBatch, SkipsNonNumericTypesWhateverTheirStorage) {
  const auto datetime = [](ArrowType t) {
    return [t](ArrowSchema* s) { ok(ArrowSchemaSetTypeDateTime(s, t, NANOARROW_TIME_UNIT_MILLI, nullptr)); };
  };
  const auto decimal = [](ArrowSchema* s) { ok(ArrowSchemaSetTypeDecimal(s, NANOARROW_TYPE_DECIMAL128, 10, 2)); };
  const auto dictionary = [](ArrowSchema* s) {
    ok(ArrowSchemaSetType(s, NANOARROW_TYPE_INT32));
    ok(ArrowSchemaAllocateDictionary(s));
    ok(ArrowSchemaInitFromType(s->dictionary, NANOARROW_TYPE_STRING));
  };
  // An extension type over Int8 (a boolean stored as bytes) is not a number.
  const auto extension = [](ArrowSchema* s) {
    ok(ArrowSchemaSetType(s, NANOARROW_TYPE_INT8));
    nanoarrow::UniqueBuffer metadata;
    ok(ArrowMetadataBuilderInit(metadata.get(), nullptr));
    ok(ArrowMetadataBuilderAppend(metadata.get(), ArrowCharView("ARROW:extension:name"), ArrowCharView("arrow.bool8")));
    ok(ArrowSchemaSetMetadata(s, reinterpret_cast<const char*>(metadata->data)));
  };
  const std::pair<std::string, SetType> columns[] = {
      {"half", type(NANOARROW_TYPE_HALF_FLOAT)}, {"bool", type(NANOARROW_TYPE_BOOL)},
      {"null", type(NANOARROW_TYPE_NA)},         {"utf8", type(NANOARROW_TYPE_STRING)},
      {"date", type(NANOARROW_TYPE_DATE32)},     {"timestamp", datetime(NANOARROW_TYPE_TIMESTAMP)},
      {"decimal", decimal},                      {"duration", datetime(NANOARROW_TYPE_DURATION)},
      {"dictionary", dictionary},                {"extension", extension},
  };
  TestBatch batch;
  for (const auto& [name, set_type] : columns) batch.add(name, set_type);
  const BatchProfileState s = batch.profile(2);
  EXPECT_TRUE(s.profiles.empty());
  EXPECT_EQ(skipped(s), (Names{"bool", "date", "decimal", "dictionary", "duration", "extension", "half", "null",
                               "timestamp", "utf8"}));
}

TEST(ProfileRecordBatch, DuplicateNamesAndNameOrder) {
  TestBatch batch;
  batch.add("x", type(NANOARROW_TYPE_INT32), Ints{1, 2, 3});
  batch.add("x", type(NANOARROW_TYPE_DOUBLE), Values{10.0, std::nullopt});  // the later one wins
  batch.add("s", type(NANOARROW_TYPE_STRING));
  batch.add("s", type(NANOARROW_TYPE_STRING));
  batch.add("both", type(NANOARROW_TYPE_INT8), Ints{4});
  batch.add("both", type(NANOARROW_TYPE_STRING));
  const BatchProfileState s = batch.profile(3);
  EXPECT_EQ(names(s), (Names{"both", "x"}));
  EXPECT_EQ(skipped(s), (Names{"both", "s"}));
  expect_identical(s.profiles.at("x"), Values{10.0, std::nullopt});

  // Unsigned bytes: the lead byte of "\xc3\xa9" (e-acute) sorts after ASCII.
  TestBatch ordered;
  for (const char* name : {"b", "B", "\xc3\xa9", "a", "ab", "z", ""}) {
    ordered.add(name, type(NANOARROW_TYPE_STRING));
    ordered.add(name, type(NANOARROW_TYPE_INT16), Ints{1});
  }
  const BatchProfileState o = ordered.profile(0);
  const Names order{"", "B", "a", "ab", "b", "z", "\xc3\xa9"};
  EXPECT_EQ(skipped(o), order);
  EXPECT_EQ(names(o), order);
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

TEST(ProfileRecordBatch, LongBitmapsAcrossWordBoundaries) {
  // Runs of valid and null slots across 64-slot words, seen from odd offsets.
  Values full;
  for (int i = 0; i < 400; ++i) {
    const bool valid = (i >= 70 && i < 200) ? true : (i >= 200 && i < 270) ? false : i % 7 != 3;
    full.push_back(valid ? std::optional(std::sin(i) * 100.0) : std::nullopt);
  }
  for (const auto& [offset, length] : {std::pair{0, 400}, {5, 390}, {63, 130}, {130, 10}}) {
    TestBatch batch;
    batch.add("x", type(NANOARROW_TYPE_DOUBLE), full);
    batch.last()->offset = offset;
    batch.last()->length = length;
    batch.last()->null_count = -1;
    expect_identical(batch.profile(static_cast<std::uint64_t>(length)).profiles.at("x"),
                     Values(full.begin() + offset, full.begin() + offset + length));
  }
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
