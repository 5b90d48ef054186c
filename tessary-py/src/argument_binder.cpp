#include "argument_binder.hpp"

#include <string>

namespace tessary::py {

namespace {

[[noreturn]] void raise_too_many_positional(const char* display_name,
                                            std::span<const Parameter> parameters,
                                            Py_ssize_t given) {
  std::size_t required = 0;
  for (const Parameter& p : parameters) required += p.required ? 1 : 0;
  const char* verb = given == 1 ? "was" : "were";
  if (required == parameters.size()) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 display_name, parameters.size(), given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 display_name, required, parameters.size(), given, verb);
  }
  throw PythonError{};
}

void bind_keyword(const char* display_name, std::span<const Parameter> parameters,
                  PyObject* keyword, PyObject* value, std::span<PyObject*> bound) {
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    const int differs = PyUnicode_CompareWithASCIIString(keyword, parameters[i].name);
    if (differs == -1 && PyErr_Occurred() != nullptr) throw PythonError{};
    if (differs != 0) continue;
    if (bound[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", display_name,
                   parameters[i].name);
      throw PythonError{};
    }
    bound[i] = value;
    return;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", display_name, keyword);
  throw PythonError{};
}

void check_required(const char* display_name, std::span<const Parameter> parameters,
                    std::span<PyObject*> bound) {
  std::string names;
  std::size_t missing = 0;
  std::size_t total_missing = 0;
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    total_missing += parameters[i].required && bound[i] == nullptr ? 1 : 0;
  }
  if (total_missing == 0) return;
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    if (!parameters[i].required || bound[i] != nullptr) continue;
    ++missing;
    if (missing > 1) {
      if (total_missing == 2) {
        names += " and ";
      } else {
        names += missing == total_missing ? ", and " : ", ";
      }
    }
    names += '\'';
    names += parameters[i].name;
    names += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", display_name,
               total_missing, total_missing == 1 ? "" : "s", names.c_str());
  throw PythonError{};
}

}  // namespace

void bind_vectorcall(const char* display_name, std::span<const Parameter> parameters,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> bound) {
  if (static_cast<std::size_t>(nargs) > parameters.size()) {
    raise_too_many_positional(display_name, parameters, nargs);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t keyword_count = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
      bind_keyword(display_name, parameters, PyTuple_GetItem(kwnames, k), args[nargs + k], bound);
    }
  }
  check_required(display_name, parameters, bound);
}

void bind_tuple_and_dict(const char* display_name, std::span<const Parameter> parameters,
                         PyObject* args, PyObject* kwargs, std::span<PyObject*> bound) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) throw PythonError{};
  if (static_cast<std::size_t>(nargs) > parameters.size()) {
    raise_too_many_positional(display_name, parameters, nargs);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) {
      bind_keyword(display_name, parameters, keyword, value, bound);
    }
  }
  check_required(display_name, parameters, bound);
}

std::uint64_t uint64_argument(PyObject* value, const char* name, std::uint64_t default_value) {
  if (value == nullptr) return default_value;
  return convert_argument(name, [value] {
    PyRef index;
    PyObject* integer = value;
    if (!PyLong_Check(value)) {
      index = PyRef::checked(PyNumber_Index(value));
      integer = index.get();
    }
    const unsigned long long result = PyLong_AsUnsignedLongLong(integer);
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
      throw PythonError{};
    }
    return static_cast<std::uint64_t>(result);
  });
}

}  // namespace tessary::py
