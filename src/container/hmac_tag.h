// The container's HMAC-SHA256 tag, computed through the hmac and hashlib globals.
#pragma once

#include "module/ref.h"

namespace qox::container {

// `hmac.new(self.key, message, hashlib.sha256).digest()`
Ref hmac_sha256(PyObject* self, PyObject* message) noexcept;

// `data[start:]` for the HMAC: a memoryview when hmac and hashlib are the
// standard modules (they read any buffer, so no copy is needed), otherwise
// the bytes slice that encrypt and decrypt pass.
Ref hmac_message(PyObject* data, Py_ssize_t start) noexcept;

}  // namespace qox::container
