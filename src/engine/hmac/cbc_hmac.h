// AES-CBC with the HMAC-SHA256 of the ciphertext computed in the same pass.
//
// Same bytes as running the CBC dispatch and then hmac_sha256 over the
// ciphertext; one pass keeps the data in cache and, on x86-64 with AES-NI
// and SHA-NI, runs the AES and SHA-256 instructions side by side (the serial
// CBC-encryption chain leaves the SHA units idle, and SHA-256 is the slower
// half of decryption).
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/aes/portable/cbc_table.h"
#include "engine/hmac/hmac_sha256.h"

namespace qox::hmac {

// Encrypts `blocks` blocks from in to out (in == out allowed) and writes
// HMAC(mac_key, out) to tag.
void cbc_encrypt_then_mac(const aes::RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                          uint8_t* out, size_t blocks, const HmacSha256Key& mac_key,
                          uint8_t tag[sha256::kSha256DigestSize]);

// Decrypts `blocks` blocks from in to out (in == out allowed) and writes
// HMAC(mac_key, in), the tag of the ciphertext, to tag.
void cbc_decrypt_and_mac(const aes::RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                         uint8_t* out, size_t blocks, const HmacSha256Key& mac_key,
                         uint8_t tag[sha256::kSha256DigestSize]);

// The streaming forms of the two above: transform 4 * chunks blocks (whole
// SHA-256 blocks) chaining from `chain`, hash the ciphertext into `hash` and
// leave the next chaining value in `chain`. in == out allowed.
void cbc_encrypt_hash_chunks(const aes::RoundKeys& k, uint8_t chain[16], const uint8_t* in,
                             uint8_t* out, size_t chunks, sha256::Sha256State& hash);
void cbc_decrypt_hash_chunks(const aes::RoundKeys& k, uint8_t chain[16], const uint8_t* in,
                             uint8_t* out, size_t chunks, sha256::Sha256State& hash);

// "aesni+shani" when the loops above run stitched, else "two-pass".
const char* cbc_mac_provider();

// The stitched loops over 4 * chunks blocks, hashing whole 64-byte chunks
// into `hash` (x86-64 with AES-NI and SHA-NI only: check
// stitched_cbc_sha256_available() first). For decryption with in == out the
// caller keeps the last ciphertext block itself if it needs it.
bool stitched_cbc_sha256_available();
void cbc_encrypt_sha256_stitched(const aes::RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                                 uint8_t* out, size_t chunks, sha256::Sha256State& hash);
void cbc_decrypt_sha256_stitched(const aes::RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                                 uint8_t* out, size_t chunks, sha256::Sha256State& hash);

}  // namespace qox::hmac
