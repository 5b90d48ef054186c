#pragma once

#include "python_api.hpp"

// The members that the module's execution step adds, each defined beside
// its implementation.
namespace tessary::py {

// Classes: the heap type, created on first use (borrowed reference, or
// nullptr with an exception set).
PyObject* numeric_accumulator_type() noexcept;
PyObject* arrow_batch_profile_accumulator_type() noexcept;
PyObject* string_accumulator_type() noexcept;
PyObject* table_accumulator_type() noexcept;

// Module-level functions.
extern PyMethodDef numeric_state_f64_def;
extern PyMethodDef numeric_profile_f64_def;

}  // namespace tessary::py
