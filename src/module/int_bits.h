// Python integer arithmetic that the module's functions need on unbounded ints.
#pragma once

#include "module/compat.h"

#include <cstdint>

namespace qox {

// `value & mask` with Python's semantics (two's complement of any width), for
// a mask of the form 2**k - 1 with k <= 63. False with an exception set on
// failure.
bool low_bits(PyObject* value, uint64_t mask, uint64_t* out) noexcept;

// Sign of a Python int: -1, 0 or 1.
int int_sign(PyObject* value) noexcept;

}  // namespace qox
