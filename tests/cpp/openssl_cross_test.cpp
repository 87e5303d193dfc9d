// Random CBC, SHA-256 and HMAC inputs compared with OpenSSL libcrypto as an
// outside reference.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <memory>
#include <random>

#include "engine/aes/portable/cbc_table.h"
#include "engine/hmac/hmac_sha256.h"

namespace qox::aes {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes reference(bool encrypt, const Bytes& key, const Bytes& iv, const Bytes& in) {
  const EVP_CIPHER* kind = key.size() == 16   ? EVP_aes_128_cbc()
                           : key.size() == 24 ? EVP_aes_192_cbc()
                                              : EVP_aes_256_cbc();
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free);
  Bytes out(in.size());
  int n = 0;
  EXPECT_EQ(EVP_CipherInit_ex(ctx.get(), kind, nullptr, key.data(), iv.data(), encrypt ? 1 : 0), 1);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  if (!in.empty()) {
    EXPECT_EQ(EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), int(in.size())), 1);
  }
  EXPECT_EQ(size_t(n), in.size());
  return out;
}

class OpenSsl : public ::testing::TestWithParam<size_t> {};

TEST_P(OpenSsl, RandomInputsAgree) {
  std::mt19937 rng{static_cast<unsigned>(GetParam())};
  auto rand_bytes = [&](size_t n) {
    Bytes b(n);
    for (auto& x : b) x = uint8_t(rng());
    return b;
  };
  for (int trial = 0; trial < 20; ++trial) {
    const Bytes key = rand_bytes(GetParam()), iv = rand_bytes(16);
    const size_t blocks = rng() % 70;
    const Bytes pt = rand_bytes(blocks * 16);
    SchedulePair s;
    ASSERT_EQ(expand_key(key.data(), key.size(), s), ExpandStatus::ok);
    Bytes ct(pt.size()), back(pt.size());
    cbc_encrypt(encrypt_tables(tables()), round_keys(s.enc), iv.data(), pt.data(), ct.data(),
                blocks);
    ASSERT_EQ(ct, reference(true, key, iv, pt)) << "trial " << trial;
    const Bytes other = rand_bytes(pt.size());
    cbc_decrypt(decrypt_tables(tables()), round_keys(s.dec), iv.data(), other.data(), back.data(),
                blocks);
    ASSERT_EQ(back, reference(false, key, iv, other)) << "trial " << trial;
  }
}

INSTANTIATE_TEST_SUITE_P(KeySizes, OpenSsl, ::testing::Values(16, 24, 32));

// Every message length over three blocks (each padding case), fed to the
// streaming hash in two random pieces, and HMAC keys around the block size.
TEST(OpenSslSha256, EveryLengthAndKeySize) {
  std::mt19937 rng{5};
  Bytes data(200);
  for (auto& x : data) x = uint8_t(rng());
  for (size_t len = 0; len <= data.size(); ++len) {
    uint8_t ours[32], theirs[32];
    sha256::Sha256 hash;
    const size_t split = rng() % (len + 1);
    hash.update(data.data(), split);
    hash.update(data.data() + split, len - split);
    hash.finish(ours);
    SHA256(data.data(), len, theirs);
    ASSERT_EQ(Bytes(ours, ours + 32), Bytes(theirs, theirs + 32)) << "length " << len;

    const size_t key_len = len % 140;
    unsigned theirs_len = 0;
    hmac::hmac_sha256(data.data() + 1, key_len, data.data(), len, ours);
    HMAC(EVP_sha256(), data.data() + 1, int(key_len), data.data(), len, theirs, &theirs_len);
    ASSERT_EQ(Bytes(ours, ours + 32), Bytes(theirs, theirs + 32)) << "key " << key_len;
  }
}

}  // namespace
}  // namespace qox::aes
