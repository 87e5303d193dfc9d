// Recognising when a container step would run only the module's own code.
#pragma once

#include "aes/python/round_tables.h"
#include "module/ref.h"

namespace qox::container {

// True when `_aes_cbc(sched, key, iv, data, flag)` would run the module's own
// CBC loop for `direction` on these objects: `aes_cbc` is the module's own
// function, key and iv are exactly bytes, _NATIVE_AES is None and the loop's
// global is the module's own. Leaves no exception set: a failed lookup means
// "no", and the written road then meets the same lookup and raises there.
bool own_cbc_road(PyObject* aes_cbc, PyObject* key, PyObject* iv, Direction direction) noexcept;

// `data[start:]` for the HMAC: a memoryview when hmac and hashlib are the
// standard modules (they read any buffer, so no copy is needed), otherwise
// the bytes slice the written steps pass.
Ref hmac_message(PyObject* data, Py_ssize_t start) noexcept;

}  // namespace qox::container
