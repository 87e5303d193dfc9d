// The import-time sequence: binds every module global, in order, once per process.
#include "module/sequence.h"

#include "aes/python/round_tables.h"
#include "container/own_hmac.h"
#include "module/classes.h"
#include "module/function.h"
#include "module/state.h"
#include "module/unpack.h"

#include <initializer_list>

namespace qox {

namespace {

const Name kOs("os");
const Name kJson("json");
const Name kHmac("hmac");
const Name kStruct("struct");
const Name kHashlib("hashlib");
const Name kTyping("typing");
const Name kUnion("Union");
const Name kDict("Dict");
const Name kAny("Any");
const Name kList("List");
const Name kTuple("Tuple");
const Name kBuildSbox("_build_sbox");
const Name kSbox("_SBOX");
const Name kInvSbox("_INV_SBOX");
const Name kBuildTables("_build_tables");
const Name kKeyCache("_KEY_CACHE");
const Name kNativeAes("_NATIVE_AES");
const Name kTest("__test__");
const Name kInitNativeBackend("_init_native_backend");

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

// `def name(...)`: a new function object bound under its name.
bool define(const char* qualname) {
  const FnSpec* spec = find_spec(qualname);
  if (spec == nullptr) Py_FatalError("qoxcrypto: function description missing");
  Ref function = make_function(*spec);
  if (!function) return false;
  return PyObject_SetAttrString(process_state().module, spec->name, function.get()) == 0;
}

// `a, b, ... = function()` with the function looked up as a module global.
bool bind_call_result(const Name& function_name, const Name* const* targets, Py_ssize_t count) {
  Ref function = lookup_global(function_name);
  if (!function) return false;
  Ref result = Ref::steal(PyObject_CallNoArgs(function.get()));
  if (!result) return false;
  Ref items[16];
  if (count > 16) Py_FatalError("qoxcrypto: too many targets to unpack into");
  if (!unpack_exact(result.get(), items, count)) return false;
  for (Py_ssize_t index = 0; index < count; ++index) {
    if (!store_global(*targets[index], items[index].get())) return false;
  }
  return true;
}

bool bind_call_result(const Name& function_name, std::initializer_list<const Name*> targets) {
  return bind_call_result(function_name, targets.begin(), static_cast<Py_ssize_t>(targets.size()));
}

// The sixteen round tables, remembered so that the CBC loops can tell them
// from lists rebound later.
bool bind_round_tables() {
  return bind_call_result(kBuildTables, kRoundTableNames,
                          static_cast<Py_ssize_t>(kRoundTableCount)) &&
         remember_round_tables();
}

// `target = function()` with the function looked up as a module global.
bool bind_call_value(const Name& function_name, const Name& target) {
  Ref function = lookup_global(function_name);
  Ref result = function ? Ref::steal(PyObject_CallNoArgs(function.get())) : Ref();
  return result && store_global(target, result.get());
}

bool bind_new_dict(const Name& name) {
  Ref dict = Ref::steal(PyDict_New());
  return dict && store_global(name, dict.get());
}

}  // namespace

bool run_import_sequence() noexcept {
  return import_modules({&kOs, &kJson, &kHmac, &kStruct, &kHashlib}) &&
         container::remember_standard_hmac() &&
         import_from(kTyping, {&kUnion, &kDict, &kAny, &kList, &kTuple}) && define("_xtime") &&
         define("_mul") && define("_build_sbox") &&
         bind_call_result(kBuildSbox, {&kSbox, &kInvSbox}) && define("_ror8") &&
         define("_build_tables") && bind_round_tables() && define("_inv_mix_word") &&
         define("_to_rounds") && define("_expand_key") && bind_new_dict(kKeyCache) &&
         define("_get_key") && define("_cbc_encrypt") && define("_cbc_decrypt") &&
         define_class("_NativeAES") && define("_init_native_backend") &&
         bind_call_value(kInitNativeBackend, kNativeAes) && define("_aes_cbc") &&
         define("_pkcs7_pad") && define("_pkcs7_unpad") && define_class("QOXStringCrypto") &&
         bind_new_dict(kTest);
}

}  // namespace qox
