// The .qox container: field offsets, sizes and the PKCS#7 helpers shared by the container code.
//
//   | MAGIC(4) | VERSION(1) | IV(16) | HMAC-SHA256(32, only with use_hmac) | CIPHERTEXT(16k) |
//
// The format is stored in files: no field may move or change width.
#pragma once

#include "module/compat.h"

#include <cstdint>

namespace qox::container {

constexpr char kMagic[] = "QOX1";
constexpr Py_ssize_t kMagicSize = 4;
constexpr long kVersion = 1;
constexpr long kBlockSize = 16;
constexpr long kHmacSize = 32;
constexpr long kHeaderSize = 21;  // magic + version + IV; the tag is not counted

// Fixed offsets used to cut a container apart; they do not follow the class
// constants, which callers may shadow on an instance.
constexpr Py_ssize_t kVersionOffset = 4;
constexpr Py_ssize_t kIvOffset = 5;
constexpr Py_ssize_t kTagOffset = 21;
constexpr Py_ssize_t kTagEnd = 53;

// Length of `data` without its PKCS#7 padding (block length 16). Raises the
// module's ValueError for a length that is 0 or not a multiple of 16, and for
// a padding byte outside 1..16 or padding bytes that disagree; -1 then.
Py_ssize_t pkcs7_unpadded_length(const uint8_t* data, Py_ssize_t size) noexcept;

}  // namespace qox::container
