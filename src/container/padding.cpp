// _pkcs7_pad and _pkcs7_unpad: pkcs7.h's byte logic on bytes objects, with the module's messages.
#include "container/padding.h"

#include "container/functions.h"
#include "container/pkcs7.h"

#include <cstring>

namespace qox::container {

namespace {

PyObject* pkcs7_pad_impl(PyObject* const* args) noexcept {
  PyObject* data = args[0];
  const Py_ssize_t size = PyBytes_GET_SIZE(data);
  const auto pad = static_cast<Py_ssize_t>(pkcs7_pad_length(static_cast<size_t>(size)));
  if (size > PY_SSIZE_T_MAX - pad) return PyErr_NoMemory();
  Ref padded = Ref::steal(PyBytes_FromStringAndSize(nullptr, size + pad));
  if (!padded) return nullptr;
  char* out = PyBytes_AS_STRING(padded.get());
  std::memcpy(out, PyBytes_AS_STRING(data), static_cast<size_t>(size));
  std::memset(out + size, static_cast<int>(pad), static_cast<size_t>(pad));
  return padded.release();
}

PyObject* pkcs7_unpad_impl(PyObject* const* args) noexcept {
  PyObject* data = args[0];
  const auto* bytes = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data));
  const Py_ssize_t length = pkcs7_unpadded_length(bytes, PyBytes_GET_SIZE(data));
  if (length < 0) return nullptr;
  return PyBytes_FromStringAndSize(PyBytes_AS_STRING(data), length);
}

}  // namespace

const FunctionDescription kPkcs7PadFunction = {
    "_pkcs7_pad", "_pkcs7_pad", nullptr, {Param("data", "bytes")}, "bytes", pkcs7_pad_impl,
};
const FunctionDescription kPkcs7UnpadFunction = {
    "_pkcs7_unpad", "_pkcs7_unpad", nullptr, {Param("data", "bytes")}, "bytes", pkcs7_unpad_impl,
};

// Shared by _pkcs7_unpad and by decrypt, which unpads in place when the
// module's own _pkcs7_unpad is bound.
Py_ssize_t pkcs7_unpadded_length(const uint8_t* data, Py_ssize_t size) noexcept {
  const Unpadded result = pkcs7_unpad(data, static_cast<size_t>(size));
  switch (result.status) {
    case UnpadStatus::ok:
      return static_cast<Py_ssize_t>(result.length);
    case UnpadStatus::bad_length:
      PyErr_SetString(PyExc_ValueError, "密文长度非法（不是 16 字节的整数倍）");
      return -1;
    case UnpadStatus::bad_padding:
      break;
  }
  PyErr_SetString(PyExc_ValueError, "填充校验失败，数据已损坏或密钥不正确");
  return -1;
}

}  // namespace qox::container
