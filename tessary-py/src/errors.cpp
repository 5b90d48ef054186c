#include "errors.hpp"

#include <cstdio>
#include <cstdlib>

#include "tessary/arrow_import/arrow_import_error.hpp"
#include "tessary/categorical_sketches/string_rows.hpp"
#include "tessary/count_overflow.hpp"
#include "tessary/serialization/byte_reader.hpp"
#include "tessary/table_profile/table_profile.hpp"

namespace tessary::py {

namespace {

// Created on the first internal error and kept for the process lifetime.
PyObject* panic_exception_type() noexcept {
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "tessary._native.PanicException",
      "An internal invariant of the native core failed.", PyExc_BaseException, nullptr);
  return type;
}

}  // namespace

void raise_panic(const char* message) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  PyErr_SetString(type, message);
}

void raise_error(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PythonError{};
}

void add_argument_note(const char* parameter_name) noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    PyRef note(PyUnicode_FromFormat("while processing '%s'", parameter_name));
    PyRef result;
    if (note) result = PyRef(PyObject_CallMethod(value, "add_note", "O", note.get()));
    if (!result) PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

void set_python_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    if (PyErr_Occurred() == nullptr) raise_panic("a failure was reported without an exception");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const CountOverflow& error) {
    PyErr_SetString(PyExc_OverflowError, error.what());
  } catch (const TableInputError& error) {
    const bool type = error.kind() == TableInputError::Kind::type_changed;
    PyErr_SetString(type ? PyExc_TypeError : PyExc_ValueError, error.what());
  } catch (const StringRowsError& error) {
    PyErr_SetString(PyExc_BufferError, error.what());
  } catch (const DecodeError& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const ArrowImportError& error) {
    switch (error.kind()) {
      case ArrowImportError::Kind::unexpected_type:
        PyErr_Format(PyExc_ValueError, "Unexpected data type %s", error.what());
        break;
      case ArrowImportError::Kind::not_a_record_batch:
        PyErr_SetString(PyExc_ValueError, error.what());
        break;
      case ArrowImportError::Kind::malformed:
      case ArrowImportError::Kind::refused_type:
        PyErr_SetString(PyExc_TypeError, error.what());
        break;
    }
  } catch (const std::exception& error) {
    raise_panic(error.what());
  } catch (...) {
    raise_panic("unknown internal error");
  }
}

}  // namespace tessary::py
