#include "float64_buffer.hpp"

#include <cstdint>

namespace tessary::py {

BufferView checked_buffer(PyObject* values) {
  BufferView view = BufferView::acquire(values);
  const Py_buffer& raw = view.view();
  require_shape_and_strides(raw);
  const auto format = native_format(raw);
  if (raw.itemsize != 8 || !format || format->code != 'd') {
    raise_buffer_error("buffer contents are not compatible with f64");
  }
  // An empty export may carry a dummy address; with nothing to read there
  // is nothing to misalign.
  if (raw.len > 0 && reinterpret_cast<std::uintptr_t>(raw.buf) % 8 != 0) {
    raise_buffer_error("buffer contents are insufficiently aligned for f64");
  }
  if (raw.ndim != 1) {
    raise_buffer_error("Tessary native numeric kernels require a 1D float64 buffer.");
  }
  if (!view.is_c_contiguous()) {
    raise_buffer_error("Tessary native numeric kernels require a C-contiguous float64 buffer.");
  }
  return view;
}

std::span<const double> float64_elements(const BufferView& view) {
  if (!view.is_c_contiguous() || view.data() == nullptr) {
    raise_buffer_error("Tessary could not borrow the supplied float64 buffer as a contiguous slice.");
  }
  return {static_cast<const double*>(view.data()), view.byte_length() / sizeof(double)};
}

}  // namespace tessary::py
