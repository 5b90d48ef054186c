#include "buffer_view.hpp"

#include <bit>
#include <cstring>

#include "errors.hpp"

namespace tessary::py {

std::optional<NativeFormat> native_format(const Py_buffer& view) noexcept {
  const char* format = view.format == nullptr ? "B" : view.format;
  const std::size_t length = std::strlen(format);
  if (length == 1) return NativeFormat{format[0], false};
  if (length != 2) return std::nullopt;
  const char prefix = format[0];
  constexpr bool little_endian = std::endian::native == std::endian::little;
  switch (prefix) {
    case '@':
      return NativeFormat{format[1], false};
    case '=':
      return NativeFormat{format[1], true};
    case '<':
      if (little_endian) return NativeFormat{format[1], true};
      return std::nullopt;
    case '>':
    case '!':
      if (!little_endian) return NativeFormat{format[1], true};
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

BufferView BufferView::acquire(PyObject* exporter) {
  BufferView result;
  if (PyObject_GetBuffer(exporter, &result.view_, PyBUF_FULL_RO) != 0) throw PythonError{};
  result.held_ = true;
  if (result.view_.len < 0) raise_buffer_error("buffer exporter reported a negative length");
  return result;
}

void raise_buffer_error(const char* message) { raise_error(PyExc_BufferError, message); }

void require_shape_and_strides(const Py_buffer& view) {
  if (view.shape == nullptr) raise_buffer_error("shape is null");
  if (view.strides == nullptr) raise_buffer_error("strides is null");
}

}  // namespace tessary::py
