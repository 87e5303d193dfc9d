// Fuzz target: the CBC loops on key-derived and on arbitrary schedules.
//
// Input: a flags byte, then either a key (a length byte and that many bytes)
// or an arbitrary schedule (a middle-round count and its words), then 16
// bytes of IV and the data, cut to whole blocks. For every schedule:
//   - the table path equals the slow model of aes_model.h, both directions;
//   - decryption with the inverse schedule undoes encryption;
//   - in place, one block at a time and from an unaligned buffer give the
//     same bytes as one bulk call;
//   - every other path of cbc_paths.h gives the table path's bytes.
#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/aes/portable/cbc_table.h"
#include "engine/aes/key_schedule.h"
#include "aes_model.h"
#include "cbc_paths.h"
#include "fuzz_input.h"

namespace {

using qox::aes::RoundKeys;
using qox::fuzz::CbcLoop;
using qox::fuzz::CbcPath;
using Bytes = std::vector<uint8_t>;

constexpr size_t kMaxBlocks = 64;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// Round keys as the engine reads them, viewing the model's words.
struct EngineKeys {
  explicit EngineKeys(const qox::fuzz::model::RoundKeyWords& k)
      : mid(k.mid.size() * 4), keys{k.first.data(), nullptr, k.mid.size(), k.last.data()} {
    for (size_t r = 0; r < k.mid.size(); ++r) std::memcpy(&mid[4 * r], k.mid[r].data(), 16);
    keys.mid = mid.data();
  }
  std::vector<uint32_t> mid;
  RoundKeys keys;
};

qox::fuzz::model::RoundKeyWords model_keys(const qox::aes::Schedule& s) {
  qox::fuzz::model::RoundKeyWords k{s.first, {}, s.last};
  for (const auto& round_key : s.mid) k.mid.push_back(round_key);
  return k;
}

Bytes run(CbcLoop loop, const RoundKeys& keys, const uint8_t* iv, const Bytes& in) {
  Bytes out(in.size());
  loop(keys, iv, in.data(), out.data(), in.size() / 16);
  return out;
}

// The same pass in place, block by block with the chaining value carried
// over, and from a buffer one byte off alignment: all equal to `bulk`.
void check_variants(CbcLoop loop, bool encrypt, const RoundKeys& keys, const uint8_t* iv,
                    const Bytes& in, const Bytes& bulk) {
  Bytes in_place = in;
  loop(keys, iv, in_place.data(), in_place.data(), in.size() / 16);
  check(in_place == bulk);

  Bytes stepwise(in.size());
  for (size_t off = 0; off < in.size(); off += 16) {
    const uint8_t* chain = off == 0 ? iv : (encrypt ? stepwise.data() : in.data()) + off - 16;
    loop(keys, chain, in.data() + off, stepwise.data() + off, 1);
  }
  check(stepwise == bulk);

  Bytes shifted_in(in.size() + 1), shifted_out(in.size() + 1);
  std::copy(in.begin(), in.end(), shifted_in.begin() + 1);
  loop(keys, iv, shifted_in.data() + 1, shifted_out.data() + 1, in.size() / 16);
  check(Bytes(shifted_out.begin() + 1, shifted_out.end()) == bulk);
}

void check_path(const CbcPath& path, const qox::fuzz::model::RoundKeyWords& enc,
                const qox::fuzz::model::RoundKeyWords& dec, const uint8_t* iv, const Bytes& plain,
                const Bytes& expected_cipher) {
  if (!path.available() || !path.takes_rounds(enc.mid.size())) return;
  const EngineKeys enc_keys(enc), dec_keys(dec);
  const Bytes cipher = run(path.encrypt, enc_keys.keys, iv, plain);
  check(cipher == expected_cipher);
  check(run(path.decrypt, dec_keys.keys, iv, cipher) == plain);
  check_variants(path.encrypt, true, enc_keys.keys, iv, plain, cipher);
  check_variants(path.decrypt, false, dec_keys.keys, iv, cipher, plain);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qox::fuzz::FuzzInput input(data, size);
  const bool arbitrary_schedule = input.byte() & 1;
  qox::fuzz::model::RoundKeyWords enc, dec;
  if (arbitrary_schedule) {
    // Any words and any number of middle rounds, up to 31.
    const size_t mid_rounds = input.byte() & 31;
    for (uint32_t& word : enc.first) word = input.word();
    enc.mid.resize(mid_rounds);
    for (auto& round_key : enc.mid)
      for (uint32_t& word : round_key) word = input.word();
    for (uint32_t& word : enc.last) word = input.word();
    dec = qox::fuzz::model::inverse_schedule(enc);
  } else {
    const Bytes key = input.bytes(input.byte());
    qox::aes::SchedulePair pair;
    if (qox::aes::expand_key(key.data(), key.size(), pair) != qox::aes::ExpandStatus::ok) return 0;
    enc = model_keys(pair.enc);
    dec = model_keys(pair.dec);
    // The engine's decryption schedule is the equivalent inverse of its encryption one.
    const auto expected_dec = qox::fuzz::model::inverse_schedule(enc);
    check(dec.first == expected_dec.first && dec.mid == expected_dec.mid &&
          dec.last == expected_dec.last);
  }
  uint8_t iv[16] = {};
  const Bytes iv_bytes = input.bytes(16);
  std::copy(iv_bytes.begin(), iv_bytes.end(), iv);
  Bytes plain = input.rest();
  plain.resize(std::min(plain.size() / 16, kMaxBlocks) * 16);

  const Bytes expected = qox::fuzz::model::cbc(enc, iv, plain, true);
  check(qox::fuzz::model::cbc(dec, iv, expected, false) == plain);
  check_path(qox::fuzz::kTablePath, enc, dec, iv, plain, expected);
  for (const CbcPath& path : qox::fuzz::kOtherPaths)
    check_path(path, enc, dec, iv, plain, expected);
  return 0;
}
