// _NativeAES: AES-CBC through the operating system's CNG library, driven by ctypes.
//
// Every step goes through the host's ctypes objects, exactly as Python code
// would, so that tests can put a stand-in library behind ctypes.WinDLL.
#include "module/call.h"
#include "module/handled.h"
#include "native/functions.h"

namespace qox::native {

namespace {

const Name kCtypes("ctypes");
const Name kWinDll("WinDLL");
const Name kBcrypt("bcrypt");
const Name kCUlong("c_ulong");
const Name kCLong("c_long");
const Name kCVoidP("c_void_p");
const Name kCWcharP("c_wchar_p");
const Name kCCharP("c_char_p");
const Name kPointer("POINTER");
const Name kByref("byref");
const Name kSizeof("sizeof");
const Name kCreateStringBuffer("create_string_buffer");
const Name kArgtypes("argtypes");
const Name kRestype("restype");
const Name kValue("value");
const Name kRaw("raw");
const Name kCtypesAttr("_ctypes");
const Name kDllAttr("_dll");
const Name kAlgAttr("_alg");
const Name kObjLenAttr("_obj_len");
const Name kChecked("_checked");
const Name kOpenProvider("BCryptOpenAlgorithmProvider");
const Name kGetProperty("BCryptGetProperty");
const Name kSetProperty("BCryptSetProperty");
const Name kGenerateKey("BCryptGenerateSymmetricKey");
const Name kBCryptEncrypt("BCryptEncrypt");
const Name kBCryptDecrypt("BCryptDecrypt");
const Name kDestroyKey("BCryptDestroyKey");
const Name kAes("AES");
const Name kObjectLength("ObjectLength");
const Name kChainingMode("ChainingMode");
const Name kChainingModeCbc("ChainingModeCBC");
const Name kName("name");
const Name kBcryptDll("bcrypt.dll");
const Name kStatusFormat("08X");

Ref make_int(long long value) { return Ref::steal(PyLong_FromLongLong(value)); }

// `self._checked(status)`, through the instance as the methods call it.
bool checked(PyObject* self, Ref status) {
  return status && call_method(self, kChecked, {status.get()});
}

// [ctypes.<name>, ...] with POINTER(...) for the entries given as pointers.
struct CtypesArgType {
  const Name* name;
  bool pointer;
};
Ref type_list(PyObject* ctypes, std::initializer_list<CtypesArgType> types) {
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return Ref();
  for (const CtypesArgType& arg_type : types) {
    Ref type = get_attr(ctypes, *arg_type.name);
    if (type && arg_type.pointer) type = call_method(ctypes, kPointer, {type.get()});
    if (!type || PyList_Append(list.get(), type.get()) < 0) return Ref();
  }
  return list;
}

// fn.argtypes = [...]; fn.restype = c_long
bool declare(PyObject* ctypes, PyObject* function, std::initializer_list<CtypesArgType> types) {
  Ref argtypes = type_list(ctypes, types);
  Ref restype = get_attr(ctypes, kCLong);
  return argtypes && restype && PyObject_SetAttr(function, kArgtypes.get(), argtypes.get()) == 0 &&
         PyObject_SetAttr(function, kRestype.get(), restype.get()) == 0;
}

bool declare_functions(PyObject* ctypes, PyObject* dll) {
  const CtypesArgType void_p{&kCVoidP, false}, wchar_p{&kCWcharP, false}, char_p{&kCCharP, false},
      ulong{&kCUlong, false}, ulong_ptr{&kCUlong, true}, void_pp{&kCVoidP, true};
  Ref open = get_attr(dll, kOpenProvider);
  if (!open || !declare(ctypes, open.get(), {void_pp, wchar_p, wchar_p, ulong})) return false;
  Ref get = get_attr(dll, kGetProperty);
  if (!get || !declare(ctypes, get.get(), {void_p, wchar_p, void_p, ulong, ulong_ptr, ulong})) {
    return false;
  }
  Ref set = get_attr(dll, kSetProperty);
  if (!set || !declare(ctypes, set.get(), {void_p, wchar_p, void_p, ulong, ulong})) return false;
  Ref generate = get_attr(dll, kGenerateKey);
  if (!generate ||
      !declare(ctypes, generate.get(), {void_p, void_pp, char_p, ulong, char_p, ulong, ulong})) {
    return false;
  }
  for (const Name* name : {&kBCryptEncrypt, &kBCryptDecrypt}) {
    Ref function = get_attr(dll, *name);
    if (!function ||
        !declare(ctypes, function.get(),
                 {void_p, char_p, ulong, void_p, char_p, ulong, char_p, ulong, ulong_ptr, ulong})) {
      return false;
    }
  }
  return true;
}

PyObject* init_impl(PyObject* const* args) noexcept {
  PyObject* self = args[0];
  Ref ctypes = Ref::steal(PyImport_ImportModuleLevelObject(
      kCtypes.get(), process_state().module_dict, nullptr, nullptr, 0));
  if (!ctypes || PyObject_SetAttr(self, kCtypesAttr.get(), ctypes.get()) < 0) return nullptr;
  Ref dll = call_method(ctypes.get(), kWinDll, {kBcrypt.get()});
  if (!dll || PyObject_SetAttr(self, kDllAttr.get(), dll.get()) < 0) return nullptr;
  Ref ulong = get_attr(ctypes.get(), kCUlong);
  if (!ulong || !declare_functions(ctypes.get(), dll.get())) return nullptr;
  Ref zero = make_int(0);
  if (!zero) return nullptr;

  Ref alg = call_method(ctypes.get(), kCVoidP, {});
  if (!alg || PyObject_SetAttr(self, kAlgAttr.get(), alg.get()) < 0) return nullptr;
  Ref alg_ref = call_method(ctypes.get(), kByref, {alg.get()});
  if (!alg_ref || !checked(self, call_method(dll.get(), kOpenProvider,
                                             {alg_ref.get(), kAes.get(), Py_None, zero.get()}))) {
    return nullptr;
  }

  Ref obj_len = call(ulong.get(), {zero.get()});
  if (!obj_len) return nullptr;
  Ref got = call(ulong.get(), {zero.get()});
  if (!got) return nullptr;
  Ref obj_len_ref = call_method(ctypes.get(), kByref, {obj_len.get()});
  if (!obj_len_ref) return nullptr;
  Ref obj_len_size = call_method(ctypes.get(), kSizeof, {obj_len.get()});
  if (!obj_len_size) return nullptr;
  Ref got_ref = call_method(ctypes.get(), kByref, {got.get()});
  if (!got_ref || !checked(self, call_method(dll.get(), kGetProperty,
                                             {alg.get(), kObjectLength.get(), obj_len_ref.get(),
                                              obj_len_size.get(), got_ref.get(), zero.get()}))) {
    return nullptr;
  }
  Ref length = get_attr(obj_len.get(), kValue);
  if (!length || PyObject_SetAttr(self, kObjLenAttr.get(), length.get()) < 0) return nullptr;

  // The mode string's byte count as UTF-16 with its terminating NUL.
  PyObject* mode = kChainingModeCbc.get();
  Ref mode_bytes = make_int((PyUnicode_GET_LENGTH(mode) + 1) * 2);
  if (!mode_bytes || !checked(self, call_method(dll.get(), kSetProperty,
                                                {alg.get(), kChainingMode.get(), mode,
                                                 mode_bytes.get(), zero.get()}))) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* checked_impl(PyObject* const* args) noexcept {
  PyObject* status = args[0];
  Ref zero = make_int(0);
  if (!zero) return nullptr;
  const int negative = PyObject_RichCompareBool(status, zero.get(), Py_LT);
  if (negative < 0) return nullptr;
  if (!negative) return Ref::borrow(status).release();
  Ref mask = make_int(0xFFFFFFFFLL);
  if (!mask) return nullptr;
  Ref unsigned_status = Ref::steal(PyNumber_And(status, mask.get()));
  if (!unsigned_status) return nullptr;
  Ref hex = Ref::steal(PyObject_Format(unsigned_status.get(), kStatusFormat.get()));
  if (!hex) return nullptr;
  return raise_with(PyExc_OSError, text_with_value("BCrypt 调用失败: 0x", hex.get()));
}

// The part of crypt between key creation and the result; the caller destroys
// the key on every path.
Ref run_cipher(PyObject* self, PyObject* ctypes, PyObject* dll, PyObject* hkey, PyObject* key_obj,
               PyObject* const* args) {
  PyObject* key = args[1];
  PyObject* iv = args[2];
  PyObject* data = args[3];
  const bool encrypt = args[4] == Py_True;
  Ref zero = make_int(0);
  Ref sixteen = make_int(16);
  Ref key_len = make_int(PyBytes_GET_SIZE(key));
  Ref data_len = make_int(PyBytes_GET_SIZE(data));
  if (!zero || !sixteen || !key_len || !data_len) return Ref();

  Ref alg = get_attr(self, kAlgAttr);
  if (!alg) return Ref();
  Ref obj_len = get_attr(self, kObjLenAttr);
  if (!obj_len) return Ref();
  Ref hkey_ref = call_method(ctypes, kByref, {hkey});
  if (!hkey_ref || !checked(self, call_method(dll, kGenerateKey,
                                              {alg.get(), hkey_ref.get(), key_obj, obj_len.get(),
                                               key, key_len.get(), zero.get()}))) {
    return Ref();
  }
  Ref out = call_method(ctypes, kCreateStringBuffer, {data_len.get()});
  if (!out) return Ref();
  Ref written = call_method(ctypes, kCUlong, {zero.get()});
  if (!written) return Ref();
  // A private IV copy: CNG writes the chaining value back into it.
  Ref iv_copy = Ref::steal(PyBytes_FromObject(iv));
  if (!iv_copy) return Ref();
  Ref iv_buf = call_method(ctypes, kCreateStringBuffer, {iv_copy.get(), sixteen.get()});
  if (!iv_buf) return Ref();
  Ref written_ref = call_method(ctypes, kByref, {written.get()});
  if (!written_ref ||
      !checked(self, call_method(dll, encrypt ? kBCryptEncrypt : kBCryptDecrypt,
                                 {hkey, data, data_len.get(), Py_None, iv_buf.get(), sixteen.get(),
                                  out.get(), data_len.get(), written_ref.get(), zero.get()}))) {
    return Ref();
  }
  Ref produced = get_attr(written.get(), kValue);
  if (!produced) return Ref();
  const int same = PyObject_RichCompareBool(produced.get(), data_len.get(), Py_EQ);
  if (same < 0) return Ref();
  if (!same) {
    PyErr_Format(PyExc_OSError, "BCrypt 输出长度异常: %S != %S", produced.get(), data_len.get());
    return Ref();
  }
  Ref raw = get_attr(out.get(), kRaw);
  if (!raw) return Ref();
  return Ref::steal(PySequence_GetSlice(raw.get(), 0, PyBytes_GET_SIZE(data)));
}

// The cleanup of crypt: destroys the key when one was created.
bool destroy_key(PyObject* dll, PyObject* hkey) {
  Ref value = get_attr(hkey, kValue);
  const int created = value ? PyObject_IsTrue(value.get()) : -1;
  if (created <= 0) return created == 0;
  return bool(call_method(dll, kDestroyKey, {hkey}));
}

PyObject* crypt_impl(PyObject* const* args) noexcept {
  PyObject* self = args[0];
  Ref ctypes = get_attr(self, kCtypesAttr);
  if (!ctypes) return nullptr;
  Ref obj_len = get_attr(self, kObjLenAttr);
  if (!obj_len) return nullptr;
  Ref key_obj = call_method(ctypes.get(), kCreateStringBuffer, {obj_len.get()});
  if (!key_obj) return nullptr;
  Ref hkey = call_method(ctypes.get(), kCVoidP, {});
  if (!hkey) return nullptr;
  // No key exists before this point, so there is nothing to clean up yet.
  Ref dll = get_attr(self, kDllAttr);
  if (!dll) return nullptr;
  Ref result = run_cipher(self, ctypes.get(), dll.get(), hkey.get(), key_obj.get(), args);
  if (!result) {
    // As a `finally:` clause: an error of the cleanup replaces the one in
    // flight (which becomes its context); otherwise the first propagates.
    HandledException failure;
    if (!destroy_key(dll.get(), hkey.get())) return nullptr;
    return failure.reraise();
  }
  if (!destroy_key(dll.get(), hkey.get())) return nullptr;
  return result.release();
}

const FunctionDescription kNativeAesInit = {
    "__init__", "_NativeAES.__init__", nullptr, {Param("self")}, nullptr, init_impl,
};
const FunctionDescription kNativeAesChecked = {
    "_checked", "_NativeAES._checked", nullptr, {Param("status")}, nullptr, checked_impl,
};
const FunctionDescription kNativeAesCrypt = {
    "crypt",
    "_NativeAES.crypt",
    nullptr,
    {Param("self"), Param("key", "bytes"), Param("iv", "bytes"), Param("data", "bytes"),
     Param("encrypt", "bool")},
    "bytes",
    crypt_impl,
};

Ref make_library_name() noexcept { return Ref::borrow(kBcryptDll.get()); }

}  // namespace

const ClassDescription kNativeAesClass = {
    "_NativeAES",
    "Windows bcrypt.dll 的 AES-CBC 封装（只做单块链式的裸 CBC，不含填充）",
    {{&kName, make_library_name}},
    {
        {&kNativeAesInit, false},
        {&kNativeAesChecked, true},
        {&kNativeAesCrypt, false},
    },
};

}  // namespace qox::native
