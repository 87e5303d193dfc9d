// AES-CBC through vector permutes (SSSE3 PSHUFB on x86, NEON TBL on ARM):
// constant-time without AES instructions, byte-identical to the table path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aes/cbc.h"

namespace qox::aes {

// True when this build has the kernels for its architecture and
// cpu_features() reports kCpuVperm. Elsewhere always false.
bool vperm_available();

// "ssse3" or "neon": the instruction set the kernels of this build use.
const char* vperm_name();

// Same contract and output as cbc_encrypt_table/cbc_decrypt_table (any
// mid_rounds; in == out allowed; no alignment needed). Call only when
// vperm_available(); builds without the kernels forward to the bitsliced path.
void cbc_encrypt_vperm(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks);
void cbc_decrypt_vperm(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks);

}  // namespace qox::aes
