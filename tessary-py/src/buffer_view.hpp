#pragma once

#include <cstddef>
#include <optional>
#include <utility>

#include "py_ref.hpp"

namespace tessary::py {

// A buffer view acquired from an exporter: move-only, released exactly once
// (leaked, like a PyRef, once the interpreter exits).
class BufferView {
 public:
  // Requests a full read-only view (format, shape, strides, suboffsets). A
  // refused request leaves the exporter's exception set; a view that claims
  // a negative length is released and refused with BufferError before
  // anything reads it.
  static BufferView acquire(PyObject* exporter);

  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  BufferView(BufferView&& other) noexcept
      : view_(other.view_), held_(std::exchange(other.held_, false)) {}
  BufferView& operator=(BufferView&& other) noexcept {
    if (this != &other) {
      release();
      view_ = other.view_;
      held_ = std::exchange(other.held_, false);
    }
    return *this;
  }
  ~BufferView() { release(); }

  void release() noexcept {
    if (held_ && interpreter_running()) PyBuffer_Release(&view_);
    held_ = false;
  }

  const Py_buffer& view() const noexcept { return view_; }
  const void* data() const noexcept { return view_.buf; }
  std::size_t byte_length() const noexcept { return static_cast<std::size_t>(view_.len); }
  bool is_c_contiguous() const noexcept { return PyBuffer_IsContiguous(&view_, 'C') != 0; }

 private:
  BufferView() noexcept = default;
  Py_buffer view_{};
  bool held_ = false;
};

// The type character of a buffer format that is one character, alone or
// after a prefix that denotes the host's byte order. `standard_sizes` tells
// whether the prefix selects the struct module's standard sizes ("=", "<",
// ">", "!") rather than native ones (none, "@"). A view without a format
// counts as "B".
struct NativeFormat {
  char code;
  bool standard_sizes;
};
std::optional<NativeFormat> native_format(const Py_buffer& view) noexcept;

// Raises BufferError with `message`.
[[noreturn]] void raise_buffer_error(const char* message);

// The shape and strides checks that open every buffer intake.
void require_shape_and_strides(const Py_buffer& view);

}  // namespace tessary::py
