// CBC loops on AESENC/AESDEC: serial encryption, eight-wide decryption.
#include "aes/cbc_aesni.h"

#include "aes/cpu_features.h"
#include "aes/portable.h"

#if defined(QOX_ARCH_X86_64)

#include "aes/hw_round_keys.h"

namespace qox::aes {

namespace {

using hw::HeldKeys;
using hw::load_block;
using hw::store_block;
using hw::StreamedKeys;

// CBC encryption is one dependency chain, so its speed is the AESENC
// latency. The next block's plaintext and the first key are folded into the
// last round key: AESENCLAST then yields the next block's input state
// directly and the ciphertext is recovered off the chain.
template <class Keys>
QOX_TARGET_AESNI void encrypt_chain(const Keys& keys, const uint8_t iv[16], const uint8_t* in,
                                    uint8_t* out, size_t blocks) {
  if (blocks == 0) return;
  const __m128i first = keys.first();
  const hw::DerivedKey first_last(_mm_xor_si128(first, keys.last()));
  __m128i state = _mm_xor_si128(_mm_xor_si128(load_block(in), load_block(iv)), first);
  for (size_t b = 1; b < blocks; ++b, in += 16, out += 16) {
    for (size_t r = 0; r < keys.mid_rounds(); ++r) state = _mm_aesenc_si128(state, keys.mid(r));
    const __m128i next_in = load_block(in + 16);
    state = _mm_aesenclast_si128(state, _mm_xor_si128(first_last.get(), next_in));
    store_block(out, _mm_xor_si128(state, _mm_xor_si128(next_in, first)));
  }
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

// Eight blocks in flight cover the AESDEC latency times its issue rate;
// the tail takes one group each of 4, 2 and 1 as needed.
template <class Keys>
QOX_TARGET_AESNI void decrypt_wide(const Keys& keys, const uint8_t iv[16], const uint8_t* in,
                                   uint8_t* out, size_t blocks) {
  __m128i prev = load_block(iv);
  for (; blocks >= 8; blocks -= 8, in += 128, out += 128)
    prev = decrypt_group<8>(keys, prev, in, out);
  if (blocks & 4) {
    prev = decrypt_group<4>(keys, prev, in, out);
    in += 64, out += 64;
  }
  if (blocks & 2) {
    prev = decrypt_group<2>(keys, prev, in, out);
    in += 32, out += 32;
  }
  if (blocks & 1) decrypt_group<1>(keys, prev, in, out);
}

}  // namespace

bool aesni_available() { return (cpu_features() & kCpuAesNi) != 0; }

// With every key in a register a round is one instruction, which pays from
// two blocks on for the AES-128/192/256 counts; for one block the copy and
// wipe cost more than they save. Decryption streams its keys: each load
// serves eight blocks, and holding them measured no faster.
QOX_TARGET_AESNI void cbc_encrypt_aesni(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                                        uint8_t* out, size_t blocks) {
  if (blocks >= 2) {
    switch (k.mid_rounds) {
      case 9:
        return encrypt_chain(HeldKeys<9>(k), iv, in, out, blocks);
      case 11:
        return encrypt_chain(HeldKeys<11>(k), iv, in, out, blocks);
      case 13:
        return encrypt_chain(HeldKeys<13>(k), iv, in, out, blocks);
      default:
        break;
    }
  }
  encrypt_chain(StreamedKeys(k), iv, in, out, blocks);
}

QOX_TARGET_AESNI void cbc_decrypt_aesni(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                                        uint8_t* out, size_t blocks) {
  decrypt_wide(StreamedKeys(k), iv, in, out, blocks);
}

}  // namespace qox::aes

#else  // not x86-64: no AES-NI; the entry points stay total through the table loops.

namespace qox::aes {

bool aesni_available() { return false; }

void cbc_encrypt_aesni(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks) {
  cbc_encrypt_table(k, iv, in, out, blocks);
}

void cbc_decrypt_aesni(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks) {
  cbc_decrypt_table(k, iv, in, out, blocks);
}

}  // namespace qox::aes

#endif
