// Module entry, creation and execution, with their once-per-process rules.
#include "module/function.h"
#include "module/global_names.h"
#include "module/names.h"
#include "module/sequence.h"
#include "module/state.h"

#include <cstdlib>

namespace qox {

namespace {

const char kModuleDoc[] =
    "\n"
    ".qox 格式的加解密（AES-256-CBC + PKCS7 + 可选 HMAC-SHA256）\n"
    "\n"
    "早期实现依赖第三方库 ``cryptography``，但它并不在 requirements.txt 里\n"
    "（属于隐式依赖，干净环境安装后会直接 ImportError）。本模块改为**纯标准库**实现：\n"
    "AES 算法按 FIPS-197 自己实现（查表法），HMAC 用标准库 ``hmac``/``hashlib``。\n"
    "\n"
    "文件格式与旧实现**完全一致**，老文件无需重新加密即可继续解密：\n"
    "    | MAGIC(4B) | VERSION(1B) | IV(16B) | HMAC(32B) | ENCRYPTED_DATA |\n"
    "（use_hmac=False 时没有 HMAC 段）\n";

const Name kStaticmethod("staticmethod");
const Name kEnumerate("enumerate");
const Name kOpen("open");

// Copies spec.<attr> into the new module's dict. A spec without the attribute
// is skipped; `None` is skipped too unless allowed.
bool copy_spec_attribute(PyObject* spec, PyObject* dict, const char* attr, const char* target,
                         bool allow_none) {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  if (!allow_none && value.get() == Py_None) return true;
  return PyDict_SetItemString(dict, target, value.get()) == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
  ProcessState& state = process_state();
  const int64_t id = PyInterpreterState_GetID(current_interpreter());
  if (id == -1) return nullptr;
  if (state.interpreter_id == -1) {
    state.interpreter_id = id;
  } else if (state.interpreter_id != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded "
                    "into one interpreter per process.");
    return nullptr;
  }
  // A second import in the same interpreter gets the module whose body ran.
  if (state.module != nullptr) return Ref::borrow(state.module).release();

  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());
  if (!copy_spec_attribute(spec, dict, "loader", "__loader__", true) ||
      !copy_spec_attribute(spec, dict, "origin", "__file__", true) ||
      !copy_spec_attribute(spec, dict, "parent", "__package__", true) ||
      !copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false)) {
    return nullptr;
  }
  return module.release();
}

// Leading "major.minor" of the running interpreter's version string.
void runtime_version(int* major, int* minor) {
  char* rest = nullptr;
  *major = static_cast<int>(std::strtol(Py_GetVersion(), &rest, 10));
  *minor = *rest == '.' ? static_cast<int>(std::strtol(rest + 1, nullptr, 10)) : 0;
}

bool warn_on_version_mismatch() {
  int major = 0, minor = 0;
  runtime_version(&major, &minor);
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "compile time Python version %d.%d of module '%.100s' "
                          "%s runtime version %d.%d",
                          PY_MAJOR_VERSION, PY_MINOR_VERSION, "qoxcrypto.crypto", "does not match",
                          major, minor) == 0;
}

bool register_in_sys_modules(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* present = PyDict_GetItemWithError(modules, kModuleName.get());
  if (present != nullptr) return true;
  if (PyErr_Occurred()) return false;
  return PyDict_SetItem(modules, kModuleName.get(), module) == 0;
}

// A builtin the functions keep for good; NameError when it is missing.
bool capture_builtin(const Name& name, PyObject** slot) {
  PyObject* value = PyDict_GetItemWithError(process_state().builtins, name.get());
  if (value == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    }
    return false;
  }
  Py_INCREF(value);
  Py_XSETREF(*slot, value);
  return true;
}

bool run_body(PyObject* module) {
  ProcessState& state = process_state();
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0) {
    return false;
  }
  Py_XSETREF(state.builtins, Ref::borrow(PyModule_GetDict(builtins.get())).release());
  return warn_on_version_mismatch() && create_constants() && register_in_sys_modules(module) &&
         capture_builtin(kStaticmethod, &state.staticmethod_type) &&
         capture_builtin(kEnumerate, &state.enumerate_type) &&
         capture_builtin(kOpen, &state.open_function) && ready_function_type() &&
         run_import_sequence();
}

int exec_module(PyObject* module) noexcept {
  ProcessState& state = process_state();
  if (state.module != nullptr) {
    if (state.module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'crypto' has already been imported. Re-initialisation "
                    "is not supported.");
    return -1;
  }
  state.module = Ref::borrow(module).release();
  state.module_dict = PyModule_GetDict(module);
  if (run_body(module)) return 0;
  // A failed body is forgotten, so that a later import runs it again.
  state.module_dict = nullptr;
  Py_CLEAR(state.module);
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "crypto", kModuleDoc, 0,       nullptr,
    module_slots,          nullptr,  nullptr,    nullptr,
};

}  // namespace

}  // namespace qox

QOX_MODINIT_FUNC PyInit_crypto() { return PyModuleDef_Init(&qox::module_def); }
