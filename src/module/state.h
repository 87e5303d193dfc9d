// Process-wide state of the module and access to its globals.
#pragma once

#include "module/names.h"
#include "module/ref.h"

#include <cstdint>

namespace qox {

// One copy per process: the module may live in a single interpreter only, and
// its per-module state size is zero. Written only while the module is created
// and executed.
struct ProcessState {
  int64_t interpreter_id = -1;      // interpreter that first imported the module
  PyObject* module = nullptr;       // strong; the module whose body ran (or runs)
  PyObject* module_dict = nullptr;  // borrowed from `module`
  PyObject* builtins = nullptr;     // strong; the builtins module's dict
  // Builtins captured once at execution, whatever the module dict holds later.
  PyObject* staticmethod_type = nullptr;
  PyObject* enumerate_type = nullptr;
  PyObject* open_function = nullptr;
  // name -> the standard module the import bound under it, so that bodies can
  // tell a module still in place from a rebound stand-in.
  PyObject* imported_modules = nullptr;
};

ProcessState& process_state() noexcept;

// Reads a module global the way the module body names it: the module dict,
// then the builtins; NameError "name '%U' is not defined" when in neither.
Ref lookup_global(const Name& name) noexcept;

// True when `obj` is the standard module the import bound as `name`.
bool is_import_time_module(const Name& name, PyObject* obj) noexcept;

// Binds a module global; false with an exception set on failure.
bool store_global(const Name& name, PyObject* value) noexcept;

}  // namespace qox
