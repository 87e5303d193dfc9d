// AES-CBC on the ARMv8 Crypto Extensions, byte-identical to the table path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aes/cbc.h"

namespace qox::aes {

// True when built for aarch64 with the kernels compiled in and
// cpu_features() reports kCpuArmv8Aes. Elsewhere always false.
bool armv8_available();

// Same contract and output as cbc_encrypt/cbc_decrypt with the engine's
// tables and the same RoundKeys (any mid_rounds; in == out allowed; no
// alignment needed). Call only when armv8_available(); builds without the
// kernels forward to the bitsliced path.
void cbc_encrypt_armv8(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks);
void cbc_decrypt_armv8(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks);

}  // namespace qox::aes
