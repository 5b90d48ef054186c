#pragma once

#include <nanoarrow/nanoarrow.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tessary/arrow_import/arrow_import_error.hpp"
#include "tessary/arrow_import/imported_array.hpp"
#include "tessary/internal_error.hpp"
#include "tessary/utf8.hpp"

namespace tessary {

// One validated column of a record batch: the slots
// [first_slot, first_slot + length) of `array`, slot j being physical
// element array->offset + j. `field` is the parsed type of the column's
// field, whose logical type decides how the column is read; `array` was
// built from that field's schema and validated by the import, so its
// buffers cover every one of these slots. A child of a struct array has
// first_slot = the struct's offset and length = the struct's length.
struct ColumnView {
  std::string_view name;
  const ArrowSchemaView* field = nullptr;
  const ArrowArrayView* array = nullptr;
  std::int64_t first_slot = 0;
  std::int64_t length = 0;
};

// A record batch: its row count and its validated columns in schema order.
struct RecordBatchView {
  std::uint64_t rows = 0;
  std::span<const ColumnView> columns;
};

namespace arrow_import_detail {

// A plain struct (not an extension type stored as one) whose field names are
// valid UTF-8: they become the names of profiled columns.
inline void require_record_batch(const ArrowSchema& schema, const ArrowSchemaView& type) {
  if (type.type != NANOARROW_TYPE_STRUCT || type.extension_name.data != nullptr) {
    throw ArrowImportError(ArrowImportError::Kind::unexpected_type, arrow_type_text(schema));
  }
  for (std::int64_t i = 0; i < schema.n_children; ++i) {
    const char* name = schema.children[i]->name;
    if (name != nullptr && !is_utf8(name)) {
      malformed("The name of field " + std::to_string(i) + " is not valid UTF-8");
    }
  }
}

// Nulls among the slots [first, first + length) of a validated `view`. A
// reported count is trusted when it covers exactly those slots; otherwise,
// and when it is unknown (negative), the validity bitmap is counted.
inline std::int64_t null_count(const ArrowArrayView& view, std::int64_t first, std::int64_t length) {
  if (view.layout.buffer_type[0] != NANOARROW_BUFFER_TYPE_VALIDITY) {
    return view.storage_type == NANOARROW_TYPE_NA ? length : 0;
  }
  const std::uint8_t* validity = view.buffer_views[0].data.as_uint8;
  if (view.null_count == 0 || validity == nullptr || length == 0) return 0;
  if (view.null_count > 0 && first == 0 && length == view.length) return view.null_count;
  return length - ArrowBitCountSet(validity, view.offset + first, length);
}

}  // namespace arrow_import_detail

// A record batch imported from an exported struct array: its columns are
// the struct's children restricted to the struct's slots, read in place.
//
// On top of the checks of ImportedArray (the type, a plain struct, checked
// from the schema before the array is looked at), the batch is validated
// here and nowhere else: no null at the top level (an InternalError, as the
// conversion of a nullable struct is not defined), every column at least as
// long as the struct's offset plus length, and no null in the batch's slots
// of a column declared non-nullable (ArrowImportError not_a_record_batch).
// Whatever view() hands out has passed all of these checks.
class ImportedRecordBatch {
 public:
  ImportedRecordBatch(const ArrowSchema& schema, ArrowArray& source)
      : imported_(schema, source, arrow_import_detail::require_record_batch) {
    using arrow_import_detail::null_count;
    const ArrowArrayView& batch = imported_.view();
    if (const std::int64_t nulls = null_count(batch, 0, batch.length); nulls != 0) {
      throw InternalError("Cannot convert nullable StructArray to RecordBatch: found " + std::to_string(nulls) +
                          " top-level nulls, expected 0");
    }
    const auto width = static_cast<std::size_t>(schema.n_children);
    fields_.resize(width);
    columns_.reserve(width);
    ArrowError error;
    ArrowErrorInit(&error);
    for (std::size_t i = 0; i < width; ++i) {
      const ArrowSchema& field = *schema.children[i];
      arrow_import_detail::check_nanoarrow(ArrowSchemaViewInit(&fields_[i], &field, &error), error);
      const std::string_view name = field.name != nullptr ? field.name : "";
      const ArrowArrayView& column = *batch.children[i];
      if (column.length < batch.offset + batch.length) {
        not_a_record_batch("Column '" + std::string(name) + "' has length " + std::to_string(column.length) +
                           " but the record batch needs " + std::to_string(batch.offset + batch.length) +
                           " (offset " + std::to_string(batch.offset) + " + " + std::to_string(batch.length) +
                           " rows)");
      }
      if ((field.flags & ARROW_FLAG_NULLABLE) == 0) {
        if (const std::int64_t nulls = null_count(column, batch.offset, batch.length); nulls != 0) {
          not_a_record_batch("Column '" + std::string(name) + "' is declared non-nullable but contains " +
                             std::to_string(nulls) + " nulls");
        }
      }
      columns_.push_back({name, &fields_[i], &column, batch.offset, batch.length});
    }
    rows_ = static_cast<std::uint64_t>(batch.length);
  }

  ImportedRecordBatch(const ImportedRecordBatch&) = delete;
  ImportedRecordBatch& operator=(const ImportedRecordBatch&) = delete;

  RecordBatchView view() const noexcept { return {rows_, columns_}; }

  // ImportedArray::abandon for the batch's struct array.
  void abandon() noexcept { imported_.abandon(); }

 private:
  [[noreturn]] static void not_a_record_batch(const std::string& message) {
    throw ArrowImportError(ArrowImportError::Kind::not_a_record_batch, message);
  }

  ImportedArray imported_;
  std::vector<ArrowSchemaView> fields_;
  std::vector<ColumnView> columns_;
  std::uint64_t rows_ = 0;
};

}  // namespace tessary
