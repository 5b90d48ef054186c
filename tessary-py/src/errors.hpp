#pragma once

#include <exception>
#include <new>

#include "py_ref.hpp"

namespace tessary::py {

// Sets PanicException (derived from BaseException) with `message`. If even
// that is impossible, writes "uncaught panic at ffi boundary" to stderr and
// aborts.
void raise_panic(const char* message) noexcept;

// Raises RuntimeError, TypeError, ... with a fixed message.
[[noreturn]] void raise_error(PyObject* type, const char* message);

// Attaches the note "while processing 'NAME'" to the pending exception;
// a failure to attach it is discarded.
void add_argument_note(const char* parameter_name) noexcept;

// Maps the active C++ exception to a Python exception. Call only from a
// catch block.
void set_python_error_from_current_exception() noexcept;

// Runs the body of an entry point that returns an object: every C++
// failure leaves a Python exception set and yields nullptr.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_python_error_from_current_exception();
    return nullptr;
  }
}

// The same for entry points that return a status (0 success, -1 failure).
template <class Body>
int guarded_status(Body&& body) noexcept {
  try {
    body();
    return 0;
  } catch (...) {
    set_python_error_from_current_exception();
    return -1;
  }
}

}  // namespace tessary::py
