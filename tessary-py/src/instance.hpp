#pragma once

#include <new>
#include <utility>

#include "borrow_flag.hpp"
#include "errors.hpp"

namespace tessary::py {

// Layout of an instance of one of the module's classes: the Python header,
// the borrow flag and the C++ state, owned by value.
template <class Value>
struct Instance {
  PyObject ob_base;
  BorrowFlag borrow;
  Value value;

  static Instance& of(PyObject* self) noexcept { return *reinterpret_cast<Instance*>(self); }
};

// Allocates an instance of `type` holding `value`. The value is built before
// the allocation, so nothing can fail with a half-built instance.
template <class Value>
PyObject* new_instance(PyTypeObject* type, Value value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) throw PythonError{};
  auto& instance = Instance<Value>::of(self);
  new (&instance.borrow) BorrowFlag();
  new (&instance.value) Value(std::move(value));
  return self;
}

// tp_dealloc of a heap type: destroy the state, free through the type's
// tp_free, then drop the instance's reference to its heap type.
template <class Value>
void deallocate_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto& instance = Instance<Value>::of(self);
  try {
    instance.value.~Value();
    instance.borrow.~BorrowFlag();
  } catch (...) {
    // Nothing may be raised from a destructor: report it as unraisable.
    set_python_error_from_current_exception();
    PyErr_WriteUnraisable(self);
  }
  auto free_instance = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_instance(self);
  Py_DECREF(type);
}

// The heap type of one of the module's classes, created from a spec on
// first use and kept for the process lifetime: final (no base-type flag),
// immutable, without instance dict or weak references. Returns a borrowed
// reference, or nullptr with an exception set.
template <class Value>
PyObject* class_type(const char* qualified_name, const char* doc, newfunc create,
                     PyMethodDef* methods, PyGetSetDef* getset) noexcept {
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(create)},
      {Py_tp_dealloc, reinterpret_cast<void*>(deallocate_instance<Value>)},
      {Py_tp_methods, methods},
      {Py_tp_getset, getset},
      {Py_tp_doc, const_cast<char*>(doc)},
      {0, nullptr},
  };
  static PyType_Spec spec = {qualified_name, static_cast<int>(sizeof(Instance<Value>)), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&spec);
  return type;
}

}  // namespace tessary::py
