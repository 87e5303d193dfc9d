// The tag through hmac.new(...).digest(), and the view of the ciphertext it reads.
#include "container/hmac_tag.h"

#include "module/call.h"
#include "module/global_names.h"

#include <algorithm>

namespace qox::container {

namespace {

const Name kNew("new");
const Name kDigest("digest");
const Name kSha256("sha256");

bool standard_module(const Name& name) {
  Ref module = lookup_global(name);
  if (!module) PyErr_Clear();
  return module && is_import_time_module(name, module.get());
}

}  // namespace

Ref hmac_sha256(PyObject* self, PyObject* message) noexcept {
  Ref hmac_new = global_attr(kHmac, kNew);
  if (!hmac_new) return Ref();
  Ref key = get_attr(self, kKey);
  if (!key) return Ref();
  Ref sha256 = global_attr(kHashlib, kSha256);
  if (!sha256) return Ref();
  Ref mac = call(hmac_new.get(), {key.get(), message, sha256.get()});
  if (!mac) return Ref();
  return call_method(mac.get(), kDigest, {});
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
