// The Arrow import of a record batch, the fused profile of its columns, and
// the merge of batch profiles.
#include <gtest/gtest.h>
#include <nanoarrow/nanoarrow.hpp>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tessary/arrow_import.hpp"
#include "tessary/fused_profile.hpp"
#include "test_values.hpp"

namespace tessary {

using Values = std::vector<std::optional<double>>;
using Ints = std::vector<std::optional<std::int64_t>>;
using Names = std::vector<std::string>;

// What the fused state must equal: NumericState and LogQuantileSketch fed
// separately, an absent value counting as missing.
NumericProfileState reference(const Values& values) {
  NumericProfileState r;
  for (const auto& v : values) {
    r.exact.observe(v.value_or(NAN));
    r.quantiles.observe(v.value_or(NAN));
  }
  return r;
}

// Field by field, bit for bit.
auto fields(const NumericProfileState& s) {
  const NumericState& e = s.exact;
  return std::tuple(e.count, e.missing, e.infinite, bits(e.mean), bits(e.m2), bits(e.m3), bits(e.m4), bits(e.minimum),
                    bits(e.maximum), s.quantiles.count(), s.quantiles.zero_count(), s.quantiles.sorted_bins());
}

TEST(NumericProfileState, EqualsSeparateMomentsAndSketch) {
  const Values offered{3.5, std::nullopt, -2.25, NAN, 1e300, -INFINITY, INFINITY, 0.0, -0.0, 5e-13, 1e-12,
                       std::nextafter(1e-12, 1.0), 0.5, -0.5, 7.0, 1e-300, -1e-5, 3.5};
  NumericProfileState s;
  for (const auto& v : offered) s.observe(v);
  EXPECT_EQ(fields(s), fields(reference(offered)));
}

// Counts the releases of the exported array: the test's stand-in for a
// producer, which must see its release callback called exactly once.
int releases = 0;
void (*release_exported)(ArrowArray*) = nullptr;
void count_release(ArrowArray* array) {
  ++releases;
  release_exported(array);
}

void set_extension(ArrowSchema* schema, const char* name) {
  nanoarrow::UniqueBuffer metadata;
  ok(ArrowMetadataBuilderInit(metadata.get(), nullptr));
  ok(ArrowMetadataBuilderAppend(metadata.get(), ArrowCharView("ARROW:extension:name"), ArrowCharView(name)));
  ok(ArrowSchemaSetMetadata(schema, reinterpret_cast<const char*>(metadata->data)));
}

struct Child {
  const char* name;
  ArrowType type;
  Ints values;  // appended as integers whatever the type; a string column takes only nulls
  const char* extension = nullptr;
};

// An exported struct array of `rows` rows, one child per column, each child
// filled on its own (and so possibly longer than the struct).
struct Export {
  nanoarrow::UniqueSchema schema;
  nanoarrow::UniqueArray array;

  Export(const std::vector<Child>& columns, int rows) {
    ArrowSchemaInit(schema.get());
    ok(ArrowSchemaSetTypeStruct(schema.get(), static_cast<std::int64_t>(columns.size())));
    for (std::size_t i = 0; i < columns.size(); ++i) {
      ok(ArrowSchemaInitFromType(schema->children[i], columns[i].type));
      ok(ArrowSchemaSetName(schema->children[i], columns[i].name));
      if (columns[i].extension) set_extension(schema->children[i], columns[i].extension);
    }
    ok(ArrowArrayInitFromSchema(array.get(), schema.get(), nullptr));
    ok(ArrowArrayStartAppending(array.get()));
    for (std::size_t i = 0; i < columns.size(); ++i) {
      ArrowArray* child = array->children[i];
      for (const auto& v : columns[i].values) ok(v ? ArrowArrayAppendInt(child, *v) : ArrowArrayAppendNull(child, 1));
    }
    array->length = rows;
    ok(ArrowArrayFinishBuildingDefault(array.get(), nullptr));
    releases = 0;
    release_exported = array->release;
    array->release = count_release;
  }
};

Names skipped(const BatchProfileState& s) { return {s.skipped_columns.begin(), s.skipped_columns.end()}; }

// The columns are the struct's children over the struct's slots, each read
// through its own offset, its validity bitmap (whatever its null count says)
// and its logical type; 64-bit integers convert to the nearest double, ties
// to even (2^53 + 1 and + 3). An extension type over Int8 (a boolean stored
// as bytes) is not a number. (Each Arrow type, name order and duplicate
// names are checked end to end in the Python suite.)
TEST(ImportedRecordBatch, ProfilesTheStructSlotsOfEveryColumnAndReleasesOnce) {
  const std::int64_t above = 9007199254740993LL;
  Export e({{"sliced", NANOARROW_TYPE_DOUBLE, {1, std::nullopt, 3, 4, std::nullopt, 6, 7, 8, 9, std::nullopt, 11}},
            {"no_bitmap", NANOARROW_TYPE_UINT16, {10, 20, 30, 40, 50, 60, 70}},
            {"stale_null_count", NANOARROW_TYPE_INT64, {0, 0, 1, std::nullopt, 3, 4}},
            {"ties", NANOARROW_TYPE_INT64, {0, 0, above, above + 2, std::nullopt, 0}},
            {"nulls", NANOARROW_TYPE_INT32, Ints(6)},
            {"text", NANOARROW_TYPE_STRING, Ints(6)},
            {"extension", NANOARROW_TYPE_INT8, Ints(6, 1), "arrow.bool8"}},
           6);
  e.array->offset = 2;  // slots 2 .. 5
  e.array->length = 4;
  ArrowArray& sliced = *e.array->children[0];
  sliced.offset = 3;
  sliced.length = 7;
  sliced.null_count = -1;
  e.array->children[1]->offset = 1;
  e.array->children[1]->length = 6;
  e.array->children[2]->null_count = 0;  // the bitmap decides
  {
    const ImportedRecordBatch batch(*e.schema.get(), *e.array.get());
    EXPECT_EQ(e.array->release, nullptr);  // taken over: the producer's copy is marked released
    ASSERT_EQ(batch.view().columns[1].array->buffer_views[0].data.data, nullptr);
    const BatchProfileState s = profile_record_batch(batch.view());
    EXPECT_EQ(std::tuple(s.rows, s.profiles.size(), skipped(s)), std::tuple(4u, 5u, Names{"extension", "text"}));
    const std::pair<const char*, Values> expected[] = {
        {"sliced", {6.0, 7.0, 8.0, 9.0}},
        {"no_bitmap", {40.0, 50.0, 60.0, 70.0}},
        {"stale_null_count", {1.0, std::nullopt, 3.0, 4.0}},
        {"ties", {9007199254740992.0, 9007199254740996.0, std::nullopt, 0.0}},
        {"nulls", Values(4)}};
    for (const auto& [name, v] : expected) EXPECT_EQ(fields(s.profiles.at(name)), fields(reference(v))) << name;
    EXPECT_EQ(releases, 0);
  }
  EXPECT_EQ(releases, 1);
}

// Every refusal throws before anything reads a value, and releases the
// taken array exactly once during the throw.
TEST(ImportedRecordBatch, RefusalsHaveOneKindEachAndReleaseTheArrayOnce) {
  using Kind = ArrowImportError::Kind;
  const struct {
    std::function<void(Export&)> change;
    std::optional<Kind> kind;  // none: InternalError
    std::string message;
  } cases[] = {
      // The type is checked from the schema before the array is looked at.
      {[](Export& e) { e.schema.reset(); ok(ArrowSchemaInitFromType(e.schema.get(), NANOARROW_TYPE_INT64)); },
       Kind::unexpected_type, "int64"},
      {[](Export& e) { set_extension(e.schema.get(), "x.y"); }, Kind::unexpected_type,
       "x.y{struct<a: int64, b: string>}"},
      {[](Export& e) { e.array->offset = 1; }, Kind::not_a_record_batch,
       "Column 'a' has length 4 but the record batch needs 5 (offset 1 + 4 rows)"},
      {[](Export& e) { e.array->buffers[0] = e.array->children[0]->buffers[0]; e.array->null_count = 1; },
       std::nullopt, "Cannot convert nullable StructArray to RecordBatch: found 1 top-level nulls, expected 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    Export e({{"a", NANOARROW_TYPE_INT64, {1, std::nullopt, 3, 4}}, {"b", NANOARROW_TYPE_STRING, Ints(4)}}, 4);
    c.change(e);
    try {
      const ImportedRecordBatch batch(*e.schema.get(), *e.array.get());
      ADD_FAILURE() << "accepted";
    } catch (const ArrowImportError& error) {
      EXPECT_EQ(std::pair(std::optional(error.kind()), std::string(error.what())), std::pair(c.kind, c.message));
    } catch (const InternalError& error) {
      EXPECT_EQ(std::pair(std::optional<Kind>(), std::string(error.what())), std::pair(c.kind, c.message));
    }
    EXPECT_TRUE(releases == 1 && e.array->release == nullptr);
  }
}

// Rows add up, skipped names unite, new columns are adopted, and a column
// known to both merges with the running state as the left operand.
TEST(BatchProfileState, MergeKeepsTheRunningStateLeftAndAdoptsNewColumns) {
  const Values first{1.35, 4.975, -1.525, 1e-13}, second{-11.45, NAN, -5.2, std::nullopt};
  Values pooled = first;
  pooled.insert(pooled.end(), second.begin(), second.end());
  NumericProfileState expected = reference(pooled);  // summed bins are those of one sketch fed everything
  expected.exact = NumericState::merge(reference(first).exact, reference(second).exact);
  // The operand order shows in the last bit of the mean for these values.
  ASSERT_NE(bits(expected.exact.mean), bits(NumericState::merge(reference(second).exact, reference(first).exact).mean));

  const BatchProfileState a{4, {{"x", reference(first)}, {"id", reference({1.0, 2.0})}}, {"id", "label", "note"}};
  const BatchProfileState b{3, {{"x", reference(second)}, {"new", reference({5.0, std::nullopt})}}, {"label"}};
  for (const BatchProfileState& s : {BatchProfileState::merge(a, b), BatchProfileState::merge(b, a)}) {
    EXPECT_EQ(std::tuple(s.rows, s.profiles.size(), skipped(s)), std::tuple(7u, 3u, Names{"id", "label", "note"}));
    EXPECT_EQ(fields(s.profiles.at("new")), fields(reference({5.0, std::nullopt})));
    EXPECT_EQ(fields(s.profiles.at("id")), fields(reference({1.0, 2.0})));
  }
  EXPECT_EQ(fields(BatchProfileState::merge(a, b).profiles.at("x")), fields(expected));
}

}  // namespace tessary
