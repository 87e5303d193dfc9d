// SHA-256 and HMAC-SHA256: known answers, every compression path against the
// portable one, and the run-time choice of path.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "engine/cpu/features.h"
#include "engine/hmac/hmac_sha256.h"
#include "engine/sha256/paths.h"
#include "vec_file.h"

namespace qox::aes {
namespace {

using test::Bytes;
using test::from_hex;

Bytes text(const char* s) { return Bytes(s, s + std::strlen(s)); }

std::string hex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += {digits[p[i] >> 4], digits[p[i] & 15]};
  return s;
}

// FIPS 180-4 examples (NIST's SHA256.pdf), through the dispatched path.
TEST(Sha256, KnownAnswers) {
  const struct {
    Bytes message;
    const char* digest;
  } cases[] = {
      {text(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {text("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {Bytes(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    uint8_t digest[sha256::kSha256DigestSize];
    sha256::sha256(c.message.data(), c.message.size(), digest);
    EXPECT_EQ(hex(digest, sizeof digest), c.digest) << c.message.size() << " bytes";
  }
}

// RFC 4231, test cases 1 to 7 (case 5 compares the first 128 bits only).
TEST(HmacSha256, Rfc4231) {
  const Bytes long_key(131, 0xaa);
  const struct {
    Bytes key, data;
    const char* tag;
  } cases[] = {
      {Bytes(20, 0x0b), text("Hi There"),
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {text("Jefe"), text("what do ya want for nothing?"),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {Bytes(20, 0xaa), Bytes(50, 0xdd),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {from_hex("0102030405060708090a0b0c0d0e0f10111213141516171819"), Bytes(50, 0xcd),
       "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {Bytes(20, 0x0c), text("Test With Truncation"), "a3b6167473100ee06e0c796c2955552b"},
      {long_key, text("Test Using Larger Than Block-Size Key - Hash Key First"),
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {long_key,
       text("This is a test using a larger than block-size key and a larger than block-size "
            "data. The key needs to be hashed before being used by the HMAC algorithm."),
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  int number = 1;
  for (const auto& c : cases) {
    uint8_t tag[sha256::kSha256DigestSize];
    hmac::hmac_sha256(c.key.data(), c.key.size(), c.data.data(), c.data.size(), tag);
    const std::string expect = c.tag;
    EXPECT_EQ(hex(tag, sizeof tag).substr(0, expect.size()), expect) << "test case " << number++;
  }
}

struct ShaPath {
  const char* name;
  bool (*available)();
  void (*blocks)(sha256::Sha256State&, const uint8_t*, size_t);
};

class ShaPaths : public ::testing::TestWithParam<ShaPath> {};

TEST_P(ShaPaths, MatchPortableOnRandomBlocks) {
  const ShaPath& p = GetParam();
  if (!p.available()) GTEST_SKIP() << p.name << " not available on this CPU";
  std::mt19937 rng(11);
  for (size_t blocks : {0, 1, 2, 3, 7, 16, 33}) {
    Bytes data(sha256::kSha256BlockSize * blocks + 1);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    sha256::Sha256State expect, got;
    for (int i = 0; i < 8; ++i) expect.h[i] = got.h[i] = rng();
    sha256::sha256_blocks_portable(expect, data.data() + 1, blocks);
    p.blocks(got, data.data() + 1, blocks);  // one byte past alignment
    EXPECT_EQ(Bytes(got.h, got.h + 8), Bytes(expect.h, expect.h + 8)) << blocks << " blocks";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Hardware, ShaPaths,
    ::testing::Values(ShaPath{"shani", sha256::shani_available, sha256::sha256_blocks_shani},
                      ShaPath{"armv8", sha256::armv8_sha2_available, sha256::sha256_blocks_armv8}),
    [](const auto& info) { return std::string(info.param.name); });

// Both CTest entries: the switch that forces the table path forces the
// portable SHA-256 too.
TEST(Sha256Provider, FollowsFeaturesAndSwitch) {
  const uint32_t f = cpu::cpu_features();
  const std::string expect = (f & cpu::kCpuShaNi)     ? "shani"
                             : (f & cpu::kCpuArmSha2) ? "armv8"
                                                      : "portable";
  EXPECT_EQ(sha256::sha256_provider(), expect);
}

TEST(ConstantTimeEqual, FindsAnyDifference) {
  Bytes a(32, 7);
  for (size_t i = 0; i < a.size(); ++i) {
    Bytes b = a;
    b[i] ^= 0x80;
    EXPECT_FALSE(hmac::equal_in_constant_time(a.data(), b.data(), a.size())) << i;
  }
  EXPECT_TRUE(hmac::equal_in_constant_time(a.data(), Bytes(a).data(), a.size()));
}

}  // namespace
}  // namespace qox::aes
