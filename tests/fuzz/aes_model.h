// A slow, byte-oriented AES taken straight from FIPS-197, for the fuzz targets
// to hold the engine against. Shares no code with src/engine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qox::fuzz::model {

// Product in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1, bit by bit.
inline uint8_t gf_mul(uint8_t a, uint8_t b) {
  uint8_t product = 0;
  for (int bit = 0; bit < 8; ++bit) {
    if (b & 1) product ^= a;
    const bool carry = a & 0x80;
    a = static_cast<uint8_t>(a << 1);
    if (carry) a ^= 0x1B;
    b >>= 1;
  }
  return product;
}

// The S-box by its definition (FIPS-197 5.1.1): the multiplicative inverse,
// found by search, then the affine map with the constant 0x63.
struct Boxes {
  uint8_t sbox[256];
  uint8_t inv[256];
  Boxes() {
    for (int x = 0; x < 256; ++x) {
      uint8_t inverse = 0;
      for (int y = 1; y < 256 && x != 0; ++y) {
        if (gf_mul(static_cast<uint8_t>(x), static_cast<uint8_t>(y)) == 1)
          inverse = static_cast<uint8_t>(y);
      }
      uint8_t out = 0;
      for (int i = 0; i < 8; ++i) {
        const int b = ((inverse >> i) ^ (inverse >> ((i + 4) % 8)) ^ (inverse >> ((i + 5) % 8)) ^
                       (inverse >> ((i + 6) % 8)) ^ (inverse >> ((i + 7) % 8)) ^ (0x63 >> i)) &
                      1;
        out |= static_cast<uint8_t>(b << i);
      }
      sbox[x] = out;
    }
    for (int x = 0; x < 256; ++x) inv[sbox[x]] = static_cast<uint8_t>(x);
  }
};

inline const Boxes& boxes() {
  static const Boxes built;
  return built;
}

// The state as FIPS-197 lays it out: byte 4c + r is row r of column c, and
// round-key word c holds column c with row 0 in its top byte.
using State = std::array<uint8_t, 16>;

struct RoundKeyWords {
  std::array<uint32_t, 4> first;
  std::vector<std::array<uint32_t, 4>> mid;
  std::array<uint32_t, 4> last;
};

inline void add_round_key(State& s, const std::array<uint32_t, 4>& k) {
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r) s[4 * c + r] ^= static_cast<uint8_t>(k[c] >> (24 - 8 * r));
}

inline void sub_bytes(State& s, const uint8_t* box) {
  for (uint8_t& b : s) b = box[b];
}

// Row r moves r columns left (right when inverse).
inline void shift_rows(State& s, bool inverse) {
  const State old = s;
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r) s[4 * c + r] = old[4 * ((inverse ? c - r + 4 : c + r) % 4) + r];
}

inline void mix_column(uint8_t* col, const uint8_t (&m)[4]) {
  const uint8_t a[4] = {col[0], col[1], col[2], col[3]};
  for (int r = 0; r < 4; ++r) {
    col[r] = gf_mul(m[0], a[r]) ^ gf_mul(m[1], a[(r + 1) % 4]) ^ gf_mul(m[2], a[(r + 2) % 4]) ^
             gf_mul(m[3], a[(r + 3) % 4]);
  }
}

inline void mix_columns(State& s, bool inverse) {
  static const uint8_t kForward[4] = {2, 3, 1, 1};
  static const uint8_t kInverse[4] = {14, 11, 13, 9};
  for (int c = 0; c < 4; ++c) mix_column(&s[4 * c], inverse ? kInverse : kForward);
}

// InvMixColumns of one column word.
inline uint32_t inv_mix_word(uint32_t w) {
  uint8_t col[4] = {uint8_t(w >> 24), uint8_t(w >> 16), uint8_t(w >> 8), uint8_t(w)};
  static const uint8_t kInverse[4] = {14, 11, 13, 9};
  mix_column(col, kInverse);
  return uint32_t(col[0]) << 24 | uint32_t(col[1]) << 16 | uint32_t(col[2]) << 8 | col[3];
}

// The cipher with any number of middle rounds.
inline void encrypt_block(State& s, const RoundKeyWords& k) {
  add_round_key(s, k.first);
  for (const auto& round_key : k.mid) {
    sub_bytes(s, boxes().sbox);
    shift_rows(s, false);
    mix_columns(s, false);
    add_round_key(s, round_key);
  }
  sub_bytes(s, boxes().sbox);
  shift_rows(s, false);
  add_round_key(s, k.last);
}

// The equivalent inverse cipher (FIPS-197 5.3.5): the decryption schedule's
// middle keys already carry InvMixColumns.
inline void decrypt_block(State& s, const RoundKeyWords& k) {
  add_round_key(s, k.first);
  for (const auto& round_key : k.mid) {
    sub_bytes(s, boxes().inv);
    shift_rows(s, true);
    mix_columns(s, true);
    add_round_key(s, round_key);
  }
  sub_bytes(s, boxes().inv);
  shift_rows(s, true);
  add_round_key(s, k.last);
}

// The decryption schedule that undoes `enc`: keys reversed, middle ones through InvMixColumns.
inline RoundKeyWords inverse_schedule(const RoundKeyWords& enc) {
  RoundKeyWords dec{enc.last, {}, enc.first};
  for (auto round_key = enc.mid.rbegin(); round_key != enc.mid.rend(); ++round_key) {
    std::array<uint32_t, 4> mixed;
    for (int j = 0; j < 4; ++j) mixed[j] = inv_mix_word((*round_key)[j]);
    dec.mid.push_back(mixed);
  }
  return dec;
}

inline std::vector<uint8_t> cbc(const RoundKeyWords& k, const uint8_t* iv,
                                const std::vector<uint8_t>& in, bool encrypt) {
  std::vector<uint8_t> out(in.size());
  State chain;
  for (int i = 0; i < 16; ++i) chain[i] = iv[i];
  for (size_t off = 0; off + 16 <= in.size(); off += 16) {
    State block;
    for (int i = 0; i < 16; ++i) block[i] = in[off + i];
    if (encrypt) {
      for (int i = 0; i < 16; ++i) block[i] ^= chain[i];
      encrypt_block(block, k);
      chain = block;
    } else {
      const State ciphertext = block;
      decrypt_block(block, k);
      for (int i = 0; i < 16; ++i) block[i] ^= chain[i];
      chain = ciphertext;
    }
    for (int i = 0; i < 16; ++i) out[off + i] = block[i];
  }
  return out;
}

// Key expansion as the module's steps write it, for any key of 4 bytes or
// more: the key is cut into words (a short tail makes a smaller word) and
// each new word is appended to the list, reading it by index.
inline std::vector<uint32_t> expand_words(const uint8_t* key, size_t len) {
  const size_t nk = len / 4, nr = nk + 6;
  std::vector<uint32_t> w;
  for (size_t i = 0; i < len; i += 4) {
    uint32_t word = 0;
    for (size_t j = i; j < len && j < i + 4; ++j) word = word << 8 | key[j];
    w.push_back(word);
  }
  auto sub_word = [](uint32_t t) {
    uint32_t out = 0;
    for (int shift = 24; shift >= 0; shift -= 8)
      out |= uint32_t(boxes().sbox[(t >> shift) & 0xFF]) << shift;
    return out;
  };
  uint8_t rcon = 1;
  for (size_t i = nk; i < 4 * (nr + 1); ++i) {
    uint32_t t = w[i - 1];
    if (i % nk == 0) {
      t = sub_word(t << 8 | t >> 24) ^ uint32_t(rcon) << 24;
      rcon = gf_mul(rcon, 2);
    } else if (nk > 6 && i % nk == 4) {
      t = sub_word(t);
    }
    w.push_back(w[i - nk] ^ t);
  }
  return w;
}

}  // namespace qox::fuzz::model
