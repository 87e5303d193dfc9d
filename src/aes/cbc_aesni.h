// AES-CBC on the AES-NI instructions, byte-identical to the table path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aes/cbc.h"

namespace qox::aes {

// True when built for x86-64 and cpu_features() reports kCpuAesNi.
// Elsewhere always false.
bool aesni_available();

// Same contract and output as cbc_encrypt/cbc_decrypt with the engine's
// tables and the same RoundKeys (any mid_rounds; in == out allowed; no
// alignment needed). Call only when aesni_available(); the build for other
// architectures forwards to the bitsliced path.
void cbc_encrypt_aesni(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks);
void cbc_decrypt_aesni(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks);

}  // namespace qox::aes
