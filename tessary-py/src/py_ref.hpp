#pragma once

#include <utility>

#include "python_api.hpp"

namespace tessary::py {

// Whether the interpreter still runs, that is, has not begun to exit. Once
// it has, it ends every daemon thread that asks for the interpreter lock
// back, with a forced unwind (pthread_exit) through the thread's frames. On
// such a thread, inside a Python call made from our code (an export method,
// __index__, a buffer exporter), our frames are unwound without the lock
// (see guarded). So what owns a Python resource lets go of it only while
// the interpreter runs, and otherwise leaks it: the process is exiting, and
// the interpreter's own frames on that thread leak the same way.
//
// (PyGILState_Check() would not do: it is outside the limited API, and once
// the interpreter has torn down its thread-state key it answers 1 to a
// daemon thread that wakes late.)
inline bool interpreter_running() noexcept { return Py_IsInitialized() != 0; }

// Thrown once a Python exception has been set; the entry guard returns the
// error indicator to the interpreter.
struct PythonError {};

// Owned reference to a Python object: move-only, released exactly once.
class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference; a null one means a Python call failed.
  explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      drop();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~PyRef() { drop(); }

  // Takes over a new reference, throwing PythonError if the call that
  // produced it failed.
  static PyRef checked(PyObject* owned) {
    if (owned == nullptr) throw PythonError{};
    return PyRef(owned);
  }
  static PyRef borrowed(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyObject* get() const noexcept { return object_; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  // Releases the reference, or leaks it once the interpreter exits.
  void drop() noexcept {
    if (object_ != nullptr && interpreter_running()) Py_DECREF(object_);
    object_ = nullptr;
  }

  PyObject* object_ = nullptr;
};

}  // namespace tessary::py
