// The CBC implementations the fuzz targets hold against the table path.
//
// The table path (aes::cbc_encrypt / aes::cbc_decrypt over aes::tables()) is
// the reference. Every further path goes into kOtherPaths below; the fuzz
// targets then demand byte-identical output from it for every schedule,
// IV and data they generate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "engine/aes/portable/cbc_table.h"
#include "engine/aes/cbc_paths.h"
#include "engine/aes/cbc.h"

namespace qox::fuzz {

// One CBC pass over `blocks` blocks; `in` may equal `out`.
using CbcLoop = void (*)(const aes::RoundKeys& keys, const uint8_t iv[16], const uint8_t* in,
                         uint8_t* out, size_t blocks);

struct CbcPath {
  const char* name;
  bool (*available)();  // false: skipped on this machine
  CbcLoop encrypt;
  CbcLoop decrypt;
  bool (*takes_rounds)(size_t mid_rounds);  // false: a schedule this path cannot run
};

inline bool always() { return true; }
inline bool any_rounds(size_t) { return true; }

inline const CbcPath kTablePath = {"table", always, aes::cbc_encrypt_table, aes::cbc_decrypt_table,
                                   any_rounds};

// The paths compared with the table path; VAES only decrypts (CBC encryption
// is one serial chain), so its encryption side is the AES-NI loop.
inline const std::initializer_list<CbcPath> kOtherPaths = {
    {"aesni", aes::aesni_available, aes::cbc_encrypt_aesni, aes::cbc_decrypt_aesni, any_rounds},
    {"vaes", aes::vaes_available, aes::cbc_encrypt_aesni, aes::cbc_decrypt_vaes, any_rounds},
    {"armv8", aes::armv8_available, aes::cbc_encrypt_armv8, aes::cbc_decrypt_armv8, any_rounds},
    {"vperm", aes::vperm_available, aes::cbc_encrypt_vperm, aes::cbc_decrypt_vperm, any_rounds},
    {"bitsliced", always, aes::cbc_encrypt_bitsliced, aes::cbc_decrypt_bitsliced, any_rounds},
    {"auto", always, aes::cbc_encrypt_auto, aes::cbc_decrypt_auto, any_rounds},
};

}  // namespace qox::fuzz
