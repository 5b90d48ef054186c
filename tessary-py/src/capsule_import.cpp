#include "capsule_import.hpp"

namespace tessary::py {

namespace {

ProducerRef capsule_item(PyObject* result, Py_ssize_t index) {
  ProducerRef item(PyRef::checked(PySequence_GetItem(result, index)));
  if (PyCapsule_CheckExact(item.get())) return item;
  if (item.get() == Py_None) raise_error(PyExc_TypeError, "'None' is not an instance of 'PyCapsule'");
  PyRef type_name = PyRef::checked(PyType_GetQualName(Py_TYPE(item.get())));
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'PyCapsule'", type_name.get());
  throw PythonError{};
}

}  // namespace

std::pair<ProducerRef, ProducerRef> call_arrow_c_array(PyObject* object) {
  if (PyRef probe(PyObject_GetAttrString(object, "__arrow_c_array__")); !probe) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    raise_error(PyExc_ValueError, "Expected an object with dunder __arrow_c_array__");
  }
  PyRef method = PyRef::checked(PyObject_GetAttrString(object, "__arrow_c_array__"));
  const ProducerRef result(PyRef::checked(PyObject_CallNoArgs(method.get())));
  if (!PyTuple_Check(result.get())) {
    raise_error(PyExc_TypeError, "Expected __arrow_c_array__ to return a tuple.");
  }
  ProducerRef schema = capsule_item(result.get(), 0);
  ProducerRef array = capsule_item(result.get(), 1);
  return {std::move(schema), std::move(array)};
}

void* capsule_pointer(PyObject* capsule, const char* name) {
  void* pointer = PyCapsule_GetPointer(capsule, name);
  if (pointer == nullptr) throw PythonError{};
  return pointer;
}

ArrowImport<ImportedRecordBatch> import_record_batch(PyObject* object) {
  return ArrowImport<ImportedRecordBatch>(object);
}

}  // namespace tessary::py
