// _init_native_backend: the import-time probe and known-answer self-test of _NativeAES.
#include "module/call.h"
#include "module/global_names.h"
#include "module/handled.h"
#include "native/functions.h"

#include <cstring>

namespace qox::native {

namespace {

const Name kSys("sys");
const Name kPlatform("platform");
const Name kWin32("win32");
const Name kHex("hex");

// FIPS-197 Appendix C.3 (AES-256); with a zero IV one CBC block is the bare
// block transform.
const char kPlaintextHex[] = "00112233445566778899aabbccddeeff";
const char kCiphertextHex[] = "8ea2b7ca516745bfeafc49904b496089";

Ref vector_key() {
  unsigned char key[32];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(i);
  return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<char*>(key), 32));
}

// backend.crypt(key, 16 zero bytes, data, flag).hex() == expected_hex
// Returns 1, 0, or -1 with an exception set; `out` receives crypt's result.
int crypt_matches(PyObject* backend, PyObject* data, PyObject* flag, const char* expected_hex,
                  Ref* out) {
  Ref key = vector_key();
  Ref iv = Ref::steal(PyBytes_FromStringAndSize(nullptr, 16));
  if (!key || !iv) return -1;
  std::memset(PyBytes_AS_STRING(iv.get()), 0, 16);
  *out = call_method(backend, kCrypt, {key.get(), iv.get(), data, flag});
  if (!*out) return -1;
  Ref hex = call_method(out->get(), kHex, {});
  Ref expected = Ref::steal(PyUnicode_FromString(expected_hex));
  if (!hex || !expected) return -1;
  return PyObject_RichCompareBool(hex.get(), expected.get(), Py_EQ);
}

// Everything here runs under `except Exception: return None`.
Ref build_and_test_backend() {
  Ref native_class = lookup_global(kNativeAesName);
  Ref backend = native_class ? call(native_class.get(), {}) : Ref();
  if (!backend) return Ref();
  Ref plaintext = Ref::steal(PyBytes_FromStringAndSize(nullptr, 16));
  if (!plaintext) return Ref();
  // bytes.fromhex of the vector's plaintext.
  for (int i = 0; i < 16; ++i) {
    PyBytes_AS_STRING(plaintext.get())[i] = static_cast<char>(i * 0x11);
  }
  Ref ciphertext;
  int ok = crypt_matches(backend.get(), plaintext.get(), Py_True, kCiphertextHex, &ciphertext);
  if (ok <= 0) return ok < 0 ? Ref() : Ref::borrow(Py_None);
  Ref decrypted;
  ok = crypt_matches(backend.get(), ciphertext.get(), Py_False, kPlaintextHex, &decrypted);
  if (ok <= 0) return ok < 0 ? Ref() : Ref::borrow(Py_None);
  return backend;
}

PyObject* init_native_backend_impl(PyObject* const*) noexcept {
  Ref sys = Ref::steal(PyImport_ImportModuleLevelObject(kSys.get(), process_state().module_dict,
                                                        nullptr, nullptr, 0));
  Ref platform = sys ? get_attr(sys.get(), kPlatform) : Ref();
  if (!platform) return nullptr;
  const int other = PyObject_RichCompareBool(platform.get(), kWin32.get(), Py_NE);
  if (other < 0) return nullptr;
  if (other) Py_RETURN_NONE;

  Ref backend = build_and_test_backend();
  if (backend) return backend.release();
  // Any Exception means "no native backend"; anything else propagates.
  HandledException failure;
  const int ordinary = failure.matches(PyExc_Exception);
  if (ordinary < 0) return nullptr;
  if (!ordinary) return failure.reraise();
  Py_RETURN_NONE;
}

}  // namespace

const FunctionDescription kInitNativeBackendFunction = {
    "_init_native_backend",
    "_init_native_backend",
    "尝试启用系统原生 AES；失败（或自检不通过）返回 None",
    {},
    nullptr,
    init_native_backend_impl,
};

}  // namespace qox::native
