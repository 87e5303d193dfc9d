// SHA-256 on the SHA-NI instructions as inline steps (x86-64 sources only),
// shared by the plain SHA-NI path and the loops that hash while they encrypt.
#pragma once

#include "engine/cpu/portable.h"

#if !defined(QOX_ARCH_X86_64)
#error "sha256_shani_steps.h is only for x86-64 sources"
#endif

#include <immintrin.h>

#include <cstdint>

#include "engine/sha256/paths.h"

// Per-function targets: the rest of the build needs no -msha.
#define QOX_TARGET_SHANI QOX_TARGET("sha,sse4.1")
#define QOX_INLINE_SHANI QOX_FORCE_INLINE QOX_TARGET("sha,sse4.1")

namespace qox::sha256::x86 {

// The chaining value in the instructions' layout: `abef` holds A, B, E, F
// from the high lane down, `cdgh` holds C, D, G, H.
struct ShaNiState {
  __m128i abef;
  __m128i cdgh;
};

QOX_INLINE_SHANI ShaNiState load_sha_state(const Sha256State& s) {
  const __m128i abcd = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&s.h[0]));
  const __m128i efgh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&s.h[4]));
  const __m128i badc = _mm_shuffle_epi32(abcd, 0xB1);  // lanes B A D C
  const __m128i hgfe = _mm_shuffle_epi32(efgh, 0x1B);  // lanes H G F E
  return {_mm_alignr_epi8(badc, hgfe, 8), _mm_blend_epi16(hgfe, badc, 0xF0)};
}

QOX_INLINE_SHANI void store_sha_state(Sha256State& s, const ShaNiState& v) {
  const __m128i abef = _mm_shuffle_epi32(v.abef, 0x1B);  // lanes A B E F
  const __m128i ghcd = _mm_shuffle_epi32(v.cdgh, 0xB1);  // lanes G H C D
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&s.h[0]), _mm_blend_epi16(abef, ghcd, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&s.h[4]), _mm_alignr_epi8(ghcd, abef, 8));
}

// The 16 message words of one block, as four big-endian lanes each.
struct ShaNiMessage {
  __m128i w[4];
};

QOX_INLINE_SHANI ShaNiMessage load_sha_message(const uint8_t* block) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  ShaNiMessage m;
  for (int i = 0; i < 4; ++i) {
    m.w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i)),
                              byte_swap);
  }
  return m;
}

// Rounds 4g..4g+3 of a block. From group 4 on, the message words for this
// group replace those of group g-4: W[t-16] + s0(W[t-15]) (MSG1), + W[t-7]
// (the words straddling groups g-2 and g-1), + s1(W[t-2]) (MSG2).
template <int kGroup>
QOX_INLINE_SHANI void sha_round_group(ShaNiState& s, ShaNiMessage& m) {
  __m128i& w = m.w[kGroup & 3];
  if (kGroup >= 4) {
    const __m128i prev = m.w[(kGroup - 1) & 3];
    const __m128i w_minus_7 = _mm_alignr_epi8(prev, m.w[(kGroup - 2) & 3], 4);
    w = _mm_sha256msg2_epu32(
        _mm_add_epi32(_mm_sha256msg1_epu32(w, m.w[(kGroup - 3) & 3]), w_minus_7), prev);
  }
  const __m128i wk = _mm_add_epi32(
      w, _mm_load_si128(reinterpret_cast<const __m128i*>(&kSha256RoundConstants[4 * kGroup])));
  // Two rounds each; the A,B,E,F after two rounds are the C,D,G,H after four.
  s.cdgh = _mm_sha256rnds2_epu32(s.cdgh, s.abef, wk);
  s.abef = _mm_sha256rnds2_epu32(s.abef, s.cdgh, _mm_shuffle_epi32(wk, 0x0E));
}

// Groups kFrom..kTo-1, so callers can spread one block over other work.
template <int kFrom, int kTo>
QOX_INLINE_SHANI void sha_round_groups(ShaNiState& s, ShaNiMessage& m) {
  if constexpr (kFrom < kTo) {
    sha_round_group<kFrom>(s, m);
    sha_round_groups<kFrom + 1, kTo>(s, m);
  }
}

// Adds the chaining value saved before the block (the last step of a block).
QOX_INLINE_SHANI void sha_feed_forward(ShaNiState& s, const ShaNiState& before) {
  s.abef = _mm_add_epi32(s.abef, before.abef);
  s.cdgh = _mm_add_epi32(s.cdgh, before.cdgh);
}

QOX_INLINE_SHANI void sha_block(ShaNiState& s, const uint8_t* block) {
  const ShaNiState before = s;
  ShaNiMessage m = load_sha_message(block);
  sha_round_groups<0, 16>(s, m);
  sha_feed_forward(s, before);
}

}  // namespace qox::sha256::x86
