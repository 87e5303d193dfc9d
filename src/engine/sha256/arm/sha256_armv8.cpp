// SHA-256 compression on the ARMv8 SHA2 instructions (aarch64).
#include "engine/cpu/features.h"
#include "engine/cpu/portable.h"
#include "engine/sha256/paths.h"

// GCC's arm_neon.h offers the SHA-256 intrinsics to any function with the
// target attribute; clang's (14) only when the whole build targets SHA2.
#if defined(QOX_ARCH_AARCH64) && \
    ((defined(__GNUC__) && !defined(__clang__)) || defined(__ARM_FEATURE_SHA2))
#define QOX_HAVE_ARM_SHA2_PATH 1
#endif

#if defined(QOX_HAVE_ARM_SHA2_PATH)

#include <arm_neon.h>

// Per-function target: the rest of the build needs no +crypto. The
// extension is "crypto" (AES and SHA2) because that is what the compilers'
// arm_neon.h asks of the SHA-256 intrinsics; only SHA2 is used and probed.
#if defined(__GNUC__) && !defined(__clang__) && !defined(__ARM_FEATURE_SHA2)
#define QOX_TARGET_ARM_SHA2 QOX_TARGET("+crypto")
#else
#define QOX_TARGET_ARM_SHA2
#endif

namespace qox::sha256 {

bool armv8_sha2_available() { return (cpu::cpu_features() & cpu::kCpuArmSha2) != 0; }

// Four rounds per step on (A,B,C,D) and (E,F,G,H); the message words of
// group g+4 replace those of group g once g's are used: W[t-16] + s0(W[t-15])
// (SU0), + W[t-7] + s1(W[t-2]) (SU1).
QOX_TARGET_ARM_SHA2 void sha256_blocks_armv8(Sha256State& state, const uint8_t* data,
                                             size_t blocks) {
  uint32x4_t abcd = vld1q_u32(&state.h[0]);
  uint32x4_t efgh = vld1q_u32(&state.h[4]);
  for (; blocks > 0; --blocks, data += kSha256BlockSize) {
    const uint32x4_t abcd_before = abcd, efgh_before = efgh;
    uint32x4_t w[4];
    for (int i = 0; i < 4; ++i) w[i] = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(data + 16 * i)));
    for (int g = 0; g < 16; ++g) {
      const uint32x4_t wk = vaddq_u32(w[g & 3], vld1q_u32(&kSha256RoundConstants[4 * g]));
      if (g < 12) {
        w[g & 3] = vsha256su1q_u32(vsha256su0q_u32(w[g & 3], w[(g + 1) & 3]), w[(g + 2) & 3],
                                   w[(g + 3) & 3]);
      }
      const uint32x4_t abcd_in = abcd;
      abcd = vsha256hq_u32(abcd, efgh, wk);
      efgh = vsha256h2q_u32(efgh, abcd_in, wk);
    }
    abcd = vaddq_u32(abcd, abcd_before);
    efgh = vaddq_u32(efgh, efgh_before);
  }
  vst1q_u32(&state.h[0], abcd);
  vst1q_u32(&state.h[4], efgh);
}

}  // namespace qox::sha256

#else  // no SHA2 instructions in this build: the entry point stays total.

namespace qox::sha256 {

bool armv8_sha2_available() { return false; }

void sha256_blocks_armv8(Sha256State& state, const uint8_t* data, size_t blocks) {
  sha256_blocks_portable(state, data, blocks);
}

}  // namespace qox::sha256

#endif
