// The CBC driver's decryption on VAES: four blocks per zmm register, four
// registers in flight; the last one to three blocks on AES-NI.
#include "engine/aes/cbc_paths.h"
#include "engine/cpu/features.h"
#include "engine/cpu/portable.h"

#if defined(QOX_ARCH_X86_64)

#include "engine/aes/cbc_driver.h"
#include "engine/aes/x86/aesni.h"

#define QOX_TARGET_VAES QOX_TARGET("vaes,avx512f,aes,sse4.1")
#define QOX_VAES_INLINE QOX_ISA_INLINE("vaes,avx512f,aes,sse4.1")

namespace qox::aes {

namespace x86 {

// The unmasked forms of the lane intrinsics below draw a dummy source from
// _mm512_undefined_epi32(), which g++ 12 reports as maybe-uninitialized;
// the zero-masking forms with every lane selected compile to the same code.
constexpr __mmask16 kAll32BitLanes = 0xFFFF;
constexpr __mmask8 kAll64BitLanes = 0xFF;

// A zmm register wrapped in a struct: the driver's templates carry no target,
// and a bare __m512i passed or returned there is an ABI change that compilers
// reject (clang) or warn about (g++); as a struct it is plain data. Every such
// call is inlined into the VAES entry point anyway (QOX_FLATTEN).
struct Zmm {
  __m512i v;
};

struct Vaes {
  using Block = Zmm;
  static constexpr size_t kLanes = 4;
  // Each inner key is reloaded and broadcast once per sixteen blocks, which
  // measured as fast as holding all of them in registers.
  static constexpr size_t kDecryptRegs = 4;
  static constexpr bool kHoldKeys = false;

  // One 128-bit block repeated in all four lanes.
  QOX_VAES_INLINE static Block broadcast(__m128i block) {
    return {_mm512_maskz_broadcast_i32x4(kAll32BitLanes, block)};
  }
  QOX_VAES_INLINE static Block load_key(const uint32_t* words) {
    return broadcast(AesNi::load_key(words));
  }
  QOX_VAES_INLINE static Block load(const uint8_t* p) { return {_mm512_loadu_si512(p)}; }
  QOX_VAES_INLINE static void store(uint8_t* p, Block b) { _mm512_storeu_si512(p, b.v); }
  QOX_VAES_INLINE static Block xor_blocks(Block a, Block b) { return {_mm512_xor_si512(a.v, b.v)}; }
  QOX_VAES_INLINE static Block load_chain(const uint8_t* iv) { return broadcast(AesNi::load(iv)); }
  QOX_VAES_INLINE static void store_top_lane(uint8_t* p, Block b) {
    AesNi::store(p, _mm512_maskz_extracti32x4_epi32(0xF, b.v, 3));
  }
  // Lanes are blocks, lane 0 lowest. The blocks before each lane are lane 3
  // of `before` then lanes 0..2 of `cipher`, i.e. the 1024-bit pair shifted
  // right by three lanes.
  QOX_VAES_INLINE static Block chain_of(Block cipher, Block before) {
    return {_mm512_maskz_alignr_epi64(kAll64BitLanes, cipher.v, before.v, 6)};
  }

  template <class Keys>
  QOX_VAES_INLINE static Block whitening(const Keys& keys) {
    return keys.first();
  }
  template <size_t kRegs, class Keys>
  QOX_VAES_INLINE static void decrypt_rounds(const Keys& keys, Block (&state)[kRegs]) {
    for (size_t r = 0; r < keys.mid_rounds(); ++r) {
      const Block key = keys.mid(r);
      for (size_t j = 0; j < kRegs; ++j) state[j].v = _mm512_aesdec_epi128(state[j].v, key.v);
    }
  }
  QOX_VAES_INLINE static Block decrypt_final(Block s, Block final_key) {
    return {_mm512_aesdeclast_epi128(s.v, final_key.v)};
  }
  static void decrypt_tail(const RoundKeys& k, const uint8_t chain[16], const uint8_t* in,
                           uint8_t* out, size_t blocks) {
    cbc_decrypt_aesni(k, chain, in, out, blocks);
  }
};

}  // namespace x86

bool vaes_available() { return (cpu::cpu_features() & cpu::kCpuVaes512) != 0; }

QOX_TARGET_VAES QOX_FLATTEN void cbc_decrypt_vaes(const RoundKeys& k, const uint8_t iv[16],
                                                  const uint8_t* in, uint8_t* out, size_t blocks) {
  if (blocks < x86::Vaes::kLanes) return cbc_decrypt_aesni(k, iv, in, out, blocks);
  cbc_decrypt_with(x86::Vaes{}, k, iv, in, out, blocks);
}

}  // namespace qox::aes

#else  // not x86-64: no VAES; the entry point stays total through the bitsliced loop.

namespace qox::aes {

bool vaes_available() { return false; }

void cbc_decrypt_vaes(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                      size_t blocks) {
  cbc_decrypt_bitsliced(k, iv, in, out, blocks);
}

}  // namespace qox::aes

#endif
