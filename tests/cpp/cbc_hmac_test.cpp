// The one-pass CBC + HMAC loops against the CBC dispatch followed by HMAC.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "engine/aes/cbc.h"
#include "engine/hmac/cbc_hmac.h"
#include "vec_file.h"

namespace qox::aes {
namespace {

using test::Bytes;

Bytes random_bytes(std::mt19937& rng, size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

class OnePass : public ::testing::TestWithParam<size_t> {};  // AES key size

// Block counts around the 4-block chunk and the two-pass road's 256-block span.
TEST_P(OnePass, SameBytesAsTwoPasses) {
  std::mt19937 rng(static_cast<unsigned>(GetParam()));
  const size_t counts[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 12, 13, 63, 64, 65, 255, 256, 257, 1029};
  for (size_t blocks : counts) {
    const Bytes key = random_bytes(rng, GetParam()), iv = random_bytes(rng, 16);
    const Bytes mac_key_bytes = random_bytes(rng, rng() % 100);
    const hmac::HmacSha256Key mac_key(mac_key_bytes.data(), mac_key_bytes.size());
    const Bytes in = random_bytes(rng, 16 * blocks);
    SchedulePair s;
    ASSERT_EQ(expand_key(key.data(), key.size(), s), ExpandStatus::ok);
    const RoundKeys ek = round_keys(s.enc), dk = round_keys(s.dec);
    for (bool in_place : {false, true}) {
      // Encryption: the tag covers the ciphertext written.
      Bytes expect(in.size()), out = in;
      uint8_t expect_tag[32], tag[32];
      cbc_encrypt_auto(ek, iv.data(), in.data(), expect.data(), blocks);
      hmac::hmac_sha256(mac_key, expect.data(), expect.size(), expect_tag);
      Bytes separate(in.size());
      hmac::cbc_encrypt_then_mac(ek, iv.data(), in_place ? out.data() : in.data(),
                                 in_place ? out.data() : separate.data(), blocks, mac_key, tag);
      EXPECT_EQ(in_place ? out : separate, expect) << blocks << " blocks, in place " << in_place;
      EXPECT_EQ(Bytes(tag, tag + 32), Bytes(expect_tag, expect_tag + 32)) << blocks;

      // Decryption: the tag covers the ciphertext read.
      cbc_decrypt_auto(dk, iv.data(), in.data(), expect.data(), blocks);
      hmac::hmac_sha256(mac_key, in.data(), in.size(), expect_tag);
      out = in;
      hmac::cbc_decrypt_and_mac(dk, iv.data(), in_place ? out.data() : in.data(),
                                in_place ? out.data() : separate.data(), blocks, mac_key, tag);
      EXPECT_EQ(in_place ? out : separate, expect) << blocks << " blocks, in place " << in_place;
      EXPECT_EQ(Bytes(tag, tag + 32), Bytes(expect_tag, expect_tag + 32)) << blocks;
    }
    aes::wipe(s);
  }
}

INSTANTIATE_TEST_SUITE_P(KeySizes, OnePass, ::testing::Values(16, 24, 32));

}  // namespace
}  // namespace qox::aes
