// Secret-dependence check of the engine under valgrind memcheck: the key and
// the plaintext are marked undefined, so any branch or memory address that
// depends on them is reported ("Conditional jump or move depends on
// uninitialised value(s)", "Use of uninitialised value of size 8"). Each run
// takes the path QOX_AES_PATH names through the key expansion, CBC in both
// directions, the HMAC of the ciphertext and the tag comparison, then marks
// the results defined and checks the round trip.
//
//   QOX_AES_PATH=<path> valgrind --error-exitcode=3 ct_check <expected provider>
//
// Exit 77 when this CPU (as valgrind presents it) does not take that path.
#include <valgrind/memcheck.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "engine/aes/cbc.h"
#include "engine/aes/key_schedule.h"
#include "engine/hmac/hmac_sha256.h"

namespace {

using namespace qox::aes;
using qox::hmac::equal_in_constant_time;
using qox::hmac::hmac_sha256;

template <class T>
void mark_secret(T* p, size_t bytes) {
  VALGRIND_MAKE_MEM_UNDEFINED(p, bytes);
}

template <class T>
void mark_public(T* p, size_t bytes) {
  VALGRIND_MAKE_MEM_DEFINED(p, bytes);
}

// One key size: 1 + 7 blocks each way, so decryption runs its groups and a tail.
bool round_trip(size_t key_size) {
  std::vector<uint8_t> key(key_size), plain(16 * 7), cipher(plain.size()), back(plain.size());
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(17 * i + 3);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * i + 5);
  const std::vector<uint8_t> original = plain;
  uint8_t iv[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  mark_secret(key.data(), key.size());
  mark_secret(plain.data(), plain.size());

  SchedulePair schedule;
  if (expand_key(key.data(), key.size(), schedule) != ExpandStatus::ok) return false;
  cbc_encrypt_auto(round_keys(schedule.enc), iv, plain.data(), cipher.data(), 7);
  cbc_decrypt_auto(round_keys(schedule.dec), iv, cipher.data(), back.data(), 7);

  uint8_t tag[32], again[32];
  hmac_sha256(key.data(), key.size(), cipher.data(), cipher.size(), tag);
  hmac_sha256(key.data(), key.size(), cipher.data(), cipher.size(), again);
  bool same_tag = equal_in_constant_time(tag, again, sizeof tag);
  wipe(schedule);

  mark_public(back.data(), back.size());
  mark_public(&same_tag, sizeof same_tag);
  return same_tag && back == original;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: ct_check <expected provider>\n");
    return 2;
  }
  if (std::strcmp(provider(), argv[1]) != 0) {
    std::printf("skipped: the engine takes %s here, not %s\n", provider(), argv[1]);
    return 77;
  }
  for (size_t key_size : {16, 24, 32}) {
    if (!round_trip(key_size)) {
      std::printf("round trip failed with a %zu-byte key on %s\n", key_size, provider());
      return 1;
    }
  }
  std::printf("%s: round trips done\n", provider());
  return 0;
}
