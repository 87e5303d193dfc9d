// CBC loops that run SHA-256 over the ciphertext on the SHA-NI units while
// AES-NI works on the blocks (x86-64).
#include "engine/aes/cbc_paths.h"
#include "engine/hmac/cbc_hmac.h"
#include "engine/cpu/portable.h"
#include "engine/sha256/paths.h"

#if defined(QOX_ARCH_X86_64)

#include "engine/aes/cbc_driver.h"
#include "engine/aes/x86/aesni.h"
#include "engine/sha256/x86/shani_steps.h"

#define QOX_TARGET_AESNI_SHANI QOX_TARGET("aes,sha,sse4.1")
#define QOX_INLINE_AESNI_SHANI QOX_FORCE_INLINE QOX_TARGET("aes,sha,sse4.1")

namespace qox::hmac {

namespace {

using aes::x86::AesNi;
using Block = AesNi::Block;
using sha256::x86::ShaNiMessage;
using sha256::x86::ShaNiState;
constexpr AesNi kAesNi{};

// Encryption: each chunk's four blocks form one AES chain, and the previous
// chunk's SHA-256 rounds are spread between them, a quarter per block, so
// that the out-of-order core fills the AES latency with SHA work.
template <bool kHashPrevious, class Keys>
QOX_INLINE_AESNI_SHANI Block encrypt_chunk(const Keys& keys, Block state, Block whitening,
                                           Block fold, const uint8_t* in, uint8_t* out, bool more,
                                           ShaNiState& hash) {
  ShaNiState before = hash;
  ShaNiMessage m = {};
  if (kHashPrevious) m = sha256::x86::load_sha_message(out - sha256::kSha256BlockSize);
  state = aes::encrypt_and_start_next(kAesNi, keys, state, whitening, fold, in + 16, out);
  if (kHashPrevious) sha256::x86::sha_round_groups<0, 4>(hash, m);
  state = aes::encrypt_and_start_next(kAesNi, keys, state, whitening, fold, in + 32, out + 16);
  if (kHashPrevious) sha256::x86::sha_round_groups<4, 8>(hash, m);
  state = aes::encrypt_and_start_next(kAesNi, keys, state, whitening, fold, in + 48, out + 32);
  if (kHashPrevious) sha256::x86::sha_round_groups<8, 12>(hash, m);
  if (more) {
    state = aes::encrypt_and_start_next(kAesNi, keys, state, whitening, fold, in + 64, out + 48);
  } else {
    aes::encrypt_last(kAesNi, keys, state, out + 48);
  }
  if (kHashPrevious) {
    sha256::x86::sha_round_groups<12, 16>(hash, m);
    sha256::x86::sha_feed_forward(hash, before);
  }
  return state;
}

template <class Keys>
QOX_INLINE_AESNI_SHANI void encrypt_hash(const Keys& keys, const uint8_t iv[16], const uint8_t* in,
                                         uint8_t* out, size_t chunks, sha256::Sha256State& hash) {
  const Block whitening = kAesNi.whitening(keys);
  const aes::DerivedKey<AesNi> fold(AesNi::xor_blocks(whitening, keys.last()));
  ShaNiState sha = sha256::x86::load_sha_state(hash);
  Block state = AesNi::xor_blocks(AesNi::xor_blocks(AesNi::load(in), AesNi::load(iv)), whitening);
  state = encrypt_chunk<false>(keys, state, whitening, fold.get(), in, out, chunks > 1, sha);
  for (size_t c = 1; c < chunks; ++c) {
    in += sha256::kSha256BlockSize, out += sha256::kSha256BlockSize;
    state = encrypt_chunk<true>(keys, state, whitening, fold.get(), in, out, c + 1 < chunks, sha);
  }
  sha256::x86::sha_block(sha, out);
  sha256::x86::store_sha_state(hash, sha);
}

// Decryption: the chunk's ciphertext is hashed and its four blocks decrypted
// side by side; the message is read before anything is stored (in == out).
template <class Keys>
QOX_INLINE_AESNI_SHANI void decrypt_hash(const Keys& keys, const uint8_t iv[16], const uint8_t* in,
                                         uint8_t* out, size_t chunks, sha256::Sha256State& hash) {
  ShaNiState sha = sha256::x86::load_sha_state(hash);
  Block prev = AesNi::load(iv);
  for (; chunks > 0; --chunks, in += sha256::kSha256BlockSize, out += sha256::kSha256BlockSize) {
    const ShaNiState before = sha;
    ShaNiMessage m = sha256::x86::load_sha_message(in);
    sha256::x86::sha_round_groups<0, 8>(sha, m);
    prev = aes::decrypt_group<4>(kAesNi, keys, prev, in, out);
    sha256::x86::sha_round_groups<8, 16>(sha, m);
    sha256::x86::sha_feed_forward(sha, before);
  }
  sha256::x86::store_sha_state(hash, sha);
}

}  // namespace

bool stitched_cbc_sha256_available() { return aes::aesni_available() && sha256::shani_available(); }

// Keys held in registers for the standard round counts, as the plain loop.
QOX_TARGET_AESNI_SHANI QOX_FLATTEN void cbc_encrypt_sha256_stitched(const aes::RoundKeys& k,
                                                                    const uint8_t iv[16],
                                                                    const uint8_t* in, uint8_t* out,
                                                                    size_t chunks,
                                                                    sha256::Sha256State& hash) {
  if (chunks == 0) return;
  switch (k.mid_rounds) {
    case 9:
      return encrypt_hash(aes::HeldKeys<AesNi, 9>(kAesNi, k), iv, in, out, chunks, hash);
    case 11:
      return encrypt_hash(aes::HeldKeys<AesNi, 11>(kAesNi, k), iv, in, out, chunks, hash);
    case 13:
      return encrypt_hash(aes::HeldKeys<AesNi, 13>(kAesNi, k), iv, in, out, chunks, hash);
    default:
      return encrypt_hash(aes::StreamedKeys<AesNi>(kAesNi, k), iv, in, out, chunks, hash);
  }
}

QOX_TARGET_AESNI_SHANI QOX_FLATTEN void cbc_decrypt_sha256_stitched(const aes::RoundKeys& k,
                                                                    const uint8_t iv[16],
                                                                    const uint8_t* in, uint8_t* out,
                                                                    size_t chunks,
                                                                    sha256::Sha256State& hash) {
  decrypt_hash(aes::StreamedKeys<AesNi>(kAesNi, k), iv, in, out, chunks, hash);
}

}  // namespace qox::hmac

#else  // not x86-64: never available; the entry points stay total.

namespace qox::hmac {

bool stitched_cbc_sha256_available() { return false; }

void cbc_encrypt_sha256_stitched(const aes::RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                                 uint8_t* out, size_t chunks, sha256::Sha256State& hash) {
  aes::cbc_encrypt_bitsliced(k, iv, in, out, 4 * chunks);
  sha256::sha256_blocks(hash, out, chunks);
}

void cbc_decrypt_sha256_stitched(const aes::RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                                 uint8_t* out, size_t chunks, sha256::Sha256State& hash) {
  sha256::sha256_blocks(hash, in, chunks);
  aes::cbc_decrypt_bitsliced(k, iv, in, out, 4 * chunks);
}

}  // namespace qox::hmac

#endif
