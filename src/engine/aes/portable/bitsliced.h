// The bitsliced S-box on one word, for the key expansion's SubWord; the
// bitsliced CBC loops are declared with the other paths in cbc_paths.h.
#pragma once

#include <cstdint>

namespace qox::aes {

// The S-box applied to each byte of a word, by the circuit of
// bitsliced_sbox.h: no table, no branch.
uint32_t sub_word_bitsliced(uint32_t w);

}  // namespace qox::aes
