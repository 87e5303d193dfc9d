// Bitsliced AES in portable C++ on 64-bit words: no table indexed by key or
// data and no branch on them, for CPUs without AES or vector-permute paths.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aes/cbc.h"

namespace qox::aes {

// Same contract and output as cbc_encrypt_table/cbc_decrypt_table (any
// mid_rounds; in == out allowed; no alignment needed). Encryption runs one
// chain; decryption four blocks at a time.
void cbc_encrypt_bitsliced(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                           uint8_t* out, size_t blocks);
void cbc_decrypt_bitsliced(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                           uint8_t* out, size_t blocks);

// The S-box applied to each byte of a word, by the same circuit: the key
// expansion's SubWord.
uint32_t sub_word_bitsliced(uint32_t w);

}  // namespace qox::aes
