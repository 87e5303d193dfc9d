// Fuzz target: key expansion for every key length, against the slow model.
//
// Input: the key itself, any length. Keys of 0 to 3 bytes must be refused
// with their status and leave the output alone; longer ones must give, word
// for word, the model's expansion and both schedules cut from it.
#include <vector>

#include "engine/aes/key_schedule.h"
#include "aes_model.h"

namespace {

using qox::aes::RoundKey;

constexpr size_t kMaxKeyBytes = 512;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

RoundKey cut(const std::vector<uint32_t>& w, size_t r) {
  return {w[4 * r], w[4 * r + 1], w[4 * r + 2], w[4 * r + 3]};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* key, size_t len) {
  if (len > kMaxKeyBytes) return 0;
  std::vector<uint32_t> words{0xDEADBEEF};
  qox::aes::SchedulePair pair;
  pair.enc.nr = -1;
  const auto words_status = qox::aes::expand_key_words(key, len, words);
  const auto status = qox::aes::expand_key(key, len, pair);
  if (len < 4) {
    const auto expected =
        len == 0 ? qox::aes::ExpandStatus::empty_key : qox::aes::ExpandStatus::short_key;
    check(status == expected && words_status == expected);
    check(words.empty() && pair.enc.nr == -1 && pair.enc.mid.empty());
    return 0;
  }
  check(status == qox::aes::ExpandStatus::ok && words_status == qox::aes::ExpandStatus::ok);

  const std::vector<uint32_t> w = qox::fuzz::model::expand_words(key, len);
  check(words == w);
  const size_t nr = len / 4 + 6;
  std::vector<uint32_t> dw = w;
  for (size_t i = 4; i < 4 * nr; ++i) dw[i] = qox::fuzz::model::inv_mix_word(w[i]);

  check(pair.enc.nr == static_cast<int>(nr) && pair.dec.nr == static_cast<int>(nr));
  check(pair.enc.first == cut(w, 0) && pair.enc.last == cut(w, nr));
  check(pair.dec.first == cut(dw, nr) && pair.dec.last == cut(dw, 0));
  check(pair.enc.mid.size() == nr - 1 && pair.dec.mid.size() == nr - 1);
  for (size_t r = 1; r < nr; ++r) {
    check(pair.enc.mid[r - 1] == cut(w, r));
    check(pair.dec.mid[r - 1] == cut(dw, nr - r));
  }
  // Every word of the engine's inverse mix, too.
  for (uint32_t word : w)
    check(qox::aes::inv_mix_word(word) == qox::fuzz::model::inv_mix_word(word));
  return 0;
}
