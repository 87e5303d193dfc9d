// Zeroing of secret scratch memory that the optimiser may not drop.
#pragma once

#include <cstddef>
#include <cstring>

namespace qox::aes {

// A plain memset (fast for the ~1 KiB of zmm keys) followed by an empty asm
// that claims to read the buffer, so the stores count as used even though
// the buffer is dead afterwards.
inline void wipe(void* p, size_t n) {
    std::memset(p, 0, n);
    __asm__ __volatile__("" : : "r"(p) : "memory");
}

}  // namespace qox::aes
