// The extension module `_native`: multi-phase initialisation whose one
// execution step adds the classes, the functions and `__version__`, each
// name appended to `__all__` as it is added.
#include "errors.hpp"
#include "module_members.hpp"
#include "result_dicts.hpp"

namespace tessary::py {
namespace {

void add_member(PyObject* module, const char* name, PyRef value) {
  PyRef all;
  if (PyObject_HasAttrString(module, "__all__")) {
    all = PyRef::checked(PyObject_GetAttrString(module, "__all__"));
  } else {
    all = new_list();
    if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) throw PythonError{};
  }
  if (PyModule_AddObjectRef(module, name, value.get()) != 0) throw PythonError{};
  append(all.get(), to_python(name));
}

void add_class(PyObject* module, const char* name, PyObject* type) {
  if (type == nullptr) throw PythonError{};
  add_member(module, name, PyRef::borrowed(type));
}

void add_function(PyObject* module, PyMethodDef& definition) {
  PyRef module_name = PyRef::checked(PyModule_GetNameObject(module));
  add_member(module, definition.ml_name,
             PyRef::checked(PyCFunction_NewEx(&definition, module, module_name.get())));
}

PyObject* backend_info(PyObject*, PyObject*) {
  return guarded([] {
    PyRef name = to_python(backend_name);
    PyRef version = to_python(module_version);
    return PyTuple_Pack(2, name.get(), version.get());
  });
}

PyMethodDef backend_info_def = {"backend_info", backend_info, METH_NOARGS,
                                "backend_info()\n--\n\n"};

int execute_module(PyObject* module) {
  return guarded_status([module] {
    add_class(module, "NumericAccumulator", numeric_accumulator_type());
    add_class(module, "ArrowBatchProfileAccumulator", arrow_batch_profile_accumulator_type());
    add_class(module, "StringAccumulator", string_accumulator_type());
    add_function(module, numeric_state_f64_def);
    add_function(module, numeric_profile_f64_def);
    add_function(module, backend_info_def);
    add_member(module, "__version__", to_python(module_version));
    // The table engine behind tessary.profile, outside __all__, which keeps
    // the module's seven original names.
    PyObject* table = table_accumulator_type();
    if (table == nullptr || PyModule_AddObjectRef(module, "TableAccumulator", table) != 0) throw PythonError{};
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tessary::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
  return PyModuleDef_Init(&tessary::py::module_definition);
}
