// The import-time sequence: binds every module global, in order, once per process.
#pragma once

#include "module/classes.h"
#include "module/function.h"
#include "module/names.h"

#include <cstddef>
#include <initializer_list>

namespace qox {

// Runs the sequence on the module recorded in the process state: the standard
// imports, then each area's part below in the order listed, then `__test__`.
// False with an exception set when a step fails.
bool run_import_sequence() noexcept;

// Each area binds its own globals, one statement of the module body per step;
// the frame only fixes the order in which the parts run.
bool bind_engine_globals() noexcept;     // aes/python/import_steps.cpp: _xtime .. _cbc_decrypt
bool bind_native_backend() noexcept;     // native/import_steps.cpp: _NativeAES .. _NATIVE_AES
bool bind_engine_entry() noexcept;       // aes/python/import_steps.cpp: _aes_cbc
bool bind_container_globals() noexcept;  // container/import_steps.cpp: _pkcs7_pad ..
                                         // QOXStringCrypto

// The statements the parts are written with. Each returns false with an
// exception set when it fails.

// `def name(...)`: a new function object bound under its name.
bool define(const FunctionDescription& function) noexcept;

// `class Name: ...`: define_class in classes.h.

// `a, b, ... = function()` with the function looked up as a module global.
bool bind_call_result(const Name& function_name, const Name* const* targets, size_t count) noexcept;
bool bind_call_result(const Name& function_name,
                      std::initializer_list<const Name*> targets) noexcept;

// `target = function()` with the function looked up as a module global.
bool bind_call_value(const Name& function_name, const Name& target) noexcept;

// `name = {}`
bool bind_new_dict(const Name& name) noexcept;

}  // namespace qox
