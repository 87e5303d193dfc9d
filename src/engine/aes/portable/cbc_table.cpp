// Hot CBC loops: one table-driven block cipher per 16-byte block.
#include "engine/aes/portable/cbc_table.h"

#include <cstring>

#include "engine/cpu/portable.h"

// round_keys() views vector<RoundKey> storage as a flat word array.
static_assert(sizeof(qox::aes::RoundKey) == 16, "RoundKey must be four packed words");

namespace qox::aes {

namespace {

inline uint32_t load_be(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return cpu::kLittleEndian ? cpu::byte_swap32(v) : v;
}

inline void store_be(uint8_t* p, uint32_t v) {
  if (cpu::kLittleEndian) v = cpu::byte_swap32(v);
  std::memcpy(p, &v, 4);
}

// Byte i (0 = most significant) of a word.
inline uint32_t b0(uint32_t w) { return w >> 24; }
inline uint32_t b1(uint32_t w) { return (w >> 16) & 0xFF; }
inline uint32_t b2(uint32_t w) { return (w >> 8) & 0xFF; }
inline uint32_t b3(uint32_t w) { return w & 0xFF; }

// One forward round: row r of column c comes from column c+r.
inline void enc_round(const uint32_t* const t[4], const uint32_t* k, uint32_t& w0, uint32_t& w1,
                      uint32_t& w2, uint32_t& w3) {
  const uint32_t n0 = t[0][b0(w0)] ^ t[1][b1(w1)] ^ t[2][b2(w2)] ^ t[3][b3(w3)] ^ k[0];
  const uint32_t n1 = t[0][b0(w1)] ^ t[1][b1(w2)] ^ t[2][b2(w3)] ^ t[3][b3(w0)] ^ k[1];
  const uint32_t n2 = t[0][b0(w2)] ^ t[1][b1(w3)] ^ t[2][b2(w0)] ^ t[3][b3(w1)] ^ k[2];
  const uint32_t n3 = t[0][b0(w3)] ^ t[1][b1(w0)] ^ t[2][b2(w1)] ^ t[3][b3(w2)] ^ k[3];
  w0 = n0;
  w1 = n1;
  w2 = n2;
  w3 = n3;
}

// One inverse round: row r of column c comes from column c-r.
inline void dec_round(const uint32_t* const t[4], const uint32_t* k, uint32_t& w0, uint32_t& w1,
                      uint32_t& w2, uint32_t& w3) {
  const uint32_t n0 = t[0][b0(w0)] ^ t[1][b1(w3)] ^ t[2][b2(w2)] ^ t[3][b3(w1)] ^ k[0];
  const uint32_t n1 = t[0][b0(w1)] ^ t[1][b1(w0)] ^ t[2][b2(w3)] ^ t[3][b3(w2)] ^ k[1];
  const uint32_t n2 = t[0][b0(w2)] ^ t[1][b1(w1)] ^ t[2][b2(w0)] ^ t[3][b3(w3)] ^ k[2];
  const uint32_t n3 = t[0][b0(w3)] ^ t[1][b1(w2)] ^ t[2][b2(w1)] ^ t[3][b3(w0)] ^ k[3];
  w0 = n0;
  w1 = n1;
  w2 = n2;
  w3 = n3;
}

}  // namespace

TableSet encrypt_tables(const Tables& t) {
  return {{t.te[0], t.te[1], t.te[2], t.te[3]}, {t.tf[0], t.tf[1], t.tf[2], t.tf[3]}};
}

TableSet decrypt_tables(const Tables& t) {
  return {{t.td[0], t.td[1], t.td[2], t.td[3]}, {t.tg[0], t.tg[1], t.tg[2], t.tg[3]}};
}

RoundKeys round_keys(const Schedule& s) {
  return {s.first.data(), s.mid.empty() ? nullptr : s.mid.front().data(), s.mid.size(),
          s.last.data()};
}

void cbc_encrypt(const TableSet& t, const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                 uint8_t* out, size_t blocks) {
  uint32_t p0 = load_be(iv), p1 = load_be(iv + 4), p2 = load_be(iv + 8), p3 = load_be(iv + 12);
  const uint32_t* const first = k.first;
  const uint32_t* const last = k.last;
  for (size_t b = 0; b < blocks; ++b, in += 16, out += 16) {
    uint32_t w0 = load_be(in) ^ p0 ^ first[0];
    uint32_t w1 = load_be(in + 4) ^ p1 ^ first[1];
    uint32_t w2 = load_be(in + 8) ^ p2 ^ first[2];
    uint32_t w3 = load_be(in + 12) ^ p3 ^ first[3];
    const uint32_t* rk = k.mid;
    for (size_t r = 0; r < k.mid_rounds; ++r, rk += 4) enc_round(t.round, rk, w0, w1, w2, w3);
    enc_round(t.final_round, last, w0, w1, w2, w3);
    store_be(out, w0);
    store_be(out + 4, w1);
    store_be(out + 8, w2);
    store_be(out + 12, w3);
    p0 = w0;
    p1 = w1;
    p2 = w2;
    p3 = w3;
  }
}

void cbc_decrypt(const TableSet& t, const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                 uint8_t* out, size_t blocks) {
  uint32_t p0 = load_be(iv), p1 = load_be(iv + 4), p2 = load_be(iv + 8), p3 = load_be(iv + 12);
  const uint32_t* const first = k.first;
  const uint32_t* const last = k.last;
  for (size_t b = 0; b < blocks; ++b, in += 16, out += 16) {
    // Ciphertext is read into locals before out (possibly == in) is written.
    const uint32_t c0 = load_be(in), c1 = load_be(in + 4), c2 = load_be(in + 8),
                   c3 = load_be(in + 12);
    uint32_t w0 = c0 ^ first[0], w1 = c1 ^ first[1], w2 = c2 ^ first[2], w3 = c3 ^ first[3];
    const uint32_t* rk = k.mid;
    for (size_t r = 0; r < k.mid_rounds; ++r, rk += 4) dec_round(t.round, rk, w0, w1, w2, w3);
    dec_round(t.final_round, last, w0, w1, w2, w3);
    store_be(out, w0 ^ p0);
    store_be(out + 4, w1 ^ p1);
    store_be(out + 8, w2 ^ p2);
    store_be(out + 12, w3 ^ p3);
    p0 = c0;
    p1 = c1;
    p2 = c2;
    p3 = c3;
  }
}

void cbc_encrypt_table(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks) {
  cbc_encrypt(encrypt_tables(tables()), k, iv, in, out, blocks);
}

void cbc_decrypt_table(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks) {
  cbc_decrypt(decrypt_tables(tables()), k, iv, in, out, blocks);
}

}  // namespace qox::aes
