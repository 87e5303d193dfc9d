// Key expansion into encryption and decryption round-key schedules.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qox::aes {

// InvMixColumns applied to one big-endian column word.
uint32_t inv_mix_word(uint32_t w);

enum class ExpandStatus {
  ok,
  empty_key,  // zero-length key
  short_key,  // 1..3 bytes: fewer than one whole key word
};

// Expands key into words, big-endian, nk = len/4 and nr = nk + 6.
// The key is split into ceil(len/4) initial words (a short tail gives a
// smaller integer), then 4*(nr+1) - nk words are appended. When len is not a
// multiple of 4 the list starts with one extra word, so appended words land
// one index past the one the loop is computing; reads use the list as is.
// w is replaced; on error it is left empty.
ExpandStatus expand_key_words(const uint8_t* key, size_t len, std::vector<uint32_t>& w);

using RoundKey = std::array<uint32_t, 4>;

// first/last are the outer round keys; mid holds nr-1 inner round keys.
struct Schedule {
  int nr;
  RoundKey first;
  std::vector<RoundKey> mid;
  RoundKey last;
};

// enc runs K[0], K[1..nr-1], K[nr]. dec runs the same keys in reverse,
// with InvMixColumns applied to every inner round key.
struct SchedulePair {
  Schedule enc;
  Schedule dec;
};

// Builds both schedules from key; out is untouched on error. The
// intermediate word lists are wiped before they are released; the caller
// wipes `out` once it is done with it (see wipe below).
ExpandStatus expand_key(const uint8_t* key, size_t len, SchedulePair& out);

// Zeroes every round key, middle ones included, and the spare room of the
// middle list (its storage is kept).
void wipe(Schedule& s) noexcept;
void wipe(SchedulePair& p) noexcept;
void wipe(std::vector<uint32_t>& words) noexcept;

}  // namespace qox::aes
