#include "tessary/arrow_import.hpp"

#include <gtest/gtest.h>
#include <nanoarrow/nanoarrow.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tessary {
namespace {

void ok(ArrowErrorCode code) { ASSERT_EQ(code, NANOARROW_OK); }

// Counts the releases of one exported array: the test's stand-in for a
// producer, which must see its release callback called exactly once.
struct ReleaseCounter {
  static inline int released = 0;
  static inline void (*inner)(ArrowArray*) = nullptr;
  static void release(ArrowArray* array) {
    ++released;
    inner(array);
  }
  static void watch(ArrowArray* array) {
    released = 0;
    inner = array->release;
    array->release = release;
  }
};

// An exported struct {a: int64 (nullable), b: utf8} of 4 rows, a = [1, null, 3, 4].
struct Export {
  nanoarrow::UniqueSchema schema;
  nanoarrow::UniqueArray array;

  Export() {
    ArrowSchemaInit(schema.get());
    ok(ArrowSchemaSetTypeStruct(schema.get(), 2));
    ok(ArrowSchemaInitFromType(schema->children[0], NANOARROW_TYPE_INT64));
    ok(ArrowSchemaSetName(schema->children[0], "a"));
    ok(ArrowSchemaInitFromType(schema->children[1], NANOARROW_TYPE_STRING));
    ok(ArrowSchemaSetName(schema->children[1], "b"));
    ok(ArrowArrayInitFromSchema(array.get(), schema.get(), nullptr));
    ok(ArrowArrayStartAppending(array.get()));
    const std::optional<std::int64_t> a[] = {1, std::nullopt, 3, 4};
    for (const auto& value : a) {
      ok(value ? ArrowArrayAppendInt(array->children[0], *value) : ArrowArrayAppendNull(array->children[0], 1));
      ok(ArrowArrayAppendString(array->children[1], ArrowCharView("s")));
      ok(ArrowArrayFinishElement(array.get()));
    }
    ok(ArrowArrayFinishBuildingDefault(array.get(), nullptr));
    ReleaseCounter::watch(array.get());
  }
};

TEST(ImportedRecordBatch, TakesTheArrayOverAndViewsChildrenOverTheStructSlots) {
  Export e;
  e.array->offset = 1;
  e.array->length = 2;
  {
    const ImportedRecordBatch batch(*e.schema.get(), *e.array.get());
    EXPECT_EQ(e.array->release, nullptr);  // taken over: the producer's copy is marked released
    const RecordBatchView view = batch.view();
    ASSERT_EQ(view.columns.size(), 2u);
    EXPECT_EQ(view.rows, 2u);
    EXPECT_EQ(view.columns[0].name, "a");
    EXPECT_EQ(view.columns[1].field->type, NANOARROW_TYPE_STRING);
    EXPECT_EQ(view.columns[0].first_slot, 1);
    EXPECT_EQ(view.columns[0].length, 2);
    EXPECT_EQ(ReleaseCounter::released, 0);
  }
  EXPECT_EQ(ReleaseCounter::released, 1);
}

using Change = std::function<void(Export&)>;

// Every refusal throws before anything reads a value, and releases the
// taken array exactly once during the throw.
TEST(ImportedRecordBatch, RefusalsHaveOneKindEachAndReleaseTheArrayOnce) {
  using Kind = ArrowImportError::Kind;
  const auto extension = [](Export& e) {
    nanoarrow::UniqueBuffer metadata;
    ok(ArrowMetadataBuilderInit(metadata.get(), nullptr));
    ok(ArrowMetadataBuilderAppend(metadata.get(), ArrowCharView("ARROW:extension:name"), ArrowCharView("x.y")));
    ok(ArrowSchemaSetMetadata(e.schema.get(), reinterpret_cast<const char*>(metadata->data)));
  };
  const struct {
    const char* what;
    Change change;
    std::optional<Kind> kind;  // none: InternalError
    std::string message;       // checked when not empty
  } cases[] = {
      // The type is checked from the schema before the array is looked at.
      {"not a struct, with an array that does not fit it",
       [](Export& e) {
         e.schema.reset();
         ok(ArrowSchemaInitFromType(e.schema.get(), NANOARROW_TYPE_INT64));
       },
       Kind::unexpected_type, "int64"},
      {"extension struct", extension, Kind::unexpected_type, "x.y{struct<a: int64, b: string>}"},
      {"short column", [](Export& e) { e.array->offset = 1; }, Kind::not_a_record_batch, ""},
      {"top-level nulls",
       [](Export& e) {
         e.array->buffers[0] = e.array->children[0]->buffers[0];
         e.array->null_count = 1;
       },
       std::nullopt, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Export e;
    c.change(e);
    try {
      const ImportedRecordBatch batch(*e.schema.get(), *e.array.get());
      ADD_FAILURE() << "accepted";
    } catch (const ArrowImportError& error) {
      EXPECT_EQ(std::optional(error.kind()), c.kind);
      if (!c.message.empty()) {
        EXPECT_EQ(error.what(), c.message);
      }
    } catch (const InternalError&) {
      EXPECT_FALSE(c.kind.has_value());
    }
    EXPECT_EQ(ReleaseCounter::released, 1);
    EXPECT_EQ(e.array->release, nullptr);
  }
}

TEST(ImportedArray, ANumericArrayIsReadAtItsOffsetAndOtherTypesAreRefused) {
  Export e;
  ArrowArray& a = *e.array->children[0];
  a.offset = 1;
  a.length = 3;
  const ImportedArray imported(*e.schema->children[0], a, require_numeric);
  std::vector<std::optional<std::int64_t>> read;
  EXPECT_TRUE(read_numeric_column(imported, [&]<typename Element>(const Element* values, const std::uint8_t* validity,
                                                                  std::int64_t begin, std::int64_t end) {
    for (std::int64_t i = begin; i < end; ++i) {
      read.push_back(ArrowBitGet(validity, i) ? std::optional<std::int64_t>(values[i]) : std::nullopt);
    }
  }));
  EXPECT_EQ(read, (std::vector<std::optional<std::int64_t>>{std::nullopt, 3, 4}));

  try {
    const ImportedArray refused(*e.schema->children[1], *e.array->children[1], require_numeric);
    ADD_FAILURE() << "accepted";
  } catch (const ArrowImportError& error) {
    EXPECT_EQ(error.kind(), ArrowImportError::Kind::unexpected_type);
    EXPECT_EQ(error.what(), std::string("string"));
  }
}

}  // namespace
}  // namespace tessary
