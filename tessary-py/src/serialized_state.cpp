#include "serialized_state.hpp"

#include "errors.hpp"

namespace tessary::py {

PyRef bytes_object(const std::string& data) {
  return PyRef::checked(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

std::string_view contiguous_bytes(const BufferView& view) {
  if (!view.is_c_contiguous()) raise_buffer_error("serialized data must be a contiguous buffer");
  return {static_cast<const char*>(view.data()), view.byte_length()};
}

PyRef reduce_value(PyObject* type, const std::string& serialized) {
  PyRef from_bytes = PyRef::checked(PyObject_GetAttrString(type, "from_bytes"));
  PyRef data = bytes_object(serialized);
  PyRef arguments = PyRef::checked(PyTuple_Pack(1, data.get()));
  return PyRef::checked(PyTuple_Pack(2, from_bytes.get(), arguments.get()));
}

void require_same_class(PyObject* other, PyObject* type) {
  if (Py_TYPE(other) == reinterpret_cast<PyTypeObject*>(type)) return;
  convert_argument("other", [&] {
    PyRef expected = PyRef::checked(PyType_GetName(reinterpret_cast<PyTypeObject*>(type)));
    PyRef found = PyRef::checked(PyType_GetName(Py_TYPE(other)));
    PyErr_Format(PyExc_TypeError, "expected %U, not %U", expected.get(), found.get());
    throw PythonError{};
  });
}

}  // namespace tessary::py
