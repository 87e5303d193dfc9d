// Key expansion: published expansions, odd lengths against a slow model.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "engine/aes/field.h"
#include "engine/aes/key_schedule.h"
#include "../fuzz/aes_model.h"
#include "vec_file.h"

namespace qox::aes {
namespace {

using test::Bytes;
using test::from_hex;

struct Expansion {
  const char* key;
  std::map<size_t, uint32_t> words;  // index -> expected word
};

// FIPS-197 Appendix A.1-A.3 (first, middle and final words).
const Expansion kPublished[] = {
    {"2b7e151628aed2a6abf7158809cf4f3c",
     {{0, 0x2b7e1516},
      {3, 0x09cf4f3c},
      {4, 0xa0fafe17},
      {5, 0x88542cb1},
      {6, 0x23a33939},
      {7, 0x2a6c7605},
      {8, 0xf2c295f2},
      {11, 0x7359f67f},
      {40, 0xd014f9a8},
      {41, 0xc9ee2589},
      {42, 0xe13f0cc8},
      {43, 0xb6630ca6}}},
    {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
     {{5, 0x522c6b7b},
      {6, 0xfe0c91f7},
      {7, 0x2402f5a5},
      {8, 0xec12068e},
      {9, 0x6c827f6b},
      {10, 0x0e7a95b9},
      {11, 0x5c56fec2},
      {48, 0xe98ba06f},
      {49, 0x448c773c},
      {50, 0x8ecc7204},
      {51, 0x01002202}}},
    {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     {{7, 0x0914dff4},
      {8, 0x9ba35411},
      {9, 0x8e6925af},
      {10, 0xa51a8b5f},
      {11, 0x2067fcde},
      {12, 0xa8b09c1a},
      {13, 0x93d194cd},
      {14, 0xbe49846e},
      {15, 0xb75d5b9a},
      {56, 0xfe4890d1},
      {57, 0xe6188d0b},
      {58, 0x046df344},
      {59, 0x706c631e}}},
};

TEST(KeySchedule, PublishedExpansions) {
  for (const auto& e : kPublished) {
    const Bytes key = from_hex(e.key);
    std::vector<uint32_t> w;
    ASSERT_EQ(expand_key_words(key.data(), key.size(), w), ExpandStatus::ok);
    ASSERT_EQ(w.size(), 4 * (key.size() / 4 + 7)) << e.key;
    for (const auto& [i, want] : e.words) EXPECT_EQ(w[i], want) << e.key << " w[" << i << "]";
  }
}

TEST(KeySchedule, InvMixWord) {
  // Inverse direction of well-known MixColumns column pairs.
  const std::pair<uint32_t, uint32_t> cases[] = {
      {0x046681E5, 0xD4BF5D30}, {0x8E4DA1BC, 0xDB135345}, {0x9FDC589D, 0xF20A225C},
      {0xD5D5D7D6, 0xD4D4D4D5}, {0x4D7EBDF8, 0x2D26314C}, {0xC6C6C6C6, 0xC6C6C6C6}};
  for (const auto& [in, want] : cases) EXPECT_EQ(inv_mix_word(in), want) << std::hex << in;
}

TEST(KeySchedule, RejectsKeysWithoutWholeWord) {
  const uint8_t key[3] = {1, 2, 3};
  SchedulePair p;
  std::vector<uint32_t> w;
  EXPECT_EQ(expand_key(key, 0, p), ExpandStatus::empty_key);
  EXPECT_EQ(expand_key_words(key, 0, w), ExpandStatus::empty_key);
  for (size_t n = 1; n <= 3; ++n) {
    EXPECT_EQ(expand_key(key, n, p), ExpandStatus::short_key) << n;
    EXPECT_EQ(expand_key_words(key, n, w), ExpandStatus::short_key) << n;
  }
}

// Slow model: the fuzzers' literal list-append expansion (its own S-box, no
// engine code), then the cutting into round keys with index reads.
SchedulePair model_schedules(const Bytes& key) {
  const size_t nr = key.size() / 4 + 6;
  const std::vector<uint32_t> w = fuzz::model::expand_words(key.data(), key.size());
  std::vector<uint32_t> dw = w;
  for (size_t r = 1; r < nr; ++r)
    for (size_t j = 0; j < 4; ++j) dw.at(4 * r + j) = inv_mix_word(w.at(4 * r + j));
  auto cut = [](const std::vector<uint32_t>& v, size_t r) {
    return RoundKey{v.at(4 * r), v.at(4 * r + 1), v.at(4 * r + 2), v.at(4 * r + 3)};
  };
  SchedulePair p{{int(nr), cut(w, 0), {}, cut(w, nr)}, {int(nr), cut(dw, nr), {}, cut(dw, 0)}};
  for (size_t r = 1; r < nr; ++r) p.enc.mid.push_back(cut(w, r));
  for (size_t r = nr - 1; r >= 1; --r) p.dec.mid.push_back(cut(dw, r));
  return p;
}

void expect_same(const Schedule& got, const Schedule& want, const std::string& what) {
  EXPECT_EQ(got.nr, want.nr) << what;
  EXPECT_EQ(got.first, want.first) << what;
  EXPECT_EQ(got.mid, want.mid) << what;
  EXPECT_EQ(got.last, want.last) << what;
}

class KeyLength : public ::testing::TestWithParam<size_t> {};

TEST_P(KeyLength, MatchesSlowModel) {
  Bytes key(GetParam());
  for (size_t i = 0; i < key.size(); ++i) key[i] = uint8_t(i * 37 + 11);
  SchedulePair got;
  ASSERT_EQ(expand_key(key.data(), key.size(), got), ExpandStatus::ok);
  const SchedulePair want = model_schedules(key);
  ASSERT_EQ(got.enc.mid.size(), size_t(got.enc.nr - 1));
  expect_same(got.enc, want.enc, "enc");
  expect_same(got.dec, want.dec, "dec");
}

INSTANTIATE_TEST_SUITE_P(Lengths, KeyLength,
                         ::testing::Values(4, 5, 6, 7, 8, 12, 15, 16, 17, 20, 23, 24, 28, 31, 32,
                                           33, 36, 39, 40));

// Values pinned from an independent transcription (key bytes 1..n).
TEST(KeySchedule, OddLengthPinnedValues) {
  struct Pin {
    size_t len;
    RoundKey enc_last, dec_mid0;
  };
  const Pin pins[] = {
      {5,
       {0xd7add599, 0xdbedaee1, 0x87ae3b97, 0x1f095658},
       {0x5dc24263, 0x1cf44339, 0xbec9994e, 0x3997d742}},
      {33,
       {0xe1fdaf05, 0xa0577024, 0xfa932537, 0x066ebe68},
       {0x8954e506, 0xe07ac316, 0x3609728e, 0x01bedd29}},
  };
  for (const auto& pin : pins) {
    Bytes key(pin.len);
    for (size_t i = 0; i < key.size(); ++i) key[i] = uint8_t(i + 1);
    SchedulePair p;
    ASSERT_EQ(expand_key(key.data(), key.size(), p), ExpandStatus::ok);
    EXPECT_EQ(p.enc.last, pin.enc_last) << pin.len;
    EXPECT_EQ(p.dec.first, pin.enc_last) << pin.len;
    EXPECT_EQ(p.dec.mid.at(0), pin.dec_mid0) << pin.len;
  }
}

}  // namespace
}  // namespace qox::aes
