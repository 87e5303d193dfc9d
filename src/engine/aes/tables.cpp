// Builds the sixteen round lookup tables from the S-boxes.
#include "engine/aes/tables.h"

#include <memory>

#include "engine/aes/field.h"

namespace qox::aes {

namespace {

constexpr uint32_t ror8(uint32_t w) { return (w >> 8) | (w << 24); }

constexpr uint32_t pack(uint32_t b0, uint32_t b1, uint32_t b2, uint32_t b3) {
  return (b0 << 24) | (b1 << 16) | (b2 << 8) | b3;
}

std::unique_ptr<Tables> build_tables() {
  const SBoxes& boxes = sboxes();
  auto out = std::make_unique<Tables>();
  for (unsigned x = 0; x < 256; ++x) {
    const uint8_t s = boxes.sbox[x];
    const uint8_t t = boxes.inv[x];
    out->te[0][x] = pack(mul(s, 2), s, s, mul(s, 3));
    out->td[0][x] = pack(mul(t, 0x0E), mul(t, 0x09), mul(t, 0x0D), mul(t, 0x0B));
    for (int r = 1; r < 4; ++r) {
      out->te[r][x] = ror8(out->te[r - 1][x]);
      out->td[r][x] = ror8(out->td[r - 1][x]);
    }
    for (int r = 0; r < 4; ++r) {
      const unsigned shift = 24 - 8 * r;
      out->tf[r][x] = static_cast<uint32_t>(s) << shift;
      out->tg[r][x] = static_cast<uint32_t>(t) << shift;
    }
  }
  return out;
}

}  // namespace

const Tables& tables() {
  static const std::unique_ptr<Tables> built = build_tables();
  return *built;
}

}  // namespace qox::aes
