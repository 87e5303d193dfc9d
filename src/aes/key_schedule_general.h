// _expand_key's general road: its Python definition run on whatever the module globals hold.
#pragma once

#include "module/compat.h"

namespace qox {

// The general road of _expand_key for a key of at least 4 bytes (shorter ones
// fail before any global is read). New reference, or nullptr with an
// exception set.
PyObject* expand_key_on_general_road(PyObject* key) noexcept;

}  // namespace qox
