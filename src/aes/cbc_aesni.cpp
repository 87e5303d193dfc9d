// CBC loops on AESENC/AESDEC: serial encryption, eight-wide decryption.
#include "aes/cbc_aesni.h"

#include "aes/bitsliced.h"
#include "aes/cpu_features.h"
#include "aes/portable.h"

#if defined(QOX_ARCH_X86_64)

#include "aes/aesni_cbc_steps.h"

namespace qox::aes {

namespace {

using hw::decrypt_group;
using hw::HeldKeys;
using hw::load_block;
using hw::StreamedKeys;

// One serial chain of encrypt_and_start_next steps.
template <class Keys>
QOX_TARGET_AESNI void encrypt_chain(const Keys& keys, const uint8_t iv[16], const uint8_t* in,
                                    uint8_t* out, size_t blocks) {
  if (blocks == 0) return;
  const __m128i first = keys.first();
  const hw::DerivedKey first_last(_mm_xor_si128(first, keys.last()));
  __m128i state = _mm_xor_si128(_mm_xor_si128(load_block(in), load_block(iv)), first);
  for (size_t b = 1; b < blocks; ++b, in += 16, out += 16) {
    state = hw::encrypt_and_start_next(keys, state, first, first_last.get(), in + 16, out);
  }
  hw::encrypt_last(keys, state, out);
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

#else  // not x86-64: no AES-NI; the entry points stay total through the bitsliced loops.

namespace qox::aes {

bool aesni_available() { return false; }

void cbc_encrypt_aesni(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks) {
  cbc_encrypt_bitsliced(k, iv, in, out, blocks);
}

void cbc_decrypt_aesni(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks) {
  cbc_decrypt_bitsliced(k, iv, in, out, blocks);
}

}  // namespace qox::aes

#endif
