#pragma once

#include <nanoarrow/nanoarrow.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "tessary/arrow_import/arrow_import_error.hpp"

namespace tessary::text_detail {

// In-place access to the values of a validated array of one of the text
// layouts: 32- or 64-bit offsets into one data buffer (utf8, binary and
// their large forms), 16-byte views with inline or out-of-line bytes
// (string_view, binary_view), or values of one fixed width.
//
// The import validated the buffers at nanoarrow's default level: they are
// long enough for the array's slots, but an offset pair may be out of order
// or outside the data, and a view may name a buffer or a range that does not
// exist. value() checks exactly that for the one slot it reads, so no input
// makes it read outside the buffers.
enum class TextLayout { offsets32, offsets64, views, fixed };

struct TextValues {
  const ArrowArrayView* array;

  // The bytes of physical element i, or false when its offsets or its view
  // lie outside the buffers.
  template <TextLayout L>
  [[gnu::always_inline]] bool value(std::int64_t i, const std::uint8_t*& bytes, std::size_t& n) const noexcept {
    const ArrowArrayView& a = *array;
    if constexpr (L == TextLayout::offsets32 || L == TextLayout::offsets64) {
      std::int64_t start;
      std::int64_t stop;
      if constexpr (L == TextLayout::offsets32) {
        start = a.buffer_views[1].data.as_int32[i];
        stop = a.buffer_views[1].data.as_int32[i + 1];
      } else {
        start = a.buffer_views[1].data.as_int64[i];
        stop = a.buffer_views[1].data.as_int64[i + 1];
      }
      bytes = a.buffer_views[2].data.as_uint8 + (start < 0 ? 0 : start);
      n = static_cast<std::size_t>(stop - start);
      return (start >= 0) & (stop >= start) & (stop <= a.buffer_views[2].size_bytes);
    } else if constexpr (L == TextLayout::views) {
      const std::uint8_t* view = a.buffer_views[1].data.as_uint8 + 16 * i;
      std::int32_t size;
      std::memcpy(&size, view, 4);
      n = static_cast<std::size_t>(size);
      if (size <= 12) {
        bytes = view + 4;
        return size >= 0;
      }
      std::int32_t buffer;
      std::int32_t offset;
      std::memcpy(&buffer, view + 8, 4);
      std::memcpy(&offset, view + 12, 4);
      if (buffer < 0 || buffer >= a.n_variadic_buffers || offset < 0 || a.variadic_buffer_sizes == nullptr ||
          a.variadic_buffers[buffer] == nullptr ||
          std::int64_t{offset} + size > a.variadic_buffer_sizes[buffer]) {
        return false;
      }
      bytes = static_cast<const std::uint8_t*>(a.variadic_buffers[buffer]) + offset;
      return true;
    } else {
      const auto width = static_cast<std::size_t>(a.layout.element_size_bits[1] / 8);
      bytes = a.buffer_views[1].data.as_uint8 + static_cast<std::size_t>(i) * width;
      n = width;
      return true;
    }
  }
};

// Calls f.template operator()<L>() with the layout of `storage_type`, one of
// the text storage types.
template <typename F>
decltype(auto) with_text_layout(ArrowType storage_type, F&& f) {
  switch (storage_type) {
    case NANOARROW_TYPE_STRING:
    case NANOARROW_TYPE_BINARY:
      return f.template operator()<TextLayout::offsets32>();
    case NANOARROW_TYPE_LARGE_STRING:
    case NANOARROW_TYPE_LARGE_BINARY:
      return f.template operator()<TextLayout::offsets64>();
    case NANOARROW_TYPE_STRING_VIEW:
    case NANOARROW_TYPE_BINARY_VIEW:
      return f.template operator()<TextLayout::views>();
    default:  // NANOARROW_TYPE_FIXED_SIZE_BINARY
      return f.template operator()<TextLayout::fixed>();
  }
}

inline bool is_text_storage(ArrowType type) noexcept {
  switch (type) {
    case NANOARROW_TYPE_STRING:
    case NANOARROW_TYPE_LARGE_STRING:
    case NANOARROW_TYPE_BINARY:
    case NANOARROW_TYPE_LARGE_BINARY:
    case NANOARROW_TYPE_STRING_VIEW:
    case NANOARROW_TYPE_BINARY_VIEW:
    case NANOARROW_TYPE_FIXED_SIZE_BINARY:
      return true;
    default:
      return false;
  }
}

// The error for a value whose offsets or view value() refused; `where` is
// "slot 7" or "dictionary value 7".
template <TextLayout L>
[[noreturn]] void bad_text_value(std::string_view column, const std::string& where) {
  const char* what = L == TextLayout::views ? "a view outside its data buffers"
                                            : "offsets out of order or outside the data buffer";
  throw ArrowImportError(ArrowImportError::Kind::malformed,
                         "column '" + std::string(column) + "': " + where + " has " + what);
}

}  // namespace tessary::text_detail
