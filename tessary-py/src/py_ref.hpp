#pragma once

#include <utility>

#include "python_api.hpp"

namespace tessary::py {

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
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

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
  PyObject* object_ = nullptr;
};

}  // namespace tessary::py
