// The CBC driver on AESE/AESMC and AESD/AESIMC: serial encryption, eight-wide decryption.
#include "engine/aes/cbc_paths.h"

#include "engine/cpu/features.h"
#include "engine/cpu/portable.h"

// GCC offers the instructions per function; clang before 16 and Apple's
// offer them only when the whole file is built for them (as Apple's default
// target is); MSVC always. Without either the table path stands in.
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

#include "engine/aes/cbc_driver.h"

#if defined(__GNUC__) && !defined(__clang__) && !defined(__ARM_FEATURE_AES)
#define QOX_TARGET_ARMV8 QOX_TARGET("+crypto")
#define QOX_ARMV8_INLINE QOX_ISA_INLINE("+crypto")
#else
#define QOX_TARGET_ARMV8
#define QOX_ARMV8_INLINE QOX_FORCE_INLINE
#endif

namespace qox::aes {

namespace arm {

struct Armv8 {
  using Block = uint8x16_t;
  static constexpr size_t kLanes = 1;
  // Eight blocks in flight cover the AESD+AESIMC latency times its issue rate.
  static constexpr size_t kDecryptRegs = 8;
  static constexpr bool kHoldKeys = true;

  // Schedule words are native 32-bit integers holding the state bytes
  // big-endian; the instructions want byte 0 of word 0 in lane 0, so on a
  // little-endian target each word is byte-reversed on load.
  QOX_ARMV8_INLINE static Block load_key(const uint32_t* words) {
    const uint8x16_t v = vld1q_u8(reinterpret_cast<const uint8_t*>(words));
    return cpu::kLittleEndian ? vrev32q_u8(v) : v;
  }
  QOX_ARMV8_INLINE static Block load(const uint8_t* p) { return vld1q_u8(p); }
  QOX_ARMV8_INLINE static void store(uint8_t* p, Block b) { vst1q_u8(p, b); }
  QOX_ARMV8_INLINE static Block xor_blocks(Block a, Block b) { return veorq_u8(a, b); }
  QOX_ARMV8_INLINE static Block load_chain(const uint8_t* iv) { return load(iv); }
  QOX_ARMV8_INLINE static Block chain_of(Block, Block before) { return before; }

  // AESE xors the key in before SubBytes/ShiftRows, where AESENC xors it in
  // after MixColumns: the same key sequence K0..Kn runs as n-1 AESE+AESMC
  // pairs (which cores fuse), one bare AESE and a final XOR with Kn, and the
  // state enters unwhitened.
  template <class Keys>
  QOX_ARMV8_INLINE static Block whitening(const Keys&) {
    return vdupq_n_u8(0);
  }
  template <class Keys>
  QOX_ARMV8_INLINE static Block encrypt_rounds(const Keys& keys, Block s, Block final_key) {
    if (keys.mid_rounds() == 0) return veorq_u8(vaeseq_u8(s, keys.first()), final_key);
    s = vaesmcq_u8(vaeseq_u8(s, keys.first()));
    for (size_t r = 0; r + 1 < keys.mid_rounds(); ++r) s = vaesmcq_u8(vaeseq_u8(s, keys.mid(r)));
    return veorq_u8(vaeseq_u8(s, keys.mid(keys.mid_rounds() - 1)), final_key);
  }
  template <size_t kRegs, class Keys>
  QOX_ARMV8_INLINE static void decrypt_rounds(const Keys& keys, Block (&state)[kRegs]) {
    Block key = keys.first();
    for (size_t r = 0; r < keys.mid_rounds(); ++r) {
      for (size_t j = 0; j < kRegs; ++j) state[j] = vaesimcq_u8(vaesdq_u8(state[j], key));
      key = keys.mid(r);
    }
    for (size_t j = 0; j < kRegs; ++j) state[j] = vaesdq_u8(state[j], key);
  }
  QOX_ARMV8_INLINE static Block decrypt_final(Block s, Block final_key) {
    return veorq_u8(s, final_key);
  }
};

}  // namespace arm

bool armv8_available() { return (cpu::cpu_features() & cpu::kCpuArmv8Aes) != 0; }

QOX_TARGET_ARMV8 QOX_FLATTEN void cbc_encrypt_armv8(const RoundKeys& k, const uint8_t iv[16],
                                                    const uint8_t* in, uint8_t* out,
                                                    size_t blocks) {
  cbc_encrypt_with(arm::Armv8{}, k, iv, in, out, blocks);
}

QOX_TARGET_ARMV8 QOX_FLATTEN void cbc_decrypt_armv8(const RoundKeys& k, const uint8_t iv[16],
                                                    const uint8_t* in, uint8_t* out,
                                                    size_t blocks) {
  cbc_decrypt_with(arm::Armv8{}, k, iv, in, out, blocks);
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
