// GF(2^8) multiplication and S-box generation.
#include "engine/aes/field.h"

namespace qox::aes {

uint8_t mul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  while (b != 0) {
    if (b & 1) r ^= a;
    a = xtime(a);
    b >>= 1;
  }
  return r;
}

namespace {

// Left rotation of one byte by n bits (0 < n < 8).
uint8_t rotl_byte(unsigned v, unsigned n) {
  return static_cast<uint8_t>(((v << n) | (v >> (8 - n))) & 0xFF);
}

}  // namespace

SBoxes build_sboxes() {
  SBoxes out{};
  // p walks 3^k; q walks 3^-k, so q is the inverse of p at every step.
  unsigned p = 1;
  unsigned q = 1;
  for (;;) {
    p = (p ^ ((p << 1) ^ ((p & 0x80) ? 0x1B : 0))) & 0xFF;
    q ^= q << 1;
    q &= 0xFF;
    q ^= q << 2;
    q &= 0xFF;
    q ^= q << 4;
    q &= 0xFF;
    if (q & 0x80) q ^= 0x09;
    // Affine transform of the inverse.
    unsigned x = q;
    for (unsigned i = 1; i <= 4; ++i) x ^= rotl_byte(q, i);
    out.sbox[p] = static_cast<uint8_t>((x ^ 0x63) & 0xFF);
    if (p == 1) break;
  }
  out.sbox[0] = 0x63;
  for (unsigned i = 0; i < 256; ++i) out.inv[out.sbox[i]] = static_cast<uint8_t>(i);
  return out;
}

const SBoxes& sboxes() {
  static const SBoxes boxes = build_sboxes();
  return boxes;
}

}  // namespace qox::aes
