#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "errors.hpp"

namespace tessary::py {

struct Parameter {
  const char* name;
  bool required;
  const char* default_text = nullptr;  // shown in the text signature of an optional parameter
};

// Binds the arguments of one call to a parameter table: every parameter by
// position or keyword, no catch-alls. bound[i] receives a borrowed reference,
// or nullptr when the optional parameter i was not given. Failures raise
// TypeError with the interpreter's wording, in the interpreter's order of
// checks: surplus positionals, then each keyword as given, then missing
// required parameters.
void bind_vectorcall(const char* display_name, std::span<const Parameter> parameters,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> bound);

// The same for a constructor's tuple and optional dict.
void bind_tuple_and_dict(const char* display_name, std::span<const Parameter> parameters,
                         PyObject* args, PyObject* kwargs, std::span<PyObject*> bound);

// The parameter table of one callable together with its display name
// ("numeric_state_f64()", "NumericAccumulator.update_f64()").
template <std::size_t N>
struct Signature {
  const char* display_name;
  std::array<Parameter, N> parameters;

  std::array<PyObject*, N> bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
    std::array<PyObject*, N> bound{};
    bind_vectorcall(display_name, parameters, args, nargs, kwnames, bound);
    return bound;
  }
  std::array<PyObject*, N> bind(PyObject* args, PyObject* kwargs) const {
    std::array<PyObject*, N> bound{};
    bind_tuple_and_dict(display_name, parameters, args, kwargs, bound);
    return bound;
  }
};

// Converts an argument with the index protocol to an unsigned 64-bit value;
// the interpreter's own OverflowError or TypeError carries the note
// "while processing 'NAME'". A parameter that was not given takes
// `default_value`.
std::uint64_t uint64_argument(PyObject* value, const char* name, std::uint64_t default_value = 0);

// Runs the conversion of one argument. A failure, Python's or the core's
// (an import refused, bytes that do not decode), becomes its Python
// exception as the guard maps it, with the note of `name` (a broken
// invariant, PanicException, gets none), before it propagates. The forced
// unwind of a thread passes untouched (see guarded).
template <class Convert>
[[gnu::no_sanitize_undefined]] auto convert_argument(const char* name, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    set_python_error_from_current_exception();
    if (PyErr_ExceptionMatches(PyExc_Exception)) add_argument_note(name);
    throw PythonError{};
  }
}

}  // namespace tessary::py
