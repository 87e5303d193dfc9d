// Recognising when a container step would run only the module's own code.
#include "container/own_road.h"

#include "aes/python/pristine.h"
#include "module/state.h"

#include <algorithm>

namespace qox::container {

namespace {

const Name kNativeAes("_NATIVE_AES");
const Name kCbcEncrypt("_cbc_encrypt");
const Name kCbcDecrypt("_cbc_decrypt");
const Name kHmac("hmac");
const Name kHashlib("hashlib");

// The module global `name`, or nullptr with no exception left set.
Ref quiet_lookup(const Name& name) {
  Ref found = lookup_global(name);
  if (!found) PyErr_Clear();
  return found;
}

bool standard_module(const Name& name) {
  Ref module = quiet_lookup(name);
  return module && is_import_time_module(name, module.get());
}

}  // namespace

bool own_cbc_road(PyObject* aes_cbc, PyObject* key, PyObject* iv, Direction direction) noexcept {
  if (!is_own_function(aes_cbc, "_aes_cbc") || !PyBytes_CheckExact(key) ||
      !PyBytes_CheckExact(iv)) {
    return false;
  }
  Ref native = quiet_lookup(kNativeAes);
  if (!native || native.get() != Py_None) return false;
  const bool encrypt = direction == Direction::encrypt;
  Ref loop = quiet_lookup(encrypt ? kCbcEncrypt : kCbcDecrypt);
  return loop && is_own_function(loop.get(), encrypt ? "_cbc_encrypt" : "_cbc_decrypt");
}

Ref hmac_message(PyObject* data, Py_ssize_t start) noexcept {
  const Py_ssize_t size = PyBytes_GET_SIZE(data);
  start = std::min(start, size);
  if (standard_module(kHmac) && standard_module(kHashlib)) {
    Ref view = Ref::steal(PyMemoryView_FromObject(data));
    if (!view) return Ref();
    return Ref::steal(PySequence_GetSlice(view.get(), start, size));
  }
  return Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(data) + start, size - start));
}

}  // namespace qox::container
