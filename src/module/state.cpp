// The one ProcessState, and global lookups through the module dict, then the builtins.
#include "module/state.h"

namespace qox {

ProcessState& process_state() noexcept {
  static ProcessState state;
  return state;
}

Ref lookup_global(const Name& name) noexcept {
  const ProcessState& state = process_state();
  for (PyObject* dict : {state.module_dict, state.builtins}) {
    if (dict == nullptr) continue;
    PyObject* found = PyDict_GetItemWithError(dict, name.get());
    if (found != nullptr) return Ref::borrow(found);
    if (PyErr_Occurred()) return Ref();
  }
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
  return Ref();
}

bool is_import_time_module(const Name& name, PyObject* obj) noexcept {
  PyObject* modules = process_state().imported_modules;
  return modules != nullptr && PyDict_GetItem(modules, name.get()) == obj;
}

bool store_global(const Name& name, PyObject* value) noexcept {
  return PyDict_SetItem(process_state().module_dict, name.get(), value) == 0;
}

}  // namespace qox
