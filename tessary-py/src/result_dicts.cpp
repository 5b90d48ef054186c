#include "result_dicts.hpp"

#include <cmath>
#include <limits>

namespace tessary::py {

PyRef to_python(std::uint64_t value) {
  return PyRef::checked(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
}

PyRef to_python(double value) { return PyRef::checked(PyFloat_FromDouble(value)); }

PyRef to_python(const std::optional<double>& value) {
  if (!value) return PyRef::borrowed(Py_None);
  return to_python(*value);
}

PyRef to_python(const char* text) { return PyRef::checked(PyUnicode_FromString(text)); }

PyRef to_python(std::string_view text) {
  return PyRef::checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

std::uint64_t rounded_estimate(double estimate) noexcept {
  const double rounded = std::round(estimate);
  if (!(rounded > 0.0)) return 0;
  if (rounded >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(rounded);
}

void set_item(PyObject* dict, const char* key, PyRef value) {
  if (PyDict_SetItemString(dict, key, value.get()) != 0) throw PythonError{};
}

PyRef new_dict() { return PyRef::checked(PyDict_New()); }

PyRef new_list() { return PyRef::checked(PyList_New(0)); }

void append(PyObject* list, PyRef item) {
  if (PyList_Append(list, item.get()) != 0) throw PythonError{};
}

PyRef exact_state_dict(const NumericState& state) {
  PyRef dict = new_dict();
  set_item(dict.get(), "count", to_python(state.count));
  set_item(dict.get(), "missing", to_python(state.missing));
  set_item(dict.get(), "infinite", to_python(state.infinite));
  set_item(dict.get(), "mean", to_python(state.reported_mean()));
  set_item(dict.get(), "m2", to_python(state.m2));
  set_item(dict.get(), "m3", to_python(state.m3));
  set_item(dict.get(), "m4", to_python(state.m4));
  set_item(dict.get(), "variance", to_python(state.variance()));
  set_item(dict.get(), "std", to_python(state.std_dev()));
  set_item(dict.get(), "skewness", to_python(state.skewness()));
  set_item(dict.get(), "kurtosis", to_python(state.excess_kurtosis()));
  set_item(dict.get(), "minimum", to_python(state.minimum));
  set_item(dict.get(), "maximum", to_python(state.maximum));
  return dict;
}

}  // namespace tessary::py
