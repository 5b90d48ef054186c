#pragma once

#include <nanoarrow/nanoarrow.h>

#include <cstdint>

#include "tessary/arrow_import/arrow_import_error.hpp"
#include "tessary/arrow_import/imported_array.hpp"

namespace tessary {

// The ten Arrow types read as numbers: Int8/16/32/64, UInt8/16/32/64,
// Float32 and Float64, by their logical type. Storage-compatible types
// (timestamps, dates, durations, dictionary indices) are not numbers, and
// neither is an extension type: its meaning is not its storage's.
inline bool is_numeric_type(const ArrowSchemaView& field) noexcept {
  if (field.extension_name.data != nullptr) return false;
  switch (field.type) {
    case NANOARROW_TYPE_INT8:
    case NANOARROW_TYPE_INT16:
    case NANOARROW_TYPE_INT32:
    case NANOARROW_TYPE_INT64:
    case NANOARROW_TYPE_UINT8:
    case NANOARROW_TYPE_UINT16:
    case NANOARROW_TYPE_UINT32:
    case NANOARROW_TYPE_UINT64:
    case NANOARROW_TYPE_FLOAT:
    case NANOARROW_TYPE_DOUBLE:
      return true;
    default:
      return false;
  }
}

// An ImportedArray type check that refuses every type but the ten.
inline void require_numeric(const ArrowSchema& schema, const ArrowSchemaView& type) {
  if (!is_numeric_type(type)) {
    throw ArrowImportError(ArrowImportError::Kind::unexpected_type, arrow_type_text(schema));
  }
}

// Reads slots [first_slot, first_slot + length) of a validated numeric
// column in place: calls
//   read.template operator()<Element>(values, validity, begin, end)
// with the element type of the field, the value buffer, the validity bitmap
// (null when there is none) and the physical slot range (array offset
// applied). One instantiation per element type, so the width and the
// conversion are fixed for a whole loop. Returns false, without calling
// `read`, for a type that is not numeric. `array` must have been built from
// `field` and validated for these slots (ImportedArray, ImportedRecordBatch).
template <typename Read>
bool read_numeric_column(const ArrowSchemaView& field, const ArrowArrayView& array, std::int64_t first_slot,
                         std::int64_t length, Read&& read) {
  if (!is_numeric_type(field)) return false;
  const std::int64_t begin = array.offset + first_slot;
  const std::int64_t end = begin + length;
  const std::uint8_t* validity = array.buffer_views[0].data.as_uint8;
  const void* values = array.buffer_views[1].data.data;
  switch (field.type) {
    case NANOARROW_TYPE_INT8:
      read.template operator()<std::int8_t>(static_cast<const std::int8_t*>(values), validity, begin, end);
      break;
    case NANOARROW_TYPE_INT16:
      read.template operator()<std::int16_t>(static_cast<const std::int16_t*>(values), validity, begin, end);
      break;
    case NANOARROW_TYPE_INT32:
      read.template operator()<std::int32_t>(static_cast<const std::int32_t*>(values), validity, begin, end);
      break;
    case NANOARROW_TYPE_INT64:
      read.template operator()<std::int64_t>(static_cast<const std::int64_t*>(values), validity, begin, end);
      break;
    case NANOARROW_TYPE_UINT8:
      read.template operator()<std::uint8_t>(static_cast<const std::uint8_t*>(values), validity, begin, end);
      break;
    case NANOARROW_TYPE_UINT16:
      read.template operator()<std::uint16_t>(static_cast<const std::uint16_t*>(values), validity, begin, end);
      break;
    case NANOARROW_TYPE_UINT32:
      read.template operator()<std::uint32_t>(static_cast<const std::uint32_t*>(values), validity, begin, end);
      break;
    case NANOARROW_TYPE_UINT64:
      read.template operator()<std::uint64_t>(static_cast<const std::uint64_t*>(values), validity, begin, end);
      break;
    case NANOARROW_TYPE_FLOAT:
      read.template operator()<float>(static_cast<const float*>(values), validity, begin, end);
      break;
    default:  // NANOARROW_TYPE_DOUBLE
      read.template operator()<double>(static_cast<const double*>(values), validity, begin, end);
      break;
  }
  return true;
}

// The same for a whole imported array: its own offset and length.
template <typename Read>
bool read_numeric_column(const ImportedArray& imported, Read&& read) {
  return read_numeric_column(imported.type(), imported.view(), 0, imported.view().length, read);
}

}  // namespace tessary
