// GF(2^8) arithmetic modulo x^8+x^4+x^3+x+1 and the derived AES S-boxes.
#pragma once

#include <array>
#include <cstdint>

namespace qox::aes {

// Multiplies a by x (0x02) in the field; result reduced to 8 bits.
constexpr uint8_t xtime(uint8_t a) {
  return static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1B : 0x00));
}

// Field product a*b by shift-and-add over the bits of b.
uint8_t mul(uint8_t a, uint8_t b);

// Forward S-box and its inverse; inv[sbox[x]] == x.
struct SBoxes {
  std::array<uint8_t, 256> sbox;
  std::array<uint8_t, 256> inv;
};

// Builds both boxes by walking the multiplicative group with generator 3.
SBoxes build_sboxes();

// Boxes built once on first use; safe to call from several threads.
const SBoxes& sboxes();

}  // namespace qox::aes
