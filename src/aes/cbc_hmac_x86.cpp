// CBC loops that run SHA-256 over the ciphertext on the SHA-NI units while
// AES-NI works on the blocks (x86-64).
#include "aes/bitsliced.h"
#include "aes/cbc_aesni.h"
#include "aes/cbc_hmac.h"
#include "aes/portable.h"
#include "aes/sha256_paths.h"

#if defined(QOX_ARCH_X86_64)

#include "aes/aesni_cbc_steps.h"
#include "aes/sha256_shani_steps.h"

#define QOX_TARGET_AESNI_SHANI QOX_TARGET("aes,sha,sse4.1")
#define QOX_INLINE_AESNI_SHANI QOX_FORCE_INLINE QOX_TARGET("aes,sha,sse4.1")

namespace qox::aes {

namespace {

using hw::encrypt_and_start_next;
using hw::HeldKeys;
using hw::load_block;
using hw::ShaNiMessage;
using hw::ShaNiState;
using hw::StreamedKeys;

// Encryption: each chunk's four blocks form one AES chain, and the previous
// chunk's SHA-256 rounds are spread between them, a quarter per block, so
// that the out-of-order core fills the AES latency with SHA work.
template <bool kHashPrevious, class Keys>
QOX_INLINE_AESNI_SHANI __m128i encrypt_chunk(const Keys& keys, __m128i state, __m128i first,
                                             __m128i first_last, const uint8_t* in, uint8_t* out,
                                             bool more, ShaNiState& hash) {
  ShaNiState before = hash;
  ShaNiMessage m = {};
  if (kHashPrevious) m = hw::load_sha_message(out - kSha256BlockSize);
  state = encrypt_and_start_next(keys, state, first, first_last, in + 16, out);
  if (kHashPrevious) hw::sha_round_groups<0, 4>(hash, m);
  state = encrypt_and_start_next(keys, state, first, first_last, in + 32, out + 16);
  if (kHashPrevious) hw::sha_round_groups<4, 8>(hash, m);
  state = encrypt_and_start_next(keys, state, first, first_last, in + 48, out + 32);
  if (kHashPrevious) hw::sha_round_groups<8, 12>(hash, m);
  if (more) {
    state = encrypt_and_start_next(keys, state, first, first_last, in + 64, out + 48);
  } else {
    hw::encrypt_last(keys, state, out + 48);
  }
  if (kHashPrevious) {
    hw::sha_round_groups<12, 16>(hash, m);
    hw::sha_feed_forward(hash, before);
  }
  return state;
}

template <class Keys>
QOX_TARGET_AESNI_SHANI void encrypt_hash(const Keys& keys, const uint8_t iv[16], const uint8_t* in,
                                         uint8_t* out, size_t chunks, Sha256State& hash) {
  const __m128i first = keys.first();
  const hw::DerivedKey first_last(_mm_xor_si128(first, keys.last()));
  ShaNiState sha = hw::load_sha_state(hash);
  __m128i state = _mm_xor_si128(_mm_xor_si128(load_block(in), load_block(iv)), first);
  state = encrypt_chunk<false>(keys, state, first, first_last.get(), in, out, chunks > 1, sha);
  for (size_t c = 1; c < chunks; ++c) {
    in += kSha256BlockSize, out += kSha256BlockSize;
    state = encrypt_chunk<true>(keys, state, first, first_last.get(), in, out, c + 1 < chunks, sha);
  }
  hw::sha_block(sha, out);
  hw::store_sha_state(hash, sha);
}

// Decryption: the chunk's ciphertext is hashed and its four blocks decrypted
// side by side; the message is read before anything is stored (in == out).
template <class Keys>
QOX_TARGET_AESNI_SHANI void decrypt_hash(const Keys& keys, const uint8_t iv[16], const uint8_t* in,
                                         uint8_t* out, size_t chunks, Sha256State& hash) {
  ShaNiState sha = hw::load_sha_state(hash);
  __m128i prev = load_block(iv);
  for (; chunks > 0; --chunks, in += kSha256BlockSize, out += kSha256BlockSize) {
    const ShaNiState before = sha;
    ShaNiMessage m = hw::load_sha_message(in);
    hw::sha_round_groups<0, 8>(sha, m);
    prev = hw::decrypt_group<4>(keys, prev, in, out);
    hw::sha_round_groups<8, 16>(sha, m);
    hw::sha_feed_forward(sha, before);
  }
  hw::store_sha_state(hash, sha);
}

}  // namespace

bool stitched_cbc_sha256_available() { return aesni_available() && shani_available(); }

// Keys held in registers for the standard round counts, as the plain loop.
QOX_TARGET_AESNI_SHANI void cbc_encrypt_sha256_stitched(const RoundKeys& k, const uint8_t iv[16],
                                                        const uint8_t* in, uint8_t* out,
                                                        size_t chunks, Sha256State& hash) {
  if (chunks == 0) return;
  switch (k.mid_rounds) {
    case 9:
      return encrypt_hash(HeldKeys<9>(k), iv, in, out, chunks, hash);
    case 11:
      return encrypt_hash(HeldKeys<11>(k), iv, in, out, chunks, hash);
    case 13:
      return encrypt_hash(HeldKeys<13>(k), iv, in, out, chunks, hash);
    default:
      return encrypt_hash(StreamedKeys(k), iv, in, out, chunks, hash);
  }
}

QOX_TARGET_AESNI_SHANI void cbc_decrypt_sha256_stitched(const RoundKeys& k, const uint8_t iv[16],
                                                        const uint8_t* in, uint8_t* out,
                                                        size_t chunks, Sha256State& hash) {
  decrypt_hash(StreamedKeys(k), iv, in, out, chunks, hash);
}

}  // namespace qox::aes

#else  // not x86-64: never available; the entry points stay total.

namespace qox::aes {

bool stitched_cbc_sha256_available() { return false; }

void cbc_encrypt_sha256_stitched(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                                 uint8_t* out, size_t chunks, Sha256State& hash) {
  cbc_encrypt_bitsliced(k, iv, in, out, 4 * chunks);
  sha256_blocks(hash, out, chunks);
}

void cbc_decrypt_sha256_stitched(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                                 uint8_t* out, size_t chunks, Sha256State& hash) {
  sha256_blocks(hash, in, chunks);
  cbc_decrypt_bitsliced(k, iv, in, out, 4 * chunks);
}

}  // namespace qox::aes

#endif
