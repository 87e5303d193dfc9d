// The CBC driver over T-table rounds: one table-driven block cipher per
// 16-byte block, on any CPU and with any tables.
#include "engine/aes/portable/cbc_table.h"

#include <cstring>

#include "engine/aes/cbc_driver.h"
#include "engine/cpu/portable.h"

namespace qox::aes {

namespace portable {

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

// The state as four big-endian column words.
struct Words {
  uint32_t w[4];
};

// One forward round: row r of column c comes from column c+r.
inline Words enc_round(const uint32_t* const t[4], const Words& s, const Words& k) {
  const uint32_t* w = s.w;
  return {{t[0][b0(w[0])] ^ t[1][b1(w[1])] ^ t[2][b2(w[2])] ^ t[3][b3(w[3])] ^ k.w[0],
           t[0][b0(w[1])] ^ t[1][b1(w[2])] ^ t[2][b2(w[3])] ^ t[3][b3(w[0])] ^ k.w[1],
           t[0][b0(w[2])] ^ t[1][b1(w[3])] ^ t[2][b2(w[0])] ^ t[3][b3(w[1])] ^ k.w[2],
           t[0][b0(w[3])] ^ t[1][b1(w[0])] ^ t[2][b2(w[1])] ^ t[3][b3(w[2])] ^ k.w[3]}};
}

// One inverse round: row r of column c comes from column c-r.
inline Words dec_round(const uint32_t* const t[4], const Words& s, const Words& k) {
  const uint32_t* w = s.w;
  return {{t[0][b0(w[0])] ^ t[1][b1(w[3])] ^ t[2][b2(w[2])] ^ t[3][b3(w[1])] ^ k.w[0],
           t[0][b0(w[1])] ^ t[1][b1(w[0])] ^ t[2][b2(w[3])] ^ t[3][b3(w[2])] ^ k.w[1],
           t[0][b0(w[2])] ^ t[1][b1(w[1])] ^ t[2][b2(w[0])] ^ t[3][b3(w[3])] ^ k.w[2],
           t[0][b0(w[3])] ^ t[1][b1(w[2])] ^ t[2][b2(w[1])] ^ t[3][b3(w[0])] ^ k.w[3]}};
}

// The traits of the driver for one set of tables (the engine's own, or the
// ones a caller rebound). The round keys are the schedule's words as they are.
struct TableRounds {
  using Block = Words;
  static constexpr size_t kLanes = 1;
  static constexpr size_t kDecryptRegs = 1;
  static constexpr bool kHoldKeys = false;  // no registers to hold them in

  const TableSet& tables;

  static Block load_key(const uint32_t* words) {
    return {{words[0], words[1], words[2], words[3]}};
  }
  static Block load(const uint8_t* p) {
    return {{load_be(p), load_be(p + 4), load_be(p + 8), load_be(p + 12)}};
  }
  static void store(uint8_t* p, const Block& b) {
    for (int i = 0; i < 4; ++i) store_be(p + 4 * i, b.w[i]);
  }
  static Block xor_blocks(const Block& a, const Block& b) {
    return {{a.w[0] ^ b.w[0], a.w[1] ^ b.w[1], a.w[2] ^ b.w[2], a.w[3] ^ b.w[3]}};
  }
  static Block load_chain(const uint8_t* iv) { return load(iv); }
  static Block chain_of(const Block&, const Block& before) { return before; }

  template <class Keys>
  static Block whitening(const Keys& keys) {
    return keys.first();
  }
  template <class Keys>
  Block encrypt_rounds(const Keys& keys, Block s, const Block& final_key) const {
    for (size_t r = 0; r < keys.mid_rounds(); ++r) s = enc_round(tables.round, s, keys.mid(r));
    return enc_round(tables.final_round, s, final_key);
  }
  template <size_t kRegs, class Keys>
  void decrypt_rounds(const Keys& keys, Block (&state)[kRegs]) const {
    for (size_t r = 0; r < keys.mid_rounds(); ++r) {
      for (size_t j = 0; j < kRegs; ++j) state[j] = dec_round(tables.round, state[j], keys.mid(r));
    }
  }
  Block decrypt_final(const Block& s, const Block& final_key) const {
    return dec_round(tables.final_round, s, final_key);
  }
};

}  // namespace

}  // namespace portable

TableSet encrypt_tables(const Tables& t) {
  return {{t.te[0], t.te[1], t.te[2], t.te[3]}, {t.tf[0], t.tf[1], t.tf[2], t.tf[3]}};
}

TableSet decrypt_tables(const Tables& t) {
  return {{t.td[0], t.td[1], t.td[2], t.td[3]}, {t.tg[0], t.tg[1], t.tg[2], t.tg[3]}};
}

QOX_FLATTEN void cbc_encrypt(const TableSet& t, const RoundKeys& k, const uint8_t iv[16],
                             const uint8_t* in, uint8_t* out, size_t blocks) {
  cbc_encrypt_with(portable::TableRounds{t}, k, iv, in, out, blocks);
}

QOX_FLATTEN void cbc_decrypt(const TableSet& t, const RoundKeys& k, const uint8_t iv[16],
                             const uint8_t* in, uint8_t* out, size_t blocks) {
  cbc_decrypt_with(portable::TableRounds{t}, k, iv, in, out, blocks);
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
