// 32-bit words read from Python ints for the engine's arrays.
#pragma once

#include "module/compat.h"

#include <cstdint>

namespace qox {

// Reads `obj` as a word. The Python definitions would compute on with any int (or
// fail somewhere later for other objects); the engine works on 32-bit words,
// so anything that is not an int in 0..2**32-1 is refused here with a clear
// TypeError or ValueError naming `what` and `where` (e.g. "entry of round
// table " and "_TE0"; `where` may be empty).
inline bool word_or_raise(PyObject* obj, uint32_t* out, const char* what,
                          const char* where = "") noexcept {
  if (!PyLong_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s%s must be an int in 0..4294967295, not %.200s", what, where,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || value < 0 || value > 0xFFFFFFFFLL) {
    PyErr_Format(PyExc_ValueError, "%s%s must be an int in 0..4294967295", what, where);
    return false;
  }
  *out = static_cast<uint32_t>(value);
  return true;
}

}  // namespace qox
