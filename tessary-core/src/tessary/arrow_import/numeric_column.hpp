#pragma once

#include <nanoarrow/nanoarrow.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>

#include "tessary/arrow_import/arrow_import_error.hpp"
#include "tessary/arrow_import/imported_array.hpp"
#include "tessary/float_classes.hpp"
#include "tessary/validity_bitmap.hpp"

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

// The values of a validated numeric column converted to double a block of
// slots at a time, the finite ones kept in order and the others counted: a
// null slot or NaN as missing, an infinity as infinite. That is how every
// profile classifies values, so feeding these finite values and counts
// gives exactly what reading the column in place gives. The element type is
// dispatched once per block, so that one loop can take columns of several
// types at once, and that loop has no data-dependent branch left.
class NumericSlotReader {
 public:
  struct Counts {
    std::uint64_t missing = 0;
    std::uint64_t infinite = 0;
  };

  // A reader of the slots from first_slot on; none for a non-numeric type.
  static std::optional<NumericSlotReader> of(const ArrowSchemaView& field, const ArrowArrayView& array,
                                             std::int64_t first_slot) {
    std::optional<NumericSlotReader> reader;
    read_numeric_column(field, array, first_slot, 0,
                        [&]<typename Element>(const Element* values, const std::uint8_t* validity,
                                              std::int64_t begin, std::int64_t) {
                          reader = NumericSlotReader(&read_slots<Element>, values, validity, begin,
                                                     std::is_floating_point_v<Element>);
                        });
    return reader;
  }

  // The finite values of slots [from, from + count), counted from
  // first_slot, in order: the column's own values when they are float64
  // without a validity bitmap and all finite, which is not copied, and
  // otherwise converted into `scratch` (room for `count` values). The other
  // slots are added to `counts`.
  std::span<const double> read_finite(std::int64_t from, std::int64_t count, double* scratch,
                                      Counts& counts) const {
    return read_(values_, validity_, begin_ + from, count, scratch, counts);
  }

  // Whether the column holds floating-point numbers; only they can be -0.0.
  bool floating() const noexcept { return floating_; }

 private:
  using Read = std::span<const double> (*)(const void*, const std::uint8_t*, std::int64_t, std::int64_t, double*,
                                           Counts&);

  NumericSlotReader(Read read, const void* values, const std::uint8_t* validity, std::int64_t begin, bool floating)
      : read_(read), values_(values), validity_(validity), begin_(begin), floating_(floating) {}

  // Whether no value has an all-ones exponent (NaN or an infinity): adding
  // 1 to such an exponent carries into the sign bit. Integer operations
  // only, so that the compiler vectorizes the loop.
  static bool all_finite(const double* values, std::size_t count) {
    std::uint64_t carries = 0;
    for (std::size_t j = 0; j < count; ++j) {
      carries |= (std::bit_cast<std::uint64_t>(values[j]) & 0x7ff0000000000000ULL) + 0x0010000000000000ULL;
    }
    return (carries >> 63) == 0;
  }

  template <typename Element>
  static std::span<const double> read_slots(const void* untyped, const std::uint8_t* validity, std::int64_t begin,
                                            std::int64_t count, double* scratch, Counts& counts) {
    const Element* values = static_cast<const Element*>(untyped);
    const auto size = static_cast<std::size_t>(count);
    if (validity == nullptr) {
      if constexpr (std::is_same_v<Element, double>) {
        if (all_finite(values + begin, size)) return {values + begin, size};
      } else {
        for (std::size_t j = 0; j < size; ++j) scratch[j] = static_cast<double>(values[begin + j]);
        if (std::is_integral_v<Element> || all_finite(scratch, size)) return {scratch, size};
      }
    }
    // Keeps the finite values of the valid slots: each is written, and kept
    // only if the count moves past it.
    std::size_t kept = 0;
    std::uint64_t infinite = 0;
    const auto keep = [&](double x) __attribute__((always_inline)) {
      scratch[kept] = x;
      if constexpr (std::is_integral_v<Element>) {
        ++kept;
      } else {
        kept += static_cast<std::size_t>(is_finite_value(x));
        infinite += static_cast<std::uint64_t>(std::isinf(x));
      }
    };
    if (validity == nullptr) {
      // float64 values not all finite are kept straight from the column;
      // the others were converted into scratch above, and each is read
      // there before a kept value can overwrite it.
      const double* converted = scratch;
      if constexpr (std::is_same_v<Element, double>) converted = values + begin;
      for (std::size_t j = 0; j < size; ++j) keep(converted[j]);
    } else {
      for_each_valid_slot(validity, begin, begin + count,
                          [&](std::int64_t i) __attribute__((always_inline)) { keep(static_cast<double>(values[i])); });
    }
    counts.infinite += infinite;
    counts.missing += size - kept - infinite;
    return {scratch, kept};
  }

  Read read_;
  const void* values_;
  const std::uint8_t* validity_;
  std::int64_t begin_;
  bool floating_;
};

}  // namespace tessary
