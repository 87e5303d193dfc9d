// AES-NI as a traits type of the CBC driver (x86-64 sources only); the
// stitched CBC+SHA-256 loops use it too.
#pragma once

#include "engine/cpu/portable.h"

#if !defined(QOX_ARCH_X86_64)
#error "engine/aes/x86/aesni.h is only for x86-64 sources"
#endif

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

// Per-function targets: the rest of the build needs no -maes.
#define QOX_TARGET_AESNI QOX_TARGET("aes,sse4.1")
#define QOX_AESNI_INLINE QOX_ISA_INLINE("aes,sse4.1")

namespace qox::aes::x86 {

struct AesNi {
  using Block = __m128i;
  static constexpr size_t kLanes = 1;
  // Eight blocks in flight cover the AESDEC latency times its issue rate.
  static constexpr size_t kDecryptRegs = 8;
  // With every key in a register a round is one instruction.
  static constexpr bool kHoldKeys = true;

  // Schedule words are big-endian; the instructions want byte 0 of word 0
  // first, so each 32-bit lane is byte-reversed on load.
  QOX_AESNI_INLINE static Block load_key(const uint32_t* words) {
    const __m128i reverse_each_word =
        _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words)),
                            reverse_each_word);
  }
  QOX_AESNI_INLINE static Block load(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  QOX_AESNI_INLINE static void store(uint8_t* p, Block b) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), b);
  }
  QOX_AESNI_INLINE static Block xor_blocks(Block a, Block b) { return _mm_xor_si128(a, b); }
  QOX_AESNI_INLINE static Block load_chain(const uint8_t* iv) { return load(iv); }
  QOX_AESNI_INLINE static Block chain_of(Block, Block before) { return before; }

  // AESENC/AESDEC add their key after the round: the first key whitens the input.
  template <class Keys>
  QOX_AESNI_INLINE static Block whitening(const Keys& keys) {
    return keys.first();
  }
  template <class Keys>
  QOX_AESNI_INLINE static Block encrypt_rounds(const Keys& keys, Block s, Block final_key) {
    for (size_t r = 0; r < keys.mid_rounds(); ++r) s = _mm_aesenc_si128(s, keys.mid(r));
    return _mm_aesenclast_si128(s, final_key);
  }
  template <size_t kRegs, class Keys>
  QOX_AESNI_INLINE static void decrypt_rounds(const Keys& keys, Block (&state)[kRegs]) {
    for (size_t r = 0; r < keys.mid_rounds(); ++r) {
      const Block key = keys.mid(r);
      for (size_t j = 0; j < kRegs; ++j) state[j] = _mm_aesdec_si128(state[j], key);
    }
  }
  QOX_AESNI_INLINE static Block decrypt_final(Block s, Block final_key) {
    return _mm_aesdeclast_si128(s, final_key);
  }
};

}  // namespace qox::aes::x86
