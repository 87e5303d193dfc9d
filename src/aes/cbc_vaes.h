// AES-CBC decryption on 512-bit VAES, byte-identical to the table path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aes/cbc.h"

namespace qox::aes {

// True when built for x86-64 and cpu_features() reports kCpuVaes512
// (which implies kCpuAesNi). Elsewhere always false.
bool vaes_available();

// Same contract and output as cbc_decrypt with the engine's tables. CBC
// encryption is a serial chain that wider vectors cannot speed up, so there
// is no VAES encryption. Call only when vaes_available(); the build for
// other architectures forwards to the bitsliced path.
void cbc_decrypt_vaes(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                      size_t blocks);

}  // namespace qox::aes
