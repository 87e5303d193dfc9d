// Precomputed round lookup tables for the table-driven AES rounds.
#pragma once

#include <cstdint>

namespace qox::aes {

// Words are big-endian: byte 0 of a column sits in bits 31..24.
//   te[i]: SubBytes+MixColumns for row i (te[i+1] = ror8(te[i])).
//   tf[i]: SubBytes only, placed at row i (final encryption round).
//   td[i]: InvSubBytes+InvMixColumns for row i (td[i+1] = ror8(td[i])).
//   tg[i]: InvSubBytes only, placed at row i (final decryption round).
struct Tables {
  uint32_t te[4][256];
  uint32_t tf[4][256];
  uint32_t td[4][256];
  uint32_t tg[4][256];
};

// Tables built once from sboxes() on first use; thread-safe.
const Tables& tables();

}  // namespace qox::aes
