// Field arithmetic, S-boxes and lookup tables against published values.
#include <gtest/gtest.h>

#include <set>

#include "engine/aes/field.h"
#include "engine/aes/tables.h"

namespace qox::aes {
namespace {

struct Product {
  uint8_t a, b, r;
};

// FIPS-197 section 4.2 worked examples plus edge cases.
TEST(Field, KnownProducts) {
  const Product cases[] = {{0x57, 0x83, 0xC1}, {0x57, 0x13, 0xFE}, {0x57, 0x02, 0xAE},
                           {0x57, 0x04, 0x47}, {0x57, 0x08, 0x8E}, {0x57, 0x10, 0x07},
                           {0x00, 0xFF, 0x00}, {0xFF, 0x01, 0xFF}};
  for (const auto& c : cases) {
    EXPECT_EQ(mul(c.a, c.b), c.r) << std::hex << int(c.a) << "*" << int(c.b);
    EXPECT_EQ(mul(c.b, c.a), c.r);
  }
  static_assert(xtime(0x8E) == 0x07 && xtime(0x47) == 0x8E, "xtime reduction");
}

// Rows 0, 1, 5 and F of the published forward and inverse boxes.
TEST(SBox, PublishedRows) {
  const uint8_t fwd[4][16] = {{0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67,
                               0x2b, 0xfe, 0xd7, 0xab, 0x76},
                              {0xca, 0x82, 0xc9, 0x7d, 0xfa, 0x59, 0x47, 0xf0, 0xad, 0xd4, 0xa2,
                               0xaf, 0x9c, 0xa4, 0x72, 0xc0},
                              {0x53, 0xd1, 0x00, 0xed, 0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe,
                               0x39, 0x4a, 0x4c, 0x58, 0xcf},
                              {0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42, 0x68, 0x41, 0x99, 0x2d,
                               0x0f, 0xb0, 0x54, 0xbb, 0x16}};
  const uint8_t inv[4][16] = {{0x52, 0x09, 0x6a, 0xd5, 0x30, 0x36, 0xa5, 0x38, 0xbf, 0x40, 0xa3,
                               0x9e, 0x81, 0xf3, 0xd7, 0xfb},
                              {0x7c, 0xe3, 0x39, 0x82, 0x9b, 0x2f, 0xff, 0x87, 0x34, 0x8e, 0x43,
                               0x44, 0xc4, 0xde, 0xe9, 0xcb},
                              {0x6c, 0x70, 0x48, 0x50, 0xfd, 0xed, 0xb9, 0xda, 0x5e, 0x15, 0x46,
                               0x57, 0xa7, 0x8d, 0x9d, 0x84},
                              {0x17, 0x2b, 0x04, 0x7e, 0xba, 0x77, 0xd6, 0x26, 0xe1, 0x69, 0x14,
                               0x63, 0x55, 0x21, 0x0c, 0x7d}};
  const int rows[4] = {0x0, 0x1, 0x5, 0xF};
  const SBoxes& b = sboxes();
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 16; ++c) {
      EXPECT_EQ(b.sbox[rows[r] * 16 + c], fwd[r][c]) << "sbox row " << rows[r] << " col " << c;
      EXPECT_EQ(b.inv[rows[r] * 16 + c], inv[r][c]) << "inv row " << rows[r] << " col " << c;
    }
}

// Every entry equals the affine map of the field inverse found by search.
TEST(SBox, MatchesAffineOfInverse) {
  const SBoxes& b = sboxes();
  std::set<uint8_t> seen;
  for (unsigned x = 0; x < 256; ++x) {
    unsigned y = 0;
    while (x != 0 && mul(x, y) != 1) ++y;
    unsigned s = y;
    for (int i = 1; i <= 4; ++i) s ^= ((y << i) | (y >> (8 - i))) & 0xFF;
    ASSERT_EQ(b.sbox[x], (s ^ 0x63) & 0xFF) << "x=" << x;
    ASSERT_EQ(b.inv[b.sbox[x]], x);
    seen.insert(b.sbox[x]);
  }
  EXPECT_EQ(seen.size(), 256u);
}

struct TableValue {
  const char* name;
  uint32_t got, want;
};

TEST(Tables, SpotValues) {
  const Tables& t = tables();
  const TableValue cases[] = {
      {"te0[0]", t.te[0][0], 0xC66363A5}, {"te1[0]", t.te[1][0], 0xA5C66363},
      {"te3[0]", t.te[3][0], 0x6363A5C6}, {"te0[1]", t.te[0][1], 0xF87C7C84},
      {"td0[0]", t.td[0][0], 0x51F4A750}, {"td0[1]", t.td[0][1], 0x7E416553},
      {"td2[0]", t.td[2][0], 0xA75051F4}, {"tf0[0]", t.tf[0][0], 0x63000000},
      {"tf3[1]", t.tf[3][1], 0x0000007C}, {"tg0[0]", t.tg[0][0], 0x52000000},
      {"tg2[1]", t.tg[2][1], 0x00000900},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.name;
}

}  // namespace
}  // namespace qox::aes
