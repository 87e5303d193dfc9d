// Python's operators on objects a caller may have rebound, direct for exact int and bytes.
//
// A body that reads a class constant or a module global cannot assume its
// type: an instance may shadow BLOCK_SIZE with a float, VERSION with an
// object whose __ne__ runs code. Each helper computes what the Python
// expression in its comment gives, directly for exact int and bytes and with
// the host's operators (and their errors) for anything else. For chains of
// operators on rebound objects see py_expr.h.
#pragma once

#include "module/ref.h"

#include <initializer_list>

namespace qox {

// `bytes([value])`: one byte for an int in 0..255, the host's error otherwise.
Ref single_byte(PyObject* value) noexcept;

// `a + b + c + ...`: one allocation of the final size when every part is
// exactly bytes, the host's `+` from left to right otherwise.
Ref concatenate(std::initializer_list<PyObject*> parts) noexcept;

// `data[start:stop]` for exact bytes `data` and non-negative bounds.
Ref bytes_slice(PyObject* data, Py_ssize_t start, Py_ssize_t stop) noexcept;

// The comparisons below return 1, 0, or -1 with an exception set.

// `length < limit`
int less_than(Py_ssize_t length, PyObject* limit) noexcept;

// `data[:length] != expected` for exact bytes `data`.
int prefix_differs(PyObject* data, Py_ssize_t length, PyObject* expected) noexcept;

// `value != expected` for a small int value.
int int_differs(long value, PyObject* expected) noexcept;

// `length % block != 0`
int not_a_multiple(Py_ssize_t length, PyObject* block) noexcept;

}  // namespace qox
