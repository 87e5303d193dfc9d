// CBC loops on AESE/AESMC and AESD/AESIMC: serial encryption, eight-wide decryption.
#include "aes/cbc_armv8.h"

#include "aes/bitsliced.h"
#include "aes/cpu_features.h"
#include "aes/portable.h"

// GCC offers the instructions per function; clang before 16 and Apple's
// offer them only when the whole file is built for them (as Apple's default
// target is); MSVC always. Without either the bitsliced path stands in.
#if defined(QOX_ARCH_AARCH64) &&                                    \
    (defined(__ARM_FEATURE_AES) || defined(__ARM_FEATURE_CRYPTO) || \
     (defined(__GNUC__) && !defined(__clang__)) || (defined(_MSC_VER) && !defined(__clang__)))
#define QOX_ARMV8_KERNELS 1
#endif

#if defined(QOX_ARMV8_KERNELS)

#if defined(_MSC_VER) && !defined(__clang__)
#include <arm64_neon.h>
#else
#include <arm_neon.h>
#endif

#include "aes/wipe.h"

#if defined(__GNUC__) && !defined(__clang__) && !defined(__ARM_FEATURE_AES)
#define QOX_TARGET_ARMV8 QOX_TARGET("+crypto")
#else
#define QOX_TARGET_ARMV8
#endif
#define QOX_INLINE_ARMV8 QOX_FORCE_INLINE QOX_TARGET_ARMV8

namespace qox::aes {

namespace {

// Schedule words are native 32-bit integers holding the state bytes
// big-endian; the instructions want byte 0 of word 0 in lane 0, so on a
// little-endian target each word is byte-reversed on load.
QOX_INLINE_ARMV8 uint8x16_t load_round_key(const uint32_t* words) {
  const uint8x16_t v = vld1q_u8(reinterpret_cast<const uint8_t*>(words));
  return kLittleEndian ? vrev32q_u8(v) : v;
}

QOX_INLINE_ARMV8 uint8x16_t load_block(const uint8_t* p) { return vld1q_u8(p); }
QOX_INLINE_ARMV8 void store_block(uint8_t* p, uint8x16_t v) { vst1q_u8(p, v); }

// AESE xors the key in before SubBytes/ShiftRows, where AESENC xors it in
// after MixColumns: the same key sequence K0..Kn runs as n-1 AESE+AESMC
// pairs (which cores fuse), one bare AESE and a final XOR with Kn.
QOX_INLINE_ARMV8 uint8x16_t enc_round(uint8x16_t s, uint8x16_t key) {
  return vaesmcq_u8(vaeseq_u8(s, key));
}
QOX_INLINE_ARMV8 uint8x16_t dec_round(uint8x16_t s, uint8x16_t key) {
  return vaesimcq_u8(vaesdq_u8(s, key));
}

// kMid inner keys plus first/last held in locals for the whole call, so a
// fixed round count unrolls with every key in a register. Wiped on exit.
template <size_t kMid>
class HeldKeys {
 public:
  QOX_INLINE_ARMV8 explicit HeldKeys(const RoundKeys& k) {
    keys_[0] = load_round_key(k.first);
    for (size_t r = 0; r < kMid; ++r) keys_[r + 1] = load_round_key(k.mid + 4 * r);
    keys_[kMid + 1] = load_round_key(k.last);
  }
  QOX_INLINE_ARMV8 ~HeldKeys() { wipe(keys_); }
  HeldKeys(const HeldKeys&) = delete;
  HeldKeys& operator=(const HeldKeys&) = delete;

  static constexpr size_t mid_rounds() { return kMid; }
  QOX_INLINE_ARMV8 uint8x16_t first() const { return keys_[0]; }
  QOX_INLINE_ARMV8 uint8x16_t mid(size_t r) const { return keys_[r + 1]; }
  QOX_INLINE_ARMV8 uint8x16_t last() const { return keys_[kMid + 1]; }

 private:
  uint8x16_t keys_[kMid + 2];
};

// Any inner round count: inner keys are reloaded from the schedule words at
// each use; nothing is copied.
class StreamedKeys {
 public:
  QOX_INLINE_ARMV8 explicit StreamedKeys(const RoundKeys& k)
      : k_(k), first_(load_round_key(k.first)), last_(load_round_key(k.last)) {}

  size_t mid_rounds() const { return k_.mid_rounds; }
  QOX_INLINE_ARMV8 uint8x16_t first() const { return first_; }
  QOX_INLINE_ARMV8 uint8x16_t mid(size_t r) const { return load_round_key(k_.mid + 4 * r); }
  QOX_INLINE_ARMV8 uint8x16_t last() const { return last_; }

 private:
  const RoundKeys& k_;
  uint8x16_t first_, last_;
};

// Every key but the last, as AESE/AESD keys: first, then the inner ones.
// Returns the state after the bare last AESE/AESD, before the XOR with last.
template <class Keys>
QOX_INLINE_ARMV8 uint8x16_t encrypt_rounds(const Keys& keys, uint8x16_t s) {
  if (keys.mid_rounds() == 0) return vaeseq_u8(s, keys.first());
  s = enc_round(s, keys.first());
  for (size_t r = 0; r + 1 < keys.mid_rounds(); ++r) s = enc_round(s, keys.mid(r));
  return vaeseq_u8(s, keys.mid(keys.mid_rounds() - 1));
}

// CBC encryption is one dependency chain. The next block's plaintext is
// folded into the last key, so the chain carries one XOR per block and the
// ciphertext is recovered off it.
template <class Keys>
QOX_TARGET_ARMV8 void encrypt_chain(const Keys& keys, const uint8_t iv[16], const uint8_t* in,
                                    uint8_t* out, size_t blocks) {
  if (blocks == 0) return;
  const uint8x16_t last = keys.last();
  uint8x16_t state = veorq_u8(load_block(in), load_block(iv));
  for (size_t b = 1; b < blocks; ++b, in += 16, out += 16) {
    const uint8x16_t next_in = load_block(in + 16);
    state = veorq_u8(encrypt_rounds(keys, state), veorq_u8(last, next_in));
    store_block(out, veorq_u8(state, next_in));
  }
  store_block(out, veorq_u8(encrypt_rounds(keys, state), last));
}

// Decrypts kWidth independent blocks at once; every ciphertext is read
// before anything is stored (in == out). The chaining value is folded into
// the last round key. Returns the last ciphertext block, the next chain value.
template <size_t kWidth, class Keys>
QOX_INLINE_ARMV8 uint8x16_t decrypt_group(const Keys& keys, uint8x16_t prev, const uint8_t* in,
                                          uint8_t* out) {
  uint8x16_t cipher[kWidth], state[kWidth];
  for (size_t j = 0; j < kWidth; ++j) state[j] = cipher[j] = load_block(in + 16 * j);
  const size_t mid = keys.mid_rounds();
  uint8x16_t key = keys.first();
  for (size_t r = 0; r < mid; ++r) {
    for (size_t j = 0; j < kWidth; ++j) state[j] = dec_round(state[j], key);
    key = keys.mid(r);
  }
  const uint8x16_t last = keys.last();
  for (size_t j = 0; j < kWidth; ++j) {
    const uint8x16_t chain = j == 0 ? prev : cipher[j - 1];
    store_block(out + 16 * j, veorq_u8(vaesdq_u8(state[j], key), veorq_u8(last, chain)));
  }
  return cipher[kWidth - 1];
}

// Eight blocks in flight cover the AESD+AESIMC latency times its issue
// rate; the tail takes one group each of 4, 2 and 1 as needed.
template <class Keys>
QOX_TARGET_ARMV8 void decrypt_wide(const Keys& keys, const uint8_t iv[16], const uint8_t* in,
                                   uint8_t* out, size_t blocks) {
  uint8x16_t prev = load_block(iv);
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

bool armv8_available() { return (cpu_features() & kCpuArmv8Aes) != 0; }

// As on AES-NI: keys held in registers for the standard round counts from
// two blocks on; decryption streams its keys, each load serving eight blocks.
QOX_TARGET_ARMV8 void cbc_encrypt_armv8(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
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

QOX_TARGET_ARMV8 void cbc_decrypt_armv8(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                                        uint8_t* out, size_t blocks) {
  decrypt_wide(StreamedKeys(k), iv, in, out, blocks);
}

}  // namespace qox::aes

#else  // no ARMv8 kernels in this build; the entry points stay total via the bitsliced loops.

namespace qox::aes {

bool armv8_available() { return false; }

void cbc_encrypt_armv8(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks) {
  cbc_encrypt_bitsliced(k, iv, in, out, blocks);
}

void cbc_decrypt_armv8(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks) {
  cbc_decrypt_bitsliced(k, iv, in, out, blocks);
}

}  // namespace qox::aes

#endif
