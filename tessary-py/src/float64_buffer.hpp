#pragma once

#include <span>

#include "buffer_view.hpp"

namespace tessary::py {

// Acquires a read-only view of `values` and checks that it is a
// one-dimensional, C-contiguous, 8-byte aligned buffer of host-order
// doubles. Raises the exporter's exception or BufferError; on failure the
// view is released.
BufferView checked_buffer(PyObject* values);

// The elements of a checked view, read in place.
std::span<const double> float64_elements(const BufferView& view);

}  // namespace tessary::py
