// AES-NI CBC steps as inline functions (x86-64 sources only), shared by the
// plain loops and the loops that hash the ciphertext as they go.
#pragma once

#include "engine/aes/x86/round_keys.h"

namespace qox::aes::hw {

// CBC encryption is one dependency chain, so its speed is the AESENC
// latency. A block enters as its input state (plaintext ^ chain ^ first key);
// the next block's plaintext and the first key are folded into the last round
// key (first_last = first ^ last), so AESENCLAST yields the next block's input
// state directly and the ciphertext is recovered off the chain. Reads
// `next_in` before storing `out`, so in == out is fine.
template <class Keys>
QOX_INLINE_AESNI __m128i encrypt_and_start_next(const Keys& keys, __m128i state, __m128i first,
                                                __m128i first_last, const uint8_t* next_in,
                                                uint8_t* out) {
  for (size_t r = 0; r < keys.mid_rounds(); ++r) state = _mm_aesenc_si128(state, keys.mid(r));
  const __m128i next = load_block(next_in);
  state = _mm_aesenclast_si128(state, _mm_xor_si128(first_last, next));
  store_block(out, _mm_xor_si128(state, _mm_xor_si128(next, first)));
  return state;
}

// The last block of a run, from its input state.
template <class Keys>
QOX_INLINE_AESNI void encrypt_last(const Keys& keys, __m128i state, uint8_t* out) {
  for (size_t r = 0; r < keys.mid_rounds(); ++r) state = _mm_aesenc_si128(state, keys.mid(r));
  store_block(out, _mm_aesenclast_si128(state, keys.last()));
}

// Decrypts kWidth independent blocks at once; every ciphertext is read
// before anything is stored (in == out). The chaining value is folded into
// the last round key. Returns the last ciphertext block, the next chain value.
template <size_t kWidth, class Keys>
QOX_INLINE_AESNI __m128i decrypt_group(const Keys& keys, __m128i prev, const uint8_t* in,
                                       uint8_t* out) {
  __m128i cipher[kWidth], state[kWidth];
  const __m128i first = keys.first();
  for (size_t j = 0; j < kWidth; ++j) {
    cipher[j] = load_block(in + 16 * j);
    state[j] = _mm_xor_si128(cipher[j], first);
  }
  for (size_t r = 0; r < keys.mid_rounds(); ++r) {
    const __m128i key = keys.mid(r);
    for (size_t j = 0; j < kWidth; ++j) state[j] = _mm_aesdec_si128(state[j], key);
  }
  const __m128i last = keys.last();
  for (size_t j = 0; j < kWidth; ++j) {
    const __m128i chain = j == 0 ? prev : cipher[j - 1];
    store_block(out + 16 * j, _mm_aesdeclast_si128(state[j], _mm_xor_si128(last, chain)));
  }
  return cipher[kWidth - 1];
}

}  // namespace qox::aes::hw
