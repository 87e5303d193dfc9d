// AES-CBC entry points that pick the fastest path this CPU supports.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/aes/portable/cbc_table.h"

namespace qox::aes {

// Encrypt/decrypt with the encryption/decryption RoundKeys of a schedule
// on the best available path: VAES (decryption only), AES-NI, the ARMv8
// Crypto Extensions, vector permute (SSSE3, NEON), else bitsliced C++; the
// tables only when QOX_AES_PATH=table. All paths give identical bytes;
// in == out allowed, no alignment needed. The path is chosen once per call.
void cbc_encrypt_auto(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                      size_t blocks);
void cbc_decrypt_auto(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                      size_t blocks);

// The path the auto functions take: "vaes" (decryption on VAES, encryption
// on AES-NI), "aesni", "armv8", "ssse3", "neon", "bitsliced" or "table".
const char* provider();

}  // namespace qox::aes
