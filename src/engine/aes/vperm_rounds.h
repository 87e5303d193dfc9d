// The vector-permute AES rounds over one 16-byte shuffle instruction set, as
// two traits types of the CBC driver (Encrypt, Decrypt), shared by the SSSE3
// and NEON sources. Each including source defines QOX_VPERM_INLINE (forced
// inline with its instruction set, for the helpers here), QOX_VPERM_ISA
// (inline with it, for the traits' members the driver calls: see
// cpu/portable.h) and an Ops type:
//   V                      a 16-byte vector
//   load(p) / store(p, v)  unaligned 16 bytes
//   table(const uint8_t*)  a 16-byte constant
//   splat(uint8_t)         every byte the same
//   x(a, b)                a ^ b
//   shuffle(t, i)          out[p] = i[p] & 0x80 ? 0 : t[i[p] & 15]; callers keep
//                          every index either < 16 or with bit 7 set
//   lo(v) / hi(v)          the low / high nibble of every byte
//
// No step indexes memory or branches on data: the S-box is GF(16)
// arithmetic on nibbles held in registers (see tools/gen_vperm_tables.py),
// and every shuffle index is a state byte looked up in a register.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/aes/round_keys.h"
#include "engine/aes/vperm_tables.h"
#include "engine/cpu/portable.h"
#include "engine/cpu/wipe.h"

#if !defined(QOX_VPERM_INLINE) || !defined(QOX_VPERM_ISA)
#error "define QOX_VPERM_INLINE and QOX_VPERM_ISA before including vperm_rounds.h"
#endif

namespace qox::aes::vperm {

// The shuffle tables in registers for one call.
template <class Ops>
struct Consts {
  using V = typename Ops::V;
  QOX_VPERM_INLINE explicit Consts(bool decrypt)
      : inv(Ops::table(kInv)),
        a_over(Ops::table(kAOver)),
        in_lo(Ops::table(decrypt ? kDecInLo : kEncInLo)),
        in_hi(Ops::table(decrypt ? kDecInHi : kEncInHi)) {}
  V inv, a_over, in_lo, in_hi;
};

// A standard-basis byte vector carried into the S-box basis.
template <class Ops>
QOX_VPERM_INLINE typename Ops::V carry_in(const Consts<Ops>& c, typename Ops::V x) {
  return Ops::x(Ops::shuffle(c.in_lo, Ops::lo(x)), Ops::shuffle(c.in_hi, Ops::hi(x)));
}

// The GF(16) inversion: the two nibbles io, jo whose table images sum to
// the image of the inverse, from the state's high nibble i and low nibble k.
template <class Ops>
QOX_VPERM_INLINE void invert_split(const Consts<Ops>& c, typename Ops::V i, typename Ops::V k,
                                   typename Ops::V& io, typename Ops::V& jo) {
  const auto j = Ops::x(i, k);
  const auto ak = Ops::shuffle(c.a_over, k);
  const auto iak = Ops::x(Ops::shuffle(c.inv, i), ak);
  const auto jak = Ops::x(Ops::shuffle(c.inv, j), ak);
  io = Ops::x(Ops::shuffle(c.inv, iak), j);
  jo = Ops::x(Ops::shuffle(c.inv, jak), i);
}

template <class Ops>
QOX_VPERM_INLINE void invert(const Consts<Ops>& c, typename Ops::V y, typename Ops::V& io,
                             typename Ops::V& jo) {
  invert_split(c, Ops::hi(y), Ops::lo(y), io, jo);
}

template <class Ops>
QOX_VPERM_INLINE typename Ops::V image(const uint8_t* io_table, const uint8_t* jo_table,
                                       typename Ops::V io, typename Ops::V jo) {
  return Ops::x(Ops::shuffle(Ops::table(io_table), io), Ops::shuffle(Ops::table(jo_table), jo));
}

// One nibble half of a mixed round output: row r of a column is
// 2*s[r] ^ 3*s[r+1] ^ s[r+2] ^ s[r+3], with 2s, 3s and s from their tables.
template <class Ops>
QOX_VPERM_INLINE typename Ops::V mix_half(const Frame& f, const uint8_t* const (&tables)[6],
                                          typename Ops::V io, typename Ops::V jo,
                                          typename Ops::V key) {
  using V = typename Ops::V;
  // tables: s, 2s, 3s for io, then the same for jo.
  const V s = image<Ops>(tables[0], tables[3], io, jo);
  const V near =
      Ops::x(Ops::x(image<Ops>(tables[1], tables[4], io, jo), key),
             Ops::shuffle(image<Ops>(tables[2], tables[5], io, jo), Ops::table(f.mix[0])));
  const V far =
      Ops::x(Ops::shuffle(s, Ops::table(f.mix[1])), Ops::shuffle(s, Ops::table(f.mix[2])));
  return Ops::x(near, far);
}

constexpr const uint8_t* kEncLoTables[6] = {kEncSIoLo, kEncDIoLo, kEncTIoLo,
                                            kEncSJoLo, kEncDJoLo, kEncTJoLo};
constexpr const uint8_t* kEncHiTables[6] = {kEncSIoHi, kEncDIoHi, kEncTIoHi,
                                            kEncSJoHi, kEncDJoHi, kEncTJoHi};

// A round key carried into the form its round adds: inner keys (index 1 to
// mid_rounds) into the S-box basis with the S-box constant folded in and
// permuted into the frame of their round; the outer keys as they are.
template <class Ops>
QOX_VPERM_INLINE typename Ops::V carry_key(const Consts<Ops>& c, const uint32_t* words,
                                           size_t index, size_t mid_rounds, bool decrypt) {
  using V = typename Ops::V;
  // Schedule words are big-endian: byte 0 of word 0 is state byte 0, so on
  // a little-endian CPU each word's bytes are reversed in the register.
  alignas(16) static constexpr uint8_t kReverseEachWord[16] = {3,  2,  1, 0, 7,  6,  5,  4,
                                                               11, 10, 9, 8, 15, 14, 13, 12};
  V raw;
  if (cpu::kLittleEndian) {
    raw = Ops::shuffle(Ops::load(reinterpret_cast<const uint8_t*>(words)),
                       Ops::table(kReverseEachWord));
  } else {
    raw = Ops::load(reinterpret_cast<const uint8_t*>(words));
  }
  if (index == 0 || index > mid_rounds) return raw;
  const V carried = Ops::x(carry_in(c, raw), Ops::splat(decrypt ? kDecConst : kEncConst));
  // Chosen as a pointer: a conditional on the two arrays themselves lets GCC
  // copy one into a temporary, which its sanitizer builds leave unfilled.
  const Frame* const frames = decrypt ? kDecFrames : kEncFrames;
  return Ops::shuffle(carried, Ops::table(frames[(index - 1) % 4].next));
}

// Encryption as a traits type of the CBC driver. The chain from round to
// round is a latency chain, so the state travels as its two nibbles, each
// mixed on its own (XOR and byte moves keep nibbles apart), and no round
// waits for a shift and a mask: an inner key is held as its two nibble
// halves, a data block in `lo` alone. The S-box constant of the last round
// rides on the last key.
template <class Ops>
struct Encrypt {
  using V = typename Ops::V;
  struct Block {
    V lo, hi;
  };
  static constexpr size_t kLanes = 1;
  static constexpr size_t kDecryptRegs = 1;  // unused: decryption has its own traits
  static constexpr bool kHoldKeys = true;
  static constexpr bool kKeysByRound = true;

  Consts<Ops> c{false};

  QOX_VPERM_ISA Block load_key(const uint32_t* words, size_t index, size_t mid_rounds) const {
    const V key = carry_key(c, words, index, mid_rounds, false);
    if (index == 0) return {key, key};
    if (index > mid_rounds) return {Ops::x(key, Ops::splat(0x63)), key};
    return {Ops::lo(key), Ops::hi(key)};
  }
  static QOX_VPERM_ISA Block load(const uint8_t* p) {
    const V v = Ops::load(p);
    return {v, v};
  }
  static QOX_VPERM_ISA void store(uint8_t* p, const Block& b) { Ops::store(p, b.lo); }
  static QOX_VPERM_ISA Block xor_blocks(const Block& a, const Block& b) {
    return {Ops::x(a.lo, b.lo), Ops::x(a.hi, b.hi)};
  }
  template <class Keys>
  static QOX_VPERM_ISA Block whitening(const Keys& keys) {
    return keys.first();
  }
  template <class Keys>
  QOX_VPERM_ISA Block encrypt_rounds(const Keys& keys, const Block& s,
                                     const Block& final_key) const {
    const V y = carry_in(c, s.lo);
    V i = Ops::hi(y), k = Ops::lo(y), io, jo;
    const size_t mid = keys.mid_rounds();
    for (size_t r = 0; r < mid; ++r) {
      const Frame& f = kEncFrames[r % 4];
      const Block key = keys.mid(r);
      invert_split(c, i, k, io, jo);
      k = mix_half<Ops>(f, kEncLoTables, io, jo, key.lo);
      i = mix_half<Ops>(f, kEncHiTables, io, jo, key.hi);
    }
    invert_split(c, i, k, io, jo);
    const V out = image<Ops>(kEncLastIo, kEncLastJo, io, jo);
    const V result = Ops::x(Ops::shuffle(out, Ops::table(kEncFrames[mid % 4].final)), final_key.lo);
    return {result, result};
  }
};

// Decryption as a traits type of the CBC driver: kRegs blocks side by side
// through the inverse cipher, everything but the last key addition.
template <class Ops, size_t kRegsSideBySide>
struct Decrypt {
  using V = typename Ops::V;
  using Block = V;
  static constexpr size_t kLanes = 1;
  static constexpr size_t kDecryptRegs = kRegsSideBySide;
  static constexpr bool kHoldKeys = false;
  // Carrying a key into its round's form costs more than holding it.
  static constexpr bool kHoldDecryptKeys = true;
  static constexpr bool kKeysByRound = true;

  Consts<Ops> c{true};

  QOX_VPERM_ISA Block load_key(const uint32_t* words, size_t index, size_t mid_rounds) const {
    return carry_key(c, words, index, mid_rounds, true);
  }
  static QOX_VPERM_ISA Block load(const uint8_t* p) { return Ops::load(p); }
  static QOX_VPERM_ISA void store(uint8_t* p, Block b) { Ops::store(p, b); }
  static QOX_VPERM_ISA Block xor_blocks(Block a, Block b) { return Ops::x(a, b); }
  static QOX_VPERM_ISA Block load_chain(const uint8_t* iv) { return Ops::load(iv); }
  static QOX_VPERM_ISA Block chain_of(Block, Block before) { return before; }
  template <class Keys>
  static QOX_VPERM_ISA Block whitening(const Keys& keys) {
    return keys.first();
  }
  template <size_t kRegs, class Keys>
  QOX_VPERM_ISA void decrypt_rounds(const Keys& keys, Block (&y)[kRegs]) const {
    const V fold = Ops::splat(kDecConst);
    for (size_t j = 0; j < kRegs; ++j) y[j] = Ops::x(carry_in(c, y[j]), fold);
    const size_t mid = keys.mid_rounds();
    for (size_t r = 0; r < mid; ++r) {
      const Frame& f = kDecFrames[r % 4];
      const V key = keys.mid(r);
      for (size_t j = 0; j < kRegs; ++j) {
        V io, jo;
        invert(c, y[j], io, jo);
        // Row r of a mixed column: 14*w[r] ^ 11*w[r+1] ^ 13*w[r+2] ^ 9*w[r+3].
        const V w14 = image<Ops>(kDec14Io, kDec14Jo, io, jo);
        const V w11 = image<Ops>(kDec11Io, kDec11Jo, io, jo);
        const V w13 = image<Ops>(kDec13Io, kDec13Jo, io, jo);
        const V w9 = image<Ops>(kDec9Io, kDec9Jo, io, jo);
        const V near = Ops::x(Ops::x(w14, key), Ops::shuffle(w11, Ops::table(f.mix[0])));
        const V far =
            Ops::x(Ops::shuffle(w13, Ops::table(f.mix[1])), Ops::shuffle(w9, Ops::table(f.mix[2])));
        y[j] = Ops::x(near, far);
      }
    }
    const V final_mask = Ops::table(kDecFrames[mid % 4].final);
    for (size_t j = 0; j < kRegs; ++j) {
      V io, jo;
      invert(c, y[j], io, jo);
      y[j] = Ops::shuffle(image<Ops>(kDecLastIo, kDecLastJo, io, jo), final_mask);
    }
  }
  static QOX_VPERM_ISA Block decrypt_final(Block s, Block final_key) {
    return Ops::x(s, final_key);
  }
};

}  // namespace qox::aes::vperm
