#pragma once

#include <cxxabi.h>

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
//
// One unwind passes through untouched: the forced unwind (pthread_exit)
// with which the interpreter ends a daemon thread that asks for the lock
// back once the interpreter exits (see interpreter_running). It must reach
// the bottom of the thread, so it is rethrown, and the guard is not
// noexcept, which would turn it into std::terminate. (The C++ runtime binds
// that handler's reference to no object, since a forced unwind has none;
// the undefined-behaviour sanitizer, whose null check GCC cannot turn off
// alone, leaves this function's own few lines unchecked.)
template <class Body>
[[gnu::no_sanitize_undefined]] PyObject* guarded(Body&& body) {
  try {
    return body();
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    set_python_error_from_current_exception();
    return nullptr;
  }
}

// The same for entry points that return a status (0 success, -1 failure).
template <class Body>
int guarded_status(Body&& body) {
  // Py_None only marks success; no reference changes hands.
  const PyObject* done = guarded([&]() -> PyObject* {
    body();
    return Py_None;
  });
  return done != nullptr ? 0 : -1;
}

}  // namespace tessary::py
