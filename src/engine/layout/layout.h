// The .qox container: field offsets and sizes.
//
//   | MAGIC(4) | VERSION(1) | IV(16) | HMAC-SHA256(32, only with use_hmac) | CIPHERTEXT(16k) |
//
// The format is stored in files: no field may move or change width.
#pragma once

#include <cstddef>

namespace qox::layout {

constexpr char kMagic[] = "QOX1";
constexpr std::ptrdiff_t kMagicSize = 4;
constexpr long kVersion = 1;
constexpr long kBlockSize = 16;
constexpr long kHmacSize = 32;
constexpr long kHeaderSize = 21;  // magic + version + IV; the tag is not counted

// The AES key sizes the package and the command line accept (the module's own
// functions take whatever key its key schedule expands).
constexpr size_t kKeySizes[] = {16, 24, 32};

// Fixed offsets used to cut a container apart; they do not follow the class
// constants, which callers may shadow on an instance.
constexpr std::ptrdiff_t kVersionOffset = 4;
constexpr std::ptrdiff_t kIvOffset = 5;
constexpr std::ptrdiff_t kTagOffset = 21;
constexpr std::ptrdiff_t kTagEnd = 53;

}  // namespace qox::layout
