// The CBC paths behind the dispatch in cbc.h, each on its own instruction
// set and each giving the table loop's bytes, for the dispatch and the tests.
//
// Every pair below has the contract of cbc_encrypt/cbc_decrypt in
// portable/cbc_table.h with the engine's own tables and the same RoundKeys
// (any mid_rounds; in == out allowed; no alignment needed). Call a path only
// when its *_available() is true; a build without that path's kernels keeps
// the entry points total by forwarding to the bitsliced loops.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/aes/round_keys.h"

namespace qox::aes {

// x86-64 AES-NI (x86/cbc_aesni.cpp): kCpuAesNi.
bool aesni_available();
void cbc_encrypt_aesni(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks);
void cbc_decrypt_aesni(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks);

// x86-64 VAES on 512-bit registers (x86/cbc_vaes.cpp): kCpuVaes512, which
// implies kCpuAesNi. Decryption only: CBC encryption is a serial chain that
// wider registers cannot speed up.
bool vaes_available();
void cbc_decrypt_vaes(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                      size_t blocks);

// aarch64 ARMv8 Crypto Extensions (arm/cbc_armv8.cpp): kCpuArmv8Aes, with the
// kernels compiled in.
bool armv8_available();
void cbc_encrypt_armv8(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks);
void cbc_decrypt_armv8(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks);

// Vector permute (x86/cbc_vperm_ssse3.cpp on SSSE3, arm/cbc_vperm_neon.cpp
// on NEON): kCpuVperm, with the kernels compiled in. Constant-time without
// AES instructions.
bool vperm_available();
// "ssse3" or "neon": the instruction set this build's kernels use.
const char* vperm_name();
void cbc_encrypt_vperm(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks);
void cbc_decrypt_vperm(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks);

// Bitsliced portable C++ on 64-bit words (portable/cbc_bitsliced.cpp): every
// CPU; constant-time. Encryption runs one chain, decryption four blocks at a time.
void cbc_encrypt_bitsliced(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                           uint8_t* out, size_t blocks);
void cbc_decrypt_bitsliced(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                           uint8_t* out, size_t blocks);

}  // namespace qox::aes
