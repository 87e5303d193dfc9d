// Zeroing of secret scratch memory that the optimiser may not drop.
#pragma once

#include <cstddef>

namespace qox::aes {

// Element-wide stores through a volatile pointer: kept even though the
// array is dead afterwards, and one store per xmm/zmm key instead of a
// byte loop or a `rep stos` with its start-up cost. Always inlined so that
// vector elements are stored with the caller's instruction set.
template <class T, size_t N>
inline __attribute__((always_inline)) void wipe(T (&array)[N]) {
    volatile T* p = array;
    for (size_t i = 0; i < N; ++i) p[i] = T{};
}

}  // namespace qox::aes
