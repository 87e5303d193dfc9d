// CBC loops: known answers, chaining, in-place/unaligned buffers, round trips.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <map>
#include <random>

#include "engine/aes/portable/cbc_table.h"
#include "vec_file.h"

namespace qox::aes {
namespace {

using test::Bytes;

// Expanded key plus the table sets, as a caller would hold them.
struct Cipher {
  explicit Cipher(const Bytes& key) {
    EXPECT_EQ(expand_key(key.data(), key.size(), s), ExpandStatus::ok);
  }
  void enc(const uint8_t* iv, const uint8_t* in, uint8_t* out, size_t blocks) const {
    cbc_encrypt(encrypt_tables(tables()), round_keys(s.enc), iv, in, out, blocks);
  }
  void dec(const uint8_t* iv, const uint8_t* in, uint8_t* out, size_t blocks) const {
    cbc_decrypt(decrypt_tables(tables()), round_keys(s.dec), iv, in, out, blocks);
  }
  SchedulePair s;
};

class Vectors : public ::testing::TestWithParam<test::CbcVector> {};

TEST_P(Vectors, Bulk) {
  const auto& v = GetParam();
  const Cipher c(v.key);
  const size_t n = v.in.size() / 16;
  Bytes out(v.in.size());
  c.enc(v.iv.data(), v.in.data(), out.data(), n);
  EXPECT_EQ(out, v.out);
  c.dec(v.iv.data(), v.out.data(), out.data(), n);
  EXPECT_EQ(out, v.in);
}

// One call per block, carrying the previous ciphertext block as the IV.
TEST_P(Vectors, BlockByBlock) {
  const auto& v = GetParam();
  const Cipher c(v.key);
  Bytes enc(v.in.size()), dec(v.in.size());
  for (size_t off = 0; off < v.in.size(); off += 16) {
    const uint8_t* iv = off == 0 ? v.iv.data() : v.out.data() + off - 16;
    c.enc(off == 0 ? v.iv.data() : enc.data() + off - 16, v.in.data() + off, enc.data() + off, 1);
    c.dec(iv, v.out.data() + off, dec.data() + off, 1);
  }
  EXPECT_EQ(enc, v.out);
  EXPECT_EQ(dec, v.in);
}

TEST_P(Vectors, InPlace) {
  const auto& v = GetParam();
  const Cipher c(v.key);
  Bytes buf = v.in;
  c.enc(v.iv.data(), buf.data(), buf.data(), buf.size() / 16);
  EXPECT_EQ(buf, v.out);
  c.dec(v.iv.data(), buf.data(), buf.data(), buf.size() / 16);
  EXPECT_EQ(buf, v.in);
}

// Input, output and IV all start one byte past an aligned address.
TEST_P(Vectors, Unaligned) {
  const auto& v = GetParam();
  const Cipher c(v.key);
  const size_t len = v.in.size();
  Bytes in(len + 1), out(len + 1), iv(17);
  std::memcpy(in.data() + 1, v.in.data(), len);
  std::memcpy(iv.data() + 1, v.iv.data(), 16);
  c.enc(iv.data() + 1, in.data() + 1, out.data() + 1, len / 16);
  EXPECT_EQ(Bytes(out.begin() + 1, out.end()), v.out);
  c.dec(iv.data() + 1, out.data() + 1, in.data() + 1, len / 16);
  EXPECT_EQ(Bytes(in.begin() + 1, in.end()), v.in);
}

INSTANTIATE_TEST_SUITE_P(File, Vectors, ::testing::ValuesIn(test::load_vectors("aes_cbc.vec")),
                         [](const auto& info) {
                           std::string s = info.param.section + "_" + std::to_string(info.index);
                           for (char& ch : s)
                             ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           return s;
                         });

TEST(Vectors, FileHasAllSections) {
  std::map<std::string, int> count;
  for (const auto& v : test::load_vectors("aes_cbc.vec")) ++count[v.section];
  EXPECT_EQ(count, (std::map<std::string, int>{{"AES-128", 2}, {"AES-192", 2}, {"AES-256", 2}}));
}

Bytes random_bytes(std::mt19937& rng, size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// Round trips at many lengths and key sizes (odd key lengths included);
// a bulk call must equal two split calls chained through the IV.
TEST(RoundTrip, ManyLengths) {
  std::mt19937 rng(1234);
  for (size_t key_len : {16, 24, 32, 5, 20, 33, 40}) {
    const Cipher c(random_bytes(rng, key_len));
    for (size_t blocks = 0; blocks <= 40; blocks += (blocks < 8 ? 1 : 11)) {
      const Bytes iv = random_bytes(rng, 16), pt = random_bytes(rng, blocks * 16);
      Bytes ct(pt.size() + 16, 0xAA), back(pt.size());
      c.enc(iv.data(), pt.data(), ct.data(), blocks);
      EXPECT_EQ(ct[pt.size()], 0xAA) << "wrote past the end";
      ct.resize(pt.size());
      c.dec(iv.data(), ct.data(), back.data(), blocks);
      ASSERT_EQ(back, pt) << "key " << key_len << " blocks " << blocks;
      if (blocks < 2) continue;
      const size_t half = blocks / 2;
      Bytes split(pt.size());
      c.enc(iv.data(), pt.data(), split.data(), half);
      c.enc(split.data() + 16 * (half - 1), pt.data() + 16 * half, split.data() + 16 * half,
            blocks - half);
      EXPECT_EQ(split, ct);
    }
  }
}

// Arbitrary round keys with any number of inner rounds invert correctly
// when decryption uses them reversed with InvMixColumns on inner keys.
TEST(RoundTrip, AnyInnerRoundCount) {
  std::mt19937 rng(99);
  for (size_t rounds : {0, 1, 2, 5, 13, 20}) {
    RoundKey first, last;
    std::vector<RoundKey> mid(rounds), inv_mid(rounds);
    for (auto& w : first) w = rng();
    for (auto& w : last) w = rng();
    for (auto& k : mid)
      for (auto& w : k) w = rng();
    for (size_t r = 0; r < rounds; ++r)
      for (size_t j = 0; j < 4; ++j) inv_mid[rounds - 1 - r][j] = inv_mix_word(mid[r][j]);
    const RoundKeys ek{first.data(), rounds ? mid[0].data() : nullptr, rounds, last.data()};
    const RoundKeys dk{last.data(), rounds ? inv_mid[0].data() : nullptr, rounds, first.data()};
    const Bytes iv = random_bytes(rng, 16), pt = random_bytes(rng, 64);
    Bytes ct(64), back(64);
    cbc_encrypt(encrypt_tables(tables()), ek, iv.data(), pt.data(), ct.data(), 4);
    cbc_decrypt(decrypt_tables(tables()), dk, iv.data(), ct.data(), back.data(), 4);
    EXPECT_EQ(back, pt) << rounds << " inner rounds";
    EXPECT_NE(ct, pt);
  }
}

}  // namespace
}  // namespace qox::aes
