// CBC with the ciphertext's HMAC in one pass: the stitched loops for whole
// 64-byte chunks where the CPU has them, else the CBC dispatch and SHA-256
// taking turns over spans that stay in cache; the tail through Sha256.
#include "engine/hmac/cbc_hmac.h"

#include <cstring>

#include "engine/aes/cbc.h"
#include "engine/cpu/wipe.h"

namespace qox::hmac {

namespace {

constexpr size_t kBlockSize = 16;
constexpr size_t kBlocksPerChunk = sha256::kSha256BlockSize / kBlockSize;
// Blocks per turn on the two-pass road: 4 KiB, well inside L1.
constexpr size_t kSpanBlocks = 256;

enum class Mode { encrypt, decrypt };

// Hashes and transforms the first 4 * chunks blocks; leaves the chaining
// value for the next block in `chain`.
void run_chunks(Mode mode, const aes::RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                uint8_t* out, size_t chunks, sha256::Sha256State& hash, uint8_t chain[16]) {
  const size_t blocks = chunks * kBlocksPerChunk;
  const size_t last = (blocks - 1) * kBlockSize;
  if (stitched_cbc_sha256_available()) {
    if (mode == Mode::encrypt) {
      cbc_encrypt_sha256_stitched(k, iv, in, out, chunks, hash);
      std::memcpy(chain, out + last, kBlockSize);
    } else {
      std::memcpy(chain, in + last, kBlockSize);  // before in == out overwrites it
      cbc_decrypt_sha256_stitched(k, iv, in, out, chunks, hash);
    }
    return;
  }
  std::memcpy(chain, iv, kBlockSize);
  for (size_t done = 0; done < blocks;) {
    const size_t span = blocks - done < kSpanBlocks ? blocks - done : kSpanBlocks;
    const uint8_t* span_in = in + done * kBlockSize;
    uint8_t* span_out = out + done * kBlockSize;
    const size_t span_last = (span - 1) * kBlockSize;
    if (mode == Mode::encrypt) {
      aes::cbc_encrypt_auto(k, chain, span_in, span_out, span);
      sha256::sha256_blocks(hash, span_out, span / kBlocksPerChunk);
      std::memcpy(chain, span_out + span_last, kBlockSize);
    } else {
      uint8_t next_chain[16];
      std::memcpy(next_chain, span_in + span_last, kBlockSize);
      sha256::sha256_blocks(hash, span_in, span / kBlocksPerChunk);
      aes::cbc_decrypt_auto(k, chain, span_in, span_out, span);
      std::memcpy(chain, next_chain, kBlockSize);
    }
    done += span;
  }
}

void run(Mode mode, const aes::RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
         size_t blocks, const HmacSha256Key& mac_key, uint8_t tag[sha256::kSha256DigestSize]) {
  sha256::Sha256State hash = mac_key.inner();
  uint8_t chain[16];
  std::memcpy(chain, iv, kBlockSize);
  const size_t chunks = blocks / kBlocksPerChunk;
  if (chunks > 0) run_chunks(mode, k, iv, in, out, chunks, hash, chain);

  // Up to three blocks left: transformed, then hashed with the padding.
  const size_t done = chunks * sha256::kSha256BlockSize;
  const size_t tail = (blocks % kBlocksPerChunk) * kBlockSize;
  sha256::Sha256 inner(hash, sha256::kSha256BlockSize + done);
  if (mode == Mode::encrypt) {
    aes::cbc_encrypt_auto(k, chain, in + done, out + done, tail / kBlockSize);
    inner.update(out + done, tail);
  } else {
    inner.update(in + done, tail);
    aes::cbc_decrypt_auto(k, chain, in + done, out + done, tail / kBlockSize);
  }
  uint8_t inner_digest[sha256::kSha256DigestSize];
  inner.finish(inner_digest);
  mac_key.finish(inner_digest, tag);
  cpu::wipe_bytes(&hash, sizeof hash);
}

}  // namespace

void cbc_encrypt_then_mac(const aes::RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                          uint8_t* out, size_t blocks, const HmacSha256Key& mac_key,
                          uint8_t tag[sha256::kSha256DigestSize]) {
  run(Mode::encrypt, k, iv, in, out, blocks, mac_key, tag);
}

void cbc_decrypt_and_mac(const aes::RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                         uint8_t* out, size_t blocks, const HmacSha256Key& mac_key,
                         uint8_t tag[sha256::kSha256DigestSize]) {
  run(Mode::decrypt, k, iv, in, out, blocks, mac_key, tag);
}

void cbc_encrypt_hash_chunks(const aes::RoundKeys& k, uint8_t chain[16], const uint8_t* in,
                             uint8_t* out, size_t chunks, sha256::Sha256State& hash) {
  if (chunks == 0) return;
  uint8_t iv[16];
  std::memcpy(iv, chain, kBlockSize);
  run_chunks(Mode::encrypt, k, iv, in, out, chunks, hash, chain);
}

void cbc_decrypt_hash_chunks(const aes::RoundKeys& k, uint8_t chain[16], const uint8_t* in,
                             uint8_t* out, size_t chunks, sha256::Sha256State& hash) {
  if (chunks == 0) return;
  uint8_t iv[16];
  std::memcpy(iv, chain, kBlockSize);
  run_chunks(Mode::decrypt, k, iv, in, out, chunks, hash, chain);
}

const char* cbc_mac_provider() {
  return stitched_cbc_sha256_available() ? "aesni+shani" : "two-pass";
}

}  // namespace qox::hmac
