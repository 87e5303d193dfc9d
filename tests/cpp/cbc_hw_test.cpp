// Hardware CBC paths against the table path, the auto path and the table switch.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "engine/aes/cbc_paths.h"
#include "engine/aes/cbc.h"
#include "engine/cpu/features.h"
#include "vec_file.h"

namespace qox::aes {
namespace {

using test::Bytes;
using CbcFn = void (*)(const RoundKeys&, const uint8_t*, const uint8_t*, uint8_t*, size_t);

// One hardware function and the table function it must reproduce.
struct HwCase {
  const char* name;
  bool (*available)();
  CbcFn hw;
  CbcFn table;
};

void PrintTo(const HwCase& c, std::ostream* os) { *os << c.name; }

const HwCase kHwCases[] = {
    {"aesni_encrypt", aesni_available, cbc_encrypt_aesni, cbc_encrypt_table},
    {"aesni_decrypt", aesni_available, cbc_decrypt_aesni, cbc_decrypt_table},
    {"vaes_decrypt", vaes_available, cbc_decrypt_vaes, cbc_decrypt_table},
    {"armv8_encrypt", armv8_available, cbc_encrypt_armv8, cbc_encrypt_table},
    {"armv8_decrypt", armv8_available, cbc_decrypt_armv8, cbc_decrypt_table},
    {"vperm_encrypt", vperm_available, cbc_encrypt_vperm, cbc_encrypt_table},
    {"vperm_decrypt", vperm_available, cbc_decrypt_vperm, cbc_decrypt_table},
    {"bitsliced_encrypt", [] { return true; }, cbc_encrypt_bitsliced, cbc_encrypt_table},
    {"bitsliced_decrypt", [] { return true; }, cbc_decrypt_bitsliced, cbc_decrypt_table},
    {"auto_encrypt", [] { return true; }, cbc_encrypt_auto, cbc_encrypt_table},
    {"auto_decrypt", [] { return true; }, cbc_decrypt_auto, cbc_decrypt_table},
};

Bytes random_bytes(std::mt19937& rng, size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// Arbitrary words as a schedule: both paths must agree on any keys, not
// only on expanded ones, and for any inner round count.
struct RandomKeys {
  RandomKeys(std::mt19937& rng, size_t mid_rounds)
      : words(4 * (mid_rounds + 2)), mid_rounds(mid_rounds) {
    for (auto& w : words) w = rng();
  }
  RoundKeys view() const {
    return {words.data(), mid_rounds ? words.data() + 4 : nullptr, mid_rounds,
            words.data() + 4 * (mid_rounds + 1)};
  }
  std::vector<uint32_t> words;
  size_t mid_rounds;
};

// Where the hardware call reads and writes, relative to the table call.
enum class Layout { separate, in_place, off_by_one };
const char* const kLayoutNames[] = {"separate", "in_place", "off_by_one"};

void PrintTo(Layout l, std::ostream* os) { *os << kLayoutNames[static_cast<int>(l)]; }

class HwMatchesTable : public ::testing::TestWithParam<std::tuple<HwCase, Layout>> {};

// Block counts around every group width (1/2/4/8 xmm, 4/16 zmm) and long runs.
const size_t kBlockCounts[] = {1,  2,  3,  4,  5,  7,  8,  9,  12,  15,  16,
                               17, 19, 20, 31, 32, 33, 47, 64, 100, 255, 300};

TEST_P(HwMatchesTable, RandomSchedules) {
  const auto& [c, layout] = GetParam();
  if (!c.available()) GTEST_SKIP() << c.name << " not available on this CPU";
  constexpr size_t kGuard = 64;  // catches stores past the last block
  std::mt19937 rng(static_cast<unsigned>(std::hash<std::string>{}(c.name)) +
                   static_cast<unsigned>(layout));
  for (size_t mid = 0; mid <= 20; ++mid) {
    const RandomKeys keys(rng, mid);
    for (size_t blocks : kBlockCounts) {
      const size_t len = 16 * blocks;
      const Bytes iv = random_bytes(rng, 16), in = random_bytes(rng, len);
      Bytes expect(len);
      c.table(keys.view(), iv.data(), in.data(), expect.data(), blocks);

      const size_t off = layout == Layout::off_by_one ? 1 : 0;
      Bytes src(off + len), dst(off + len + kGuard, 0xA5), iv_buf(off + 16);
      std::memcpy(src.data() + off, in.data(), len);
      std::memcpy(iv_buf.data() + off, iv.data(), 16);
      if (layout == Layout::in_place) std::memcpy(dst.data(), in.data(), len);
      const uint8_t* from = layout == Layout::in_place ? dst.data() : src.data() + off;
      c.hw(keys.view(), iv_buf.data() + off, from, dst.data() + off, blocks);

      ASSERT_EQ(Bytes(dst.begin() + off, dst.begin() + off + len), expect)
          << c.name << " mid_rounds " << mid << " blocks " << blocks;
      ASSERT_EQ(Bytes(dst.end() - kGuard, dst.end()), Bytes(kGuard, 0xA5)) << "wrote past the end";
      ASSERT_EQ(Bytes(iv_buf.begin() + off, iv_buf.end()), iv) << "IV modified";
    }
  }
}

std::string case_name(const ::testing::TestParamInfo<HwMatchesTable::ParamType>& info) {
  return std::string(std::get<0>(info.param).name) + "_" +
         kLayoutNames[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Paths, HwMatchesTable,
                         ::testing::Combine(::testing::ValuesIn(kHwCases),
                                            ::testing::Values(Layout::separate, Layout::in_place,
                                                              Layout::off_by_one)),
                         case_name);

TEST(HwZeroBlocks, WritesNothing) {
  std::mt19937 rng(7);
  const RandomKeys keys(rng, 13);
  const Bytes iv = random_bytes(rng, 16);
  for (const HwCase& c : kHwCases) {
    if (!c.available()) continue;
    Bytes out(32, 0x5A);
    c.hw(keys.view(), iv.data(), out.data(), out.data(), 0);
    EXPECT_EQ(out, Bytes(32, 0x5A)) << c.name;
  }
}

// Known answers through the auto path: bulk, one block per call with the
// previous ciphertext as IV, and in place one byte past alignment.
class AutoVectors : public ::testing::TestWithParam<test::CbcVector> {};

TEST_P(AutoVectors, BulkChainedAndUnaligned) {
  const auto& v = GetParam();
  SchedulePair s;
  ASSERT_EQ(expand_key(v.key.data(), v.key.size(), s), ExpandStatus::ok);
  const RoundKeys ek = round_keys(s.enc), dk = round_keys(s.dec);
  const size_t len = v.in.size(), blocks = len / 16;

  Bytes out(len);
  cbc_encrypt_auto(ek, v.iv.data(), v.in.data(), out.data(), blocks);
  EXPECT_EQ(out, v.out);
  cbc_decrypt_auto(dk, v.iv.data(), v.out.data(), out.data(), blocks);
  EXPECT_EQ(out, v.in);

  Bytes enc(len), dec(len);
  for (size_t off = 0; off < len; off += 16) {
    cbc_encrypt_auto(ek, off ? enc.data() + off - 16 : v.iv.data(), v.in.data() + off,
                     enc.data() + off, 1);
    cbc_decrypt_auto(dk, off ? v.out.data() + off - 16 : v.iv.data(), v.out.data() + off,
                     dec.data() + off, 1);
  }
  EXPECT_EQ(enc, v.out);
  EXPECT_EQ(dec, v.in);

  Bytes buf(len + 1);
  std::memcpy(buf.data() + 1, v.in.data(), len);
  cbc_encrypt_auto(ek, v.iv.data(), buf.data() + 1, buf.data() + 1, blocks);
  EXPECT_EQ(Bytes(buf.begin() + 1, buf.end()), v.out);
  cbc_decrypt_auto(dk, v.iv.data(), buf.data() + 1, buf.data() + 1, blocks);
  EXPECT_EQ(Bytes(buf.begin() + 1, buf.end()), v.in);
}

INSTANTIATE_TEST_SUITE_P(File, AutoVectors, ::testing::ValuesIn(test::load_vectors("aes_cbc.vec")),
                         [](const auto& info) {
                           std::string s = info.param.section + "_" + std::to_string(info.index);
                           for (char& ch : s)
                             ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           return s;
                         });

// Sets (or unsets, for nullptr) an environment variable; Windows has
// _putenv_s, where an empty value removes the variable.
void set_env(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value ? value : "");
#else
  value ? setenv(name, value, 1) : unsetenv(name);
#endif
}

// Sets (or unsets, for nullptr) the switch for one scope.
class ScopedSwitch {
 public:
  explicit ScopedSwitch(const char* value) {
    if (const char* old = std::getenv(cpu::kAesPathEnv)) saved_ = old, had_ = true;
    set_env(cpu::kAesPathEnv, value);
  }
  ~ScopedSwitch() { set_env(cpu::kAesPathEnv, had_ ? saved_.c_str() : nullptr); }

 private:
  std::string saved_;
  bool had_ = false;
};

// What each value of the switch leaves of the probed features.
class PathSwitch
    : public ::testing::TestWithParam<std::tuple<const char*, cpu::AesPath, uint32_t>> {};

TEST_P(PathSwitch, NamesAPathAndRemovesFasterOnes) {
  const auto& [value, path, kept] = GetParam();
  const uint32_t probed = (ScopedSwitch(nullptr), cpu::detect_cpu_features());
  const ScopedSwitch with(value);
  EXPECT_EQ(cpu::named_aes_path(), path);
  EXPECT_EQ(cpu::detect_cpu_features(), probed & kept);
}

constexpr uint32_t kAll = ~0u;
INSTANTIATE_TEST_SUITE_P(
    Values, PathSwitch,
    ::testing::Values(std::make_tuple("table", cpu::AesPath::table, 0u),
                      std::make_tuple("bitsliced", cpu::AesPath::bitsliced, 0u),
                      std::make_tuple("vperm", cpu::AesPath::vperm, uint32_t{cpu::kCpuVperm}),
                      std::make_tuple("neon", cpu::AesPath::vperm, uint32_t{cpu::kCpuVperm}),
                      std::make_tuple("aesni", cpu::AesPath::aesni,
                                      kAll & ~uint32_t{cpu::kCpuVaes512}),
                      std::make_tuple("vaes", cpu::AesPath::vaes, kAll),
                      std::make_tuple("", cpu::AesPath::automatic, kAll),
                      std::make_tuple("Table", cpu::AesPath::automatic, kAll)));

// Runs in every CTest entry: with the switch set in the environment the
// process must report and use the path it names or the next slower one.
TEST(Provider, FollowsFeaturesAndSwitch) {
  const cpu::AesPath named = cpu::aes_path_switch();
  const uint32_t f = cpu::cpu_features();
  if (f & cpu::kCpuVaes512) {
    EXPECT_TRUE(f & cpu::kCpuAesNi) << "VAES tails run on AES-NI";
  }
  const std::string expect = (f & cpu::kCpuVaes512)         ? "vaes"
                             : (f & cpu::kCpuAesNi)         ? "aesni"
                             : armv8_available()            ? "armv8"
                             : (f & cpu::kCpuVperm)         ? vperm_name()
                             : named == cpu::AesPath::table ? "table"
                                                            : "bitsliced";
  EXPECT_EQ(provider(), expect);
  EXPECT_EQ(aesni_available(), (f & cpu::kCpuAesNi) != 0);
  EXPECT_EQ(vaes_available(), (f & cpu::kCpuVaes512) != 0);
  EXPECT_EQ(vperm_available(), (f & cpu::kCpuVperm) != 0);
  if (!(f & cpu::kCpuArmv8Aes)) {
    EXPECT_FALSE(armv8_available());
  }
  // Set by the runs on emulated CPUs that are known to take a given path
  // (with the switch as set), so that a probe that misses it fails instead
  // of skipping.
  if (const char* want = std::getenv("QOX_EXPECT_PROVIDER")) {
    EXPECT_STREQ(provider(), want);
  }
}

}  // namespace
}  // namespace qox::aes
