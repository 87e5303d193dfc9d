// _pkcs7_pad and _pkcs7_unpad, and the unpadding that decrypt shares with them.
#pragma once

#include "module/compat.h"

#include <cstdint>

namespace qox::container {

// Length of `data` without its PKCS#7 padding (block length 16). Raises the
// module's ValueError for a length that is 0 or not a multiple of 16, and for
// a padding byte outside 1..16 or padding bytes that disagree; -1 then.
Py_ssize_t pkcs7_unpadded_length(const uint8_t* data, Py_ssize_t size) noexcept;

}  // namespace qox::container
