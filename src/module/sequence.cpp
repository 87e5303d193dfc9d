// The standard imports, the statements the areas' parts are written with, and their order.
#include "module/sequence.h"

#include "module/global_names.h"
#include "module/state.h"
#include "module/unpack.h"

#include <initializer_list>

namespace qox {

namespace {

PyObject* module_dict() { return process_state().module_dict; }

// `import a, b, ...`: absolute imports bound under their own names.
bool import_modules(std::initializer_list<const Name*> names) {
  PyObject*& remembered = process_state().imported_modules;
  if (remembered == nullptr && (remembered = PyDict_New()) == nullptr) return false;
  for (const Name* name : names) {
    Ref module = Ref::steal(
        PyImport_ImportModuleLevelObject(name->get(), module_dict(), nullptr, nullptr, 0));
    if (!module || !store_global(*name, module.get()) ||
        PyDict_SetItem(remembered, name->get(), module.get()) < 0) {
      return false;
    }
  }
  return true;
}

// `from module import a, b, ...` in one step.
bool import_from(const Name& module_name, std::initializer_list<const Name*> names) {
  Ref fromlist = Ref::steal(PyList_New(0));
  if (!fromlist) return false;
  for (const Name* name : names) {
    if (PyList_Append(fromlist.get(), name->get()) < 0) return false;
  }
  Ref module = Ref::steal(PyImport_ImportModuleLevelObject(module_name.get(), module_dict(),
                                                           nullptr, fromlist.get(), 0));
  if (!module) return false;
  for (const Name* name : names) {
    Ref value = Ref::steal(PyObject_GetAttr(module.get(), name->get()));
    if (!value) {
      if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name->get());
      }
      return false;
    }
    if (!store_global(*name, value.get())) return false;
  }
  return true;
}

}  // namespace

bool define(const FunctionDescription& function) noexcept {
  Ref object = make_function(function);
  if (!object) return false;
  return PyObject_SetAttrString(process_state().module, function.name, object.get()) == 0;
}

bool bind_call_result(const Name& function_name, const Name* const* targets,
                      size_t count) noexcept {
  Ref function = lookup_global(function_name);
  if (!function) return false;
  Ref result = Ref::steal(PyObject_CallNoArgs(function.get()));
  if (!result) return false;
  constexpr size_t kMaxTargets = 16;
  Ref items[kMaxTargets];
  if (count > kMaxTargets) Py_FatalError("qoxcrypto: too many targets to unpack into");
  if (!unpack_exact(result.get(), items, static_cast<Py_ssize_t>(count))) return false;
  for (size_t index = 0; index < count; ++index) {
    if (!store_global(*targets[index], items[index].get())) return false;
  }
  return true;
}

bool bind_call_result(const Name& function_name,
                      std::initializer_list<const Name*> targets) noexcept {
  return bind_call_result(function_name, targets.begin(), targets.size());
}

bool bind_call_value(const Name& function_name, const Name& target) noexcept {
  Ref function = lookup_global(function_name);
  Ref result = function ? Ref::steal(PyObject_CallNoArgs(function.get())) : Ref();
  return result && store_global(target, result.get());
}

bool bind_new_dict(const Name& name) noexcept {
  Ref dict = Ref::steal(PyDict_New());
  return dict && store_global(name, dict.get());
}

// One statement of the module body, or one area's part of it, per line.
// clang-format off
bool run_import_sequence() noexcept {
  return import_modules({&kOs, &kJson, &kHmac, &kStruct, &kHashlib}) &&
         import_from(kTyping, {&kUnion, &kDict, &kAny, &kList, &kTuple}) &&
         bind_engine_globals() &&
         bind_native_backend() &&
         bind_engine_entry() &&
         bind_container_globals() &&
         bind_new_dict(kTest);
}
// clang-format on

}  // namespace qox
