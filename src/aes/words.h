// 32-bit words read from Python ints for the engine's arrays.
#pragma once

#include "module/compat.h"

#include <cstdint>

namespace qox {

// Reads `obj` as a word when it is an exact int in 0..2**32-1, the only
// objects the engine can stand in for: with such words every state word stays
// below 2**32 and every table index below 256. Anything else (other ints,
// int subclasses, other types) gives false and no exception; the caller then
// runs the loop of the Python definition on the objects as found.
inline bool exact_word(PyObject* obj, uint32_t* out) noexcept {
  if (!PyLong_CheckExact(obj)) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow != 0 || value < 0 || value > 0xFFFFFFFFLL) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

}  // namespace qox
