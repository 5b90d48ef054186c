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
#include <vector>

namespace tessary {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::nan("");

using Values = std::vector<std::optional<double>>;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

std::optional<std::uint64_t> bits(std::optional<double> x) {
  if (!x) return std::nullopt;
  return bits(*x);
}

void ok(ArrowErrorCode code) { ASSERT_EQ(code, NANOARROW_OK); }

// What the fused state must equal: NumericState and LogQuantileSketch fed
// separately, an absent value counting as missing.
NumericProfileState reference(const Values& values) {
  NumericProfileState r;
  for (const auto& v : values) {
    if (v) {
      r.exact.observe(*v);
      r.quantiles.observe(*v);
    } else {
      ++r.exact.missing;
    }
  }
  return r;
}

void expect_identical(const NumericProfileState& actual, const NumericProfileState& expected) {
  EXPECT_EQ(actual.exact.count, expected.exact.count);
  EXPECT_EQ(actual.exact.missing, expected.exact.missing);
  EXPECT_EQ(actual.exact.infinite, expected.exact.infinite);
  EXPECT_EQ(bits(actual.exact.mean), bits(expected.exact.mean));
  EXPECT_EQ(bits(actual.exact.m2), bits(expected.exact.m2));
  EXPECT_EQ(bits(actual.exact.m3), bits(expected.exact.m3));
  EXPECT_EQ(bits(actual.exact.m4), bits(expected.exact.m4));
  EXPECT_EQ(bits(actual.exact.minimum), bits(expected.exact.minimum));
  EXPECT_EQ(bits(actual.exact.maximum), bits(expected.exact.maximum));
  EXPECT_EQ(actual.quantiles.count(), expected.quantiles.count());
  EXPECT_EQ(actual.quantiles.zero_count(), expected.quantiles.zero_count());
  EXPECT_EQ(actual.quantiles.sorted_bins(), expected.quantiles.sorted_bins());
}

void expect_identical(const NumericProfileState& actual, const Values& offered) {
  expect_identical(actual, reference(offered));
}

// Columns built with nanoarrow and viewed the way the binding views an
// imported batch: a parsed field type and an array view per column.
class TestBatch {
 public:
  using SetType = std::function<void(ArrowSchema*)>;
  using Fill = std::function<void(ArrowArray*)>;

  void add(const std::string& name, const SetType& set_type, const Fill& fill) {
    auto column = std::make_unique<Column>();
    column->name = name;
    ArrowSchemaInit(column->schema.get());
    set_type(column->schema.get());
    ok(ArrowSchemaSetName(column->schema.get(), name.c_str()));
    ok(ArrowArrayInitFromSchema(column->array.get(), column->schema.get(), nullptr));
    ok(ArrowArrayStartAppending(column->array.get()));
    fill(column->array.get());
    ok(ArrowArrayFinishBuildingDefault(column->array.get(), nullptr));
    columns_.push_back(std::move(column));
  }

  void add(const std::string& name, ArrowType type, const Fill& fill = [](ArrowArray*) {}) {
    add(name, [type](ArrowSchema* s) { ok(ArrowSchemaSetType(s, type)); }, fill);
  }

  void add_doubles(const std::string& name, ArrowType type, const Values& values) {
    add(name, type, [&](ArrowArray* a) {
      for (const auto& v : values) ok(v ? ArrowArrayAppendDouble(a, *v) : ArrowArrayAppendNull(a, 1));
    });
  }

  void add_ints(const std::string& name, const SetType& set_type,
                const std::vector<std::optional<std::int64_t>>& values) {
    add(name, set_type, [&](ArrowArray* a) {
      for (const auto& v : values) ok(v ? ArrowArrayAppendInt(a, *v) : ArrowArrayAppendNull(a, 1));
    });
  }

  void add_ints(const std::string& name, ArrowType type,
                const std::vector<std::optional<std::int64_t>>& values) {
    add_ints(name, [type](ArrowSchema* s) { ok(ArrowSchemaSetType(s, type)); }, values);
  }

  // The raw ArrowArray of the last column, to slice it before viewing.
  ArrowArray* last_array() { return columns_.back()->array.get(); }

  // Views every column; call after the last add and any slicing.
  RecordBatchView view(std::uint64_t rows) {
    if (views_.size() == columns_.size() && !columns_.empty()) return RecordBatchView{rows, views_};
    for (auto& column : columns_) {
      ok(ArrowSchemaViewInit(&column->field, column->schema.get(), nullptr));
      ok(ArrowArrayViewInitFromSchema(column->array_view.get(), column->schema.get(), nullptr));
      ok(ArrowArrayViewSetArray(column->array_view.get(), column->array.get(), nullptr));
      views_.push_back(ColumnView{column->name, &column->field, column->array_view.get(), 0,
                                  column->array_view->length});
    }
    return RecordBatchView{rows, views_};
  }

  BatchProfileState profile(std::uint64_t rows = 0) { return profile_record_batch(view(rows)); }

 private:
  struct Column {
    std::string name;
    nanoarrow::UniqueSchema schema;
    nanoarrow::UniqueArray array;
    ArrowSchemaView field{};
    nanoarrow::UniqueArrayView array_view;
  };

  std::vector<std::unique_ptr<Column>> columns_;
  std::vector<ColumnView> views_;
};

std::vector<std::string> names(const BatchProfileState& s) {
  std::vector<std::string> out;
  for (const auto& [name, state] : s.profiles) out.push_back(name);
  return out;
}

std::vector<std::string> skipped(const BatchProfileState& s) {
  return {s.skipped_columns.begin(), s.skipped_columns.end()};
}

// --- NumericProfileState -------------------------------------------------

TEST(NumericProfileState, ClassifiesAbsentNanAndInfinities) {
  NumericProfileState s;
  s.observe(std::nullopt);
  s.observe(nan);
  EXPECT_EQ(s.exact.missing, 2u);
  s.observe(inf);
  s.observe(-inf);
  EXPECT_EQ(s.exact.infinite, 2u);
  EXPECT_EQ(s.exact.count, 0u);
  EXPECT_EQ(s.quantiles.count(), 0u);
  EXPECT_FALSE(s.exact.minimum.has_value());
  EXPECT_FALSE(s.exact.maximum.has_value());
  EXPECT_FALSE(s.quantiles.quantile(0.5).has_value());
}

TEST(NumericProfileState, ZeroBucketAndSignedZeroExtremes) {
  NumericProfileState s;
  s.observe(0.0);
  s.observe(-0.0);
  s.observe(5e-13);
  s.observe(1e-12);
  EXPECT_EQ(s.exact.count, 4u);
  EXPECT_EQ(s.quantiles.zero_count(), 4u);
  EXPECT_EQ(s.quantiles.sorted_bins(), (std::pair<std::vector<QuantileBin>, std::vector<QuantileBin>>{}));
  EXPECT_EQ(bits(*s.exact.minimum), bits(-0.0));
  EXPECT_EQ(*s.exact.maximum, 1e-12);

  s.observe(std::nextafter(1e-12, 1.0));
  s.observe(0.5);
  s.observe(-0.5);
  const auto [negative, positive] = s.quantiles.sorted_bins();
  EXPECT_EQ(negative, (std::vector<QuantileBin>{{-35, 1}}));
  EXPECT_EQ(positive, (std::vector<QuantileBin>{{-1382, 1}, {-35, 1}}));
}

TEST(NumericProfileState, EqualsSeparateMomentsAndSketch) {
  const Values offered{3.5, std::nullopt, -2.25, nan, 1e300, -inf, 0.0, 7.0, 1e-300, -1e-5, 3.5};
  NumericProfileState s;
  for (const auto& v : offered) s.observe(v);
  expect_identical(s, offered);
  EXPECT_EQ(s.exact.count + s.exact.missing + s.exact.infinite, offered.size());
}

// --- profile_record_batch ------------------------------------------------

TEST(ProfileRecordBatch, EmptyBatchAndEmptyColumn) {
  TestBatch none;
  const BatchProfileState no_columns = none.profile(7);
  EXPECT_EQ(no_columns.rows, 7u);
  EXPECT_TRUE(no_columns.profiles.empty());
  EXPECT_TRUE(no_columns.skipped_columns.empty());

  TestBatch empty;
  empty.add_ints("x", NANOARROW_TYPE_INT64, {});
  const BatchProfileState s = empty.profile(0);
  ASSERT_EQ(names(s), std::vector<std::string>{"x"});
  const NumericProfileState& x = s.profiles.at("x");
  EXPECT_EQ(x.exact.count + x.exact.missing + x.exact.infinite, 0u);
  EXPECT_FALSE(x.quantiles.quantile(0.5).has_value());
}

TEST(ProfileRecordBatch, NullsNanAndInfinities) {
  TestBatch batch;
  batch.add_doubles("f64", NANOARROW_TYPE_DOUBLE, {1.0, nan, inf, std::nullopt});
  batch.add_doubles("f32", NANOARROW_TYPE_FLOAT, {nan, -inf, 2.5});
  batch.add_ints("nulls", NANOARROW_TYPE_INT32, {std::nullopt, std::nullopt, std::nullopt});
  const BatchProfileState s = batch.profile(4);

  const NumericProfileState& f64 = s.profiles.at("f64");
  EXPECT_EQ(f64.exact.count, 1u);
  EXPECT_EQ(f64.exact.missing, 2u);
  EXPECT_EQ(f64.exact.infinite, 1u);
  EXPECT_EQ(*f64.exact.minimum, 1.0);
  EXPECT_EQ(*f64.exact.maximum, 1.0);

  const NumericProfileState& f32 = s.profiles.at("f32");
  EXPECT_EQ(f32.exact.missing, 1u);
  EXPECT_EQ(f32.exact.infinite, 1u);
  expect_identical(f32, Values{nan, -inf, 2.5});

  const NumericProfileState& all_null = s.profiles.at("nulls");
  EXPECT_EQ(all_null.exact.missing, 3u);
  EXPECT_EQ(all_null.exact.count, 0u);
}

TEST(ProfileRecordBatch, EveryNumericTypeMatchesDirectFeeding) {
  using L = std::numeric_limits<std::int64_t>;
  struct Case {
    ArrowType type;
    std::vector<std::optional<std::int64_t>> ints;
  };
  const std::vector<Case> int_cases{
      {NANOARROW_TYPE_INT8, {-128, std::nullopt, 127, 0, -1}},
      {NANOARROW_TYPE_INT16, {-32768, 32767, std::nullopt, 5}},
      {NANOARROW_TYPE_INT32, {-2147483648LL, 2147483647, 0, std::nullopt}},
      {NANOARROW_TYPE_INT64, {L::min(), L::max(), -3, std::nullopt, 1}},
      {NANOARROW_TYPE_UINT8, {0, 255, std::nullopt, 17}},
      {NANOARROW_TYPE_UINT16, {0, 65535, 9, std::nullopt}},
      {NANOARROW_TYPE_UINT32, {0, 4294967295LL, std::nullopt, 12}},
  };
  const std::vector<std::string> column{"c0", "c1", "c2", "c3", "c4", "c5", "c6", "c7", "c8"};
  TestBatch batch;
  std::vector<Values> expected;
  for (std::size_t i = 0; i < int_cases.size(); ++i) {
    batch.add_ints(column[i], int_cases[i].type, int_cases[i].ints);
    Values as_double;
    for (const auto& v : int_cases[i].ints) {
      as_double.push_back(v ? std::optional<double>(static_cast<double>(*v)) : std::nullopt);
    }
    expected.push_back(as_double);
  }
  const Values floats{0.1, std::nullopt, -3.0e38, nan, 1e-40, -0.0};
  batch.add_doubles("c7", NANOARROW_TYPE_FLOAT, floats);
  Values widened;
  for (const auto& v : floats) {
    widened.push_back(v ? std::optional<double>(static_cast<double>(static_cast<float>(*v)))
                        : std::nullopt);
  }
  expected.push_back(widened);
  const Values doubles{1e308, -1e-310, std::nullopt, 42.0, inf};
  batch.add_doubles("c8", NANOARROW_TYPE_DOUBLE, doubles);
  expected.push_back(doubles);

  const BatchProfileState s = batch.profile(5);
  ASSERT_EQ(s.profiles.size(), expected.size());
  EXPECT_TRUE(s.skipped_columns.empty());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    expect_identical(s.profiles.at(column[i]), expected[i]);
  }
}

TEST(ProfileRecordBatch, WideIntegersRoundToNearestEven) {
  TestBatch batch;
  batch.add_ints("above_2_53", NANOARROW_TYPE_INT64, {9007199254740993LL});
  // Halfway between 2^53 + 2 and 2^53 + 4: ties go to the even significand.
  batch.add_ints("tie", NANOARROW_TYPE_INT64, {9007199254740995LL});
  batch.add("u64_max", NANOARROW_TYPE_UINT64,
            [](ArrowArray* a) { ok(ArrowArrayAppendUInt(a, std::numeric_limits<std::uint64_t>::max())); });
  const BatchProfileState s = batch.profile(1);
  EXPECT_EQ(*s.profiles.at("above_2_53").exact.maximum, 9007199254740992.0);
  EXPECT_EQ(*s.profiles.at("tie").exact.maximum, 9007199254740996.0);
  EXPECT_EQ(*s.profiles.at("u64_max").exact.maximum, 18446744073709551616.0);
}

TEST(ProfileRecordBatch, SkipsNonNumericTypesWhateverTheirStorage) {
  const auto datetime = [](ArrowType type) {
    return [type](ArrowSchema* s) {
      ok(ArrowSchemaSetTypeDateTime(s, type, NANOARROW_TIME_UNIT_MILLI, nullptr));
    };
  };
  TestBatch batch;
  batch.add("half", NANOARROW_TYPE_HALF_FLOAT, [](ArrowArray* a) { ok(ArrowArrayAppendDouble(a, 1.5)); });
  batch.add_ints("bool", NANOARROW_TYPE_BOOL, {1});
  batch.add("null", NANOARROW_TYPE_NA, [](ArrowArray* a) { ok(ArrowArrayAppendNull(a, 1)); });
  batch.add("utf8", NANOARROW_TYPE_STRING);
  batch.add(
      "decimal", [](ArrowSchema* s) { ok(ArrowSchemaSetTypeDecimal(s, NANOARROW_TYPE_DECIMAL128, 10, 2)); },
      [](ArrowArray*) {});
  batch.add_ints("date", NANOARROW_TYPE_DATE32, {19000});
  batch.add_ints("timestamp", datetime(NANOARROW_TYPE_TIMESTAMP), {1700000000000LL});
  batch.add_ints("duration", datetime(NANOARROW_TYPE_DURATION), {60});
  batch.add(
      "dictionary",
      [](ArrowSchema* s) {
        ok(ArrowSchemaSetType(s, NANOARROW_TYPE_INT32));
        ok(ArrowSchemaAllocateDictionary(s));
        ok(ArrowSchemaInitFromType(s->dictionary, NANOARROW_TYPE_STRING));
      },
      [](ArrowArray* a) {
        ok(ArrowArrayAppendString(a->dictionary, ArrowCharView("x")));
        ok(ArrowArrayAppendInt(a, 0));
      });
  // An extension type over Int8 (a boolean stored as bytes) is not a number.
  const auto extension = [](ArrowSchema* s) {
    ok(ArrowSchemaSetType(s, NANOARROW_TYPE_INT8));
    nanoarrow::UniqueBuffer metadata;
    ok(ArrowMetadataBuilderInit(metadata.get(), nullptr));
    ok(ArrowMetadataBuilderAppend(metadata.get(), ArrowCharView("ARROW:extension:name"),
                                  ArrowCharView("arrow.bool8")));
    ok(ArrowSchemaSetMetadata(s, reinterpret_cast<const char*>(metadata->data)));
  };
  batch.add_ints("extension", extension, {1});
  const BatchProfileState s = batch.profile(1);
  EXPECT_TRUE(s.profiles.empty());
  EXPECT_EQ(skipped(s), (std::vector<std::string>{"bool", "date", "decimal", "dictionary", "duration",
                                                  "extension", "half", "null", "timestamp", "utf8"}));
}

TEST(ProfileRecordBatch, DuplicateNames) {
  TestBatch batch;
  batch.add_ints("x", NANOARROW_TYPE_INT32, {1, 2, 3});
  batch.add_doubles("x", NANOARROW_TYPE_DOUBLE, {10.0, std::nullopt});
  batch.add("s", NANOARROW_TYPE_STRING);
  batch.add("s", NANOARROW_TYPE_STRING);
  batch.add_ints("both", NANOARROW_TYPE_INT8, {4});
  batch.add("both", NANOARROW_TYPE_STRING);
  const BatchProfileState s = batch.profile(3);
  EXPECT_EQ(names(s), (std::vector<std::string>{"both", "x"}));
  EXPECT_EQ(skipped(s), (std::vector<std::string>{"both", "s"}));
  expect_identical(s.profiles.at("x"), Values{10.0, std::nullopt});
}

TEST(ProfileRecordBatch, NamesOrderedByUnsignedBytes) {
  TestBatch batch;
  // "\xc3\xa9" is e-acute in UTF-8: its lead byte sorts after every ASCII byte.
  for (const char* name : {"b", "B", "\xc3\xa9", "a", "ab", "z", ""}) {
    batch.add(name, NANOARROW_TYPE_STRING);
    batch.add_ints(name, NANOARROW_TYPE_INT16, {1});
  }
  const BatchProfileState s = batch.profile(0);
  const std::vector<std::string> order{"", "B", "a", "ab", "b", "z", "\xc3\xa9"};
  EXPECT_EQ(skipped(s), order);
  EXPECT_EQ(names(s), order);
}

TEST(ProfileRecordBatch, SlicedArraysUseTheirOffset) {
  const Values full{1.0, std::nullopt, 3.0, 4.0, std::nullopt, 6.0, 7.0, 8.0, 9.0, std::nullopt, 11.0};
  TestBatch batch;
  batch.add_doubles("sliced", NANOARROW_TYPE_DOUBLE, full);
  batch.last_array()->offset = 3;
  batch.last_array()->length = 7;
  batch.last_array()->null_count = -1;
  batch.add_ints("no_bitmap", NANOARROW_TYPE_UINT16, {10, 20, 30, 40, 50});
  batch.last_array()->offset = 2;
  batch.last_array()->length = 2;
  RecordBatchView view = batch.view(7);
  ASSERT_EQ(view.columns[1].array->buffer_views[0].data.data, nullptr);
  const BatchProfileState s = profile_record_batch(view);
  expect_identical(s.profiles.at("sliced"), Values(full.begin() + 3, full.begin() + 10));
  expect_identical(s.profiles.at("no_bitmap"), Values{30.0, 40.0});

  // A column that is a child of a sliced struct starts first_slot further in.
  std::vector<ColumnView> columns(view.columns.begin(), view.columns.end());
  columns[0].first_slot = 2;
  columns[0].length = 4;
  columns[1].first_slot = 1;
  columns[1].length = 1;
  const BatchProfileState child = profile_record_batch(RecordBatchView{4, columns});
  expect_identical(child.profiles.at("sliced"), Values(full.begin() + 5, full.begin() + 9));
  expect_identical(child.profiles.at("no_bitmap"), Values{40.0});

  // Slots beyond the array are not read: such a column is skipped.
  columns[1].length = 2;
  EXPECT_EQ(skipped(profile_record_batch(RecordBatchView{4, columns})),
            std::vector<std::string>{"no_bitmap"});
}

TEST(ProfileRecordBatch, BitmapDecidesWhateverTheNullCount) {
  TestBatch batch;
  batch.add_ints("x", NANOARROW_TYPE_INT64, {1, std::nullopt, 3});
  batch.last_array()->null_count = 0;
  const BatchProfileState s = batch.profile(3);
  EXPECT_EQ(s.profiles.at("x").exact.missing, 1u);
  EXPECT_EQ(s.profiles.at("x").exact.count, 2u);
}

// --- BatchProfileState::merge ----------------------------------------------

BatchProfileState one_column(const std::string& name, const Values& values, std::uint64_t rows) {
  TestBatch batch;
  batch.add_doubles(name, NANOARROW_TYPE_DOUBLE, values);
  return batch.profile(rows);
}

TEST(BatchProfileStateMerge, PoolsColumnsAcrossBatches) {
  BatchProfileState running = one_column("x", {1.0, 2.0}, 3);
  running = BatchProfileState::merge(std::move(running), one_column("x", {3.0, std::nullopt}, 5));
  EXPECT_EQ(running.rows, 8u);
  const NumericProfileState& x = running.profiles.at("x");
  EXPECT_EQ(x.exact.count, 3u);
  EXPECT_EQ(x.exact.missing, 1u);
  EXPECT_EQ(*x.exact.minimum, 1.0);
  EXPECT_EQ(*x.exact.maximum, 3.0);
  EXPECT_EQ(x.exact.mean, 2.0);
}

TEST(BatchProfileStateMerge, RunningStateIsTheLeftOperand) {
  const Values first{1.35, 4.975, -1.525, 1e-13};
  const Values second{-11.45, nan, -5.2};
  const NumericProfileState a = reference(first);
  const NumericProfileState b = reference(second);
  const NumericState forward = NumericState::merge(a.exact, b.exact);
  const NumericState backward = NumericState::merge(b.exact, a.exact);
  // The operand order shows in the last bit of the mean for these values.
  ASSERT_NE(bits(forward.mean), bits(backward.mean));

  const BatchProfileState merged =
      BatchProfileState::merge(one_column("x", first, 4), one_column("x", second, 3));
  NumericProfileState expected = reference(first);
  expected.exact = forward;
  expected.quantiles.merge(reference(second).quantiles);
  expect_identical(merged.profiles.at("x"), expected);
  // The summed bins are those of one sketch fed every value.
  Values pooled = first;
  pooled.insert(pooled.end(), second.begin(), second.end());
  EXPECT_EQ(merged.profiles.at("x").quantiles.sorted_bins(), reference(pooled).quantiles.sorted_bins());
}

TEST(BatchProfileStateMerge, EmptyOperandsChangeNothing) {
  TestBatch batch;
  batch.add_doubles("x", NANOARROW_TYPE_DOUBLE, {1.5, -2.0});
  batch.add("s", NANOARROW_TYPE_STRING);
  const Values x{1.5, -2.0};

  const BatchProfileState left = BatchProfileState::merge(batch.profile(2), BatchProfileState{});
  const BatchProfileState right = BatchProfileState::merge(BatchProfileState{}, batch.profile(2));
  for (const BatchProfileState* s : {&left, &right}) {
    EXPECT_EQ(s->rows, 2u);
    EXPECT_EQ(names(*s), std::vector<std::string>{"x"});
    EXPECT_EQ(skipped(*s), std::vector<std::string>{"s"});
    expect_identical(s->profiles.at("x"), x);
  }
}

TEST(BatchProfileStateMerge, AdoptsNewColumnsAndUnitesSkippedNames) {
  TestBatch first;
  first.add_ints("id", NANOARROW_TYPE_INT64, {1, 2});
  first.add("label", NANOARROW_TYPE_STRING);
  first.add("note", NANOARROW_TYPE_STRING);
  TestBatch second;
  second.add("id", NANOARROW_TYPE_STRING);
  second.add("label", NANOARROW_TYPE_STRING);
  second.add_doubles("new", NANOARROW_TYPE_DOUBLE, {5.0, std::nullopt});

  for (bool first_is_running : {true, false}) {
    SCOPED_TRACE(first_is_running);
    const BatchProfileState s = first_is_running
                                    ? BatchProfileState::merge(first.profile(2), second.profile(2))
                                    : BatchProfileState::merge(second.profile(2), first.profile(2));
    EXPECT_EQ(names(s), (std::vector<std::string>{"id", "new"}));
    EXPECT_EQ(skipped(s), (std::vector<std::string>{"id", "label", "note"}));
    expect_identical(s.profiles.at("new"), Values{5.0, std::nullopt});
    expect_identical(s.profiles.at("id"), Values{1.0, 2.0});
  }
}

}  // namespace
}  // namespace tessary
