// CBC decryption with four blocks per zmm register and four registers in flight.
#include "aes/cbc_vaes.h"

#include "aes/bitsliced.h"
#include "aes/cbc_aesni.h"
#include "aes/cpu_features.h"
#include "aes/portable.h"

#if defined(QOX_ARCH_X86_64)

#include "aes/hw_round_keys.h"

#define QOX_TARGET_VAES QOX_TARGET("vaes,avx512f,aes,sse4.1")
#define QOX_INLINE_VAES QOX_FORCE_INLINE QOX_TARGET("vaes,avx512f,aes,sse4.1")

namespace qox::aes {

namespace {

// The unmasked forms of the lane intrinsics below draw a dummy source from
// _mm512_undefined_epi32(), which g++ 12 reports as maybe-uninitialized;
// the zero-masking forms with every lane selected compile to the same code.
constexpr __mmask16 kAll32BitLanes = 0xFFFF;
constexpr __mmask8 kAll64BitLanes = 0xFF;

// One 128-bit block repeated in all four lanes.
QOX_INLINE_VAES __m512i broadcast_block(__m128i block) {
  return _mm512_maskz_broadcast_i32x4(kAll32BitLanes, block);
}

QOX_INLINE_VAES __m128i top_lane(__m512i v) { return _mm512_maskz_extracti32x4_epi32(0xF, v, 3); }

QOX_INLINE_VAES __m512i load_round_key_x4(const uint32_t* words) {
  return broadcast_block(hw::load_round_key(words));
}

// zmm counterpart of hw::StreamedKeys for any inner round count: each
// inner key is reloaded and broadcast once per sixteen blocks, which
// measured as fast as holding all of them in registers. First and last are
// held, and wiped on exit.
class StreamedKeysX4 {
 public:
  QOX_INLINE_VAES explicit StreamedKeysX4(const RoundKeys& k)
      : k_(k), outer_{load_round_key_x4(k.first), load_round_key_x4(k.last)} {}
  QOX_INLINE_VAES ~StreamedKeysX4() { wipe(outer_); }
  StreamedKeysX4(const StreamedKeysX4&) = delete;
  StreamedKeysX4& operator=(const StreamedKeysX4&) = delete;

  size_t mid_rounds() const { return k_.mid_rounds; }
  QOX_INLINE_VAES __m512i first() const { return outer_[0]; }
  QOX_INLINE_VAES __m512i mid(size_t r) const { return load_round_key_x4(k_.mid + 4 * r); }
  QOX_INLINE_VAES __m512i last() const { return outer_[1]; }

 private:
  const RoundKeys& k_;
  __m512i outer_[2];  // first, last
};

// Lanes are blocks, lane 0 lowest. The chaining values of a register are
// the block before each lane: lane 3 of `before` then lanes 0..2 of
// `cipher`, i.e. the 1024-bit pair shifted right by three lanes.
QOX_INLINE_VAES __m512i previous_blocks(__m512i cipher, __m512i before) {
  return _mm512_maskz_alignr_epi64(kAll64BitLanes, cipher, before, 6);
}

// kRegs registers of four blocks each; all ciphertext is loaded before any
// store (in == out). `carry` holds the previous ciphertext in lane 3.
template <size_t kRegs, class Keys>
QOX_INLINE_VAES __m512i decrypt_group(const Keys& keys, __m512i carry, const uint8_t* in,
                                      uint8_t* out) {
  __m512i cipher[kRegs], state[kRegs];
  const __m512i first = keys.first();
  for (size_t j = 0; j < kRegs; ++j) {
    cipher[j] = _mm512_loadu_si512(in + 64 * j);
    state[j] = _mm512_xor_si512(cipher[j], first);
  }
  for (size_t r = 0; r < keys.mid_rounds(); ++r) {
    const __m512i key = keys.mid(r);
    for (size_t j = 0; j < kRegs; ++j) state[j] = _mm512_aesdec_epi128(state[j], key);
  }
  const __m512i last = keys.last();
  for (size_t j = 0; j < kRegs; ++j) {
    const __m512i chain = previous_blocks(cipher[j], j == 0 ? carry : cipher[j - 1]);
    _mm512_storeu_si512(out + 64 * j,
                        _mm512_aesdeclast_epi128(state[j], _mm512_xor_si512(last, chain)));
  }
  return cipher[kRegs - 1];
}

// Sixteen blocks per step, then single registers; a tail of one to three
// blocks goes to the AES-NI kernel with the last ciphertext as IV.
template <class Keys>
QOX_TARGET_VAES void decrypt_wide(const Keys& keys, const RoundKeys& k, const uint8_t iv[16],
                                  const uint8_t* in, uint8_t* out, size_t blocks) {
  __m512i carry = broadcast_block(hw::load_block(iv));
  for (; blocks >= 16; blocks -= 16, in += 256, out += 256)
    carry = decrypt_group<4>(keys, carry, in, out);
  for (; blocks >= 4; blocks -= 4, in += 64, out += 64)
    carry = decrypt_group<1>(keys, carry, in, out);
  if (blocks == 0) return;
  uint8_t chain[16];
  hw::store_block(chain, top_lane(carry));
  cbc_decrypt_aesni(k, chain, in, out, blocks);
}

}  // namespace

bool vaes_available() { return (cpu_features() & kCpuVaes512) != 0; }

QOX_TARGET_VAES void cbc_decrypt_vaes(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                                      uint8_t* out, size_t blocks) {
  if (blocks < 4) return cbc_decrypt_aesni(k, iv, in, out, blocks);
  decrypt_wide(StreamedKeysX4(k), k, iv, in, out, blocks);
}

}  // namespace qox::aes

#else  // not x86-64: no VAES; the entry point stays total through the table loop.

namespace qox::aes {

bool vaes_available() { return false; }

void cbc_decrypt_vaes(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                      size_t blocks) {
  cbc_decrypt_bitsliced(k, iv, in, out, blocks);
}

}  // namespace qox::aes

#endif
