// Python face of the unified CBC entry: _aes_cbc.
//
// The native backend in _NATIVE_AES is tried first; an ordinary failure
// (an Exception, or a result that is not bytes) switches it off for good and
// the pure loops answer. Interrupts and exit requests pass through untouched.
#include "aes/aes_cbc.h"

#include "aes/prepared_cbc.h"
#include "aes/functions.h"
#include "module/errors.h"
#include "module/global_names.h"
#include "module/state.h"

namespace qox {

namespace {

// _NATIVE_AES.crypt(key, iv, data, flag), the global read again here; a
// result other than bytes or None fails like an exception of crypt's own.
Ref native_crypt(PyObject* key, PyObject* iv, PyObject* data, PyObject* flag) {
  Ref native = lookup_global(kNativeAes);
  if (!native) return Ref();
  Ref crypt = Ref::steal(PyObject_GetAttr(native.get(), kCrypt.get()));
  if (!crypt) return Ref();
  PyObject* call_args[] = {key, iv, data, flag};
  Ref result = Ref::steal(PyObject_Vectorcall(crypt.get(), call_args, 4, nullptr));
  return check_result_type(&PyBytes_Type, std::move(result));
}

PyObject* aes_cbc_impl(PyObject* const* args) noexcept {
  PyObject* sched = args[0];
  PyObject* key = args[1];
  PyObject* iv = args[2];
  PyObject* data = args[3];
  PyObject* flag = args[4];  // Py_True or Py_False: the binder took the truth value
  Ref native = lookup_global(kNativeAes);
  if (!native) return nullptr;
  if (native.get() != Py_None) {
    Ref result = native_crypt(key, iv, data, flag);
    if (result) return result.release();
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    // Discarded for good: nothing raised later carries it as context.
    PyErr_Clear();
    if (!store_global(kNativeAes, Py_None)) return nullptr;
  }
  Ref loop = lookup_global(flag == Py_True ? kCbcEncrypt : kCbcDecrypt);
  if (!loop) return nullptr;
  PyObject* call_args[] = {sched, iv, data};
  // Its result is checked against the "bytes" annotation by the binder.
  return PyObject_Vectorcall(loop.get(), call_args, 3, nullptr);
}

}  // namespace

const FunctionDescription kAesCbcFunction = {
    "_aes_cbc",
    "_aes_cbc",
    "AES-CBC 统一入口：优先走系统原生实现，异常自动回落纯 Python",
    {Param("sched"), Param("key", "bytes"), Param("iv", "bytes"), Param("data", "bytes"),
     Param("encrypt", "bool")},
    "bytes",
    aes_cbc_impl,
};

namespace {

// The module global `name`, or nullptr with no exception left set.
Ref quiet_lookup(const Name& name) {
  Ref found = lookup_global(name);
  if (!found) PyErr_Clear();
  return found;
}

}  // namespace

AesCbcFastRoad::AesCbcFastRoad(PyObject* aes_cbc, PyObject* key, PyObject* iv,
                               Direction direction) noexcept
    : iv_(iv), direction_(direction), applies_(false) {
  if (!is_function_of(aes_cbc, kAesCbcFunction) || !PyBytes_CheckExact(key) ||
      !PyBytes_CheckExact(iv)) {
    return;
  }
  Ref native = quiet_lookup(kNativeAes);
  if (!native || native.get() != Py_None) return;
  const bool encrypt = direction == Direction::encrypt;
  Ref loop = quiet_lookup(encrypt ? kCbcEncrypt : kCbcDecrypt);
  applies_ =
      loop && is_function_of(loop.get(), encrypt ? kCbcEncryptFunction : kCbcDecryptFunction);
}

bool AesCbcFastRoad::run(PyObject* sched, const uint8_t* in, uint8_t* out,
                         size_t size) const noexcept {
  return cbc_into(direction_, sched, iv_, in, out, size);
}

bool AesCbcFastRoad::prepare(PyObject* sched, const uint8_t* in, uint8_t* out, size_t size,
                             PreparedCbc* cbc) const noexcept {
  return cbc->begin(direction_, sched, iv_) && cbc->read_into(in, out, size);
}

}  // namespace qox
