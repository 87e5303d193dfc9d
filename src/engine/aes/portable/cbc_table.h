// Table-driven AES-CBC: the CBC driver over T-table rounds on big-endian 32-bit words.
//
// NOT constant-time: the round tables are indexed by secret-dependent bytes,
// so cache timing can leak key and data bits on shared hardware.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/aes/round_keys.h"
#include "engine/aes/tables.h"

namespace qox::aes {

// Four inner-round tables and four final-round tables, 256 words each.
struct TableSet {
  const uint32_t* round[4];
  const uint32_t* final_round[4];
};

// te/tf for encryption; td/tg for decryption.
TableSet encrypt_tables(const Tables& t);
TableSet decrypt_tables(const Tables& t);

// CBC-encrypts `blocks` 16-byte blocks from in to out. in == out is allowed;
// other overlaps are not. No alignment required.
void cbc_encrypt(const TableSet& t, const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                 uint8_t* out, size_t blocks);

// CBC-decrypts `blocks` 16-byte blocks; expects decryption tables and the
// decryption schedule. in == out is allowed; other overlaps are not.
void cbc_decrypt(const TableSet& t, const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                 uint8_t* out, size_t blocks);

// The same loops over the engine's own tables, in the shape of the hardware
// loops: the portable end of the dispatch, and the reference for tests.
void cbc_encrypt_table(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks);
void cbc_decrypt_table(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks);

}  // namespace qox::aes
