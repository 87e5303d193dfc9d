// The vector-permute CBC loops on NEON (aarch64, and 32-bit ARM with NEON);
// on architectures with neither NEON nor SSSE3 the entry points forward to
// the bitsliced path.
#include "engine/aes/cbc_paths.h"
#include "engine/cpu/features.h"
#include "engine/cpu/portable.h"

#if defined(QOX_ARCH_AARCH64) || defined(QOX_ARCH_ARM32)

#if defined(QOX_ARCH_ARM32) && (defined(__GNUC__) || defined(__clang__)) && !defined(__ARM_NEON)
// A 32-bit ARM build without NEON by default: these kernels alone use it,
// and run only after the probe found it.
#pragma GCC target("fpu=neon")
#define QOX_VPERM_INLINE QOX_FORCE_INLINE QOX_TARGET("fpu=neon")
#define QOX_VPERM_ISA QOX_ISA_INLINE("fpu=neon")
#define QOX_TARGET_VPERM QOX_TARGET("fpu=neon")
#else
#define QOX_VPERM_INLINE QOX_FORCE_INLINE
#define QOX_VPERM_ISA inline
#define QOX_TARGET_VPERM
#endif

#include <arm_neon.h>

#include "engine/aes/cbc_driver.h"
#include "engine/aes/vperm_rounds.h"

namespace qox::aes {

namespace {

struct Neon {
  using V = uint8x16_t;
  static QOX_VPERM_INLINE V load(const uint8_t* p) { return vld1q_u8(p); }
  static QOX_VPERM_INLINE void store(uint8_t* p, V v) { vst1q_u8(p, v); }
  static QOX_VPERM_INLINE V table(const uint8_t* t) { return vld1q_u8(t); }
  static QOX_VPERM_INLINE V splat(uint8_t b) { return vdupq_n_u8(b); }
  static QOX_VPERM_INLINE V x(V a, V b) { return veorq_u8(a, b); }
  // TBL gives 0 for every index of 16 and more, the 0x80 marker included.
  static QOX_VPERM_INLINE V shuffle(V t, V i) {
#if defined(QOX_ARCH_AARCH64)
    return vqtbl1q_u8(t, i);
#else
    const uint8x8x2_t halves = {{vget_low_u8(t), vget_high_u8(t)}};
    return vcombine_u8(vtbl2_u8(halves, vget_low_u8(i)), vtbl2_u8(halves, vget_high_u8(i)));
#endif
  }
  static QOX_VPERM_INLINE V lo(V v) { return vandq_u8(v, vdupq_n_u8(0x0F)); }
  static QOX_VPERM_INLINE V hi(V v) { return vshrq_n_u8(v, 4); }
};

// aarch64 has 32 vector registers; 32-bit ARM has 16.
#if defined(QOX_ARCH_AARCH64)
constexpr size_t kDecryptWidth = 4;
#else
constexpr size_t kDecryptWidth = 2;
#endif

}  // namespace

bool vperm_available() { return (cpu::cpu_features() & cpu::kCpuVperm) != 0; }
const char* vperm_name() { return "neon"; }

QOX_TARGET_VPERM QOX_FLATTEN void cbc_encrypt_vperm(const RoundKeys& k, const uint8_t iv[16],
                                                    const uint8_t* in, uint8_t* out,
                                                    size_t blocks) {
  cbc_encrypt_with(vperm::Encrypt<Neon>{}, k, iv, in, out, blocks);
}

QOX_TARGET_VPERM QOX_FLATTEN void cbc_decrypt_vperm(const RoundKeys& k, const uint8_t iv[16],
                                                    const uint8_t* in, uint8_t* out,
                                                    size_t blocks) {
  cbc_decrypt_with(vperm::Decrypt<Neon, kDecryptWidth>{}, k, iv, in, out, blocks);
}

}  // namespace qox::aes

#elif !defined(QOX_ARCH_X86_64) && !defined(QOX_ARCH_X86_32)

namespace qox::aes {

bool vperm_available() { return false; }
const char* vperm_name() { return "bitsliced"; }

void cbc_encrypt_vperm(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks) {
  cbc_encrypt_bitsliced(k, iv, in, out, blocks);
}

void cbc_decrypt_vperm(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks) {
  cbc_decrypt_bitsliced(k, iv, in, out, blocks);
}

}  // namespace qox::aes

#endif
