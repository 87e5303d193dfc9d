// Unpacking an iterable into a fixed number of items, with the host's messages.
#pragma once

#include "module/ref.h"

namespace qox {

// Fills out[0..count) from the items of `iterable`, which must yield exactly
// `count` items: ValueError "too many values to unpack (expected N)" or "need
// more than N value(s) to unpack"; a non-iterable gives the host's TypeError.
bool unpack_exact(PyObject* iterable, Ref* out, Py_ssize_t count) noexcept;

}  // namespace qox
