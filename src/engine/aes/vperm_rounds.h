// The vector-permute AES rounds over one 16-byte shuffle instruction set,
// shared by the SSSE3 and NEON sources. Each including source defines
// QOX_VPERM_INLINE (forced inline with its instruction set) and an Ops type:
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
#include "engine/cpu/wipe.h"

#if !defined(QOX_VPERM_INLINE)
#error "define QOX_VPERM_INLINE before including vperm_rounds.h"
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

// Round keys of one call in the form the rounds add them: inner keys in the
// S-box basis with the S-box constant folded in and permuted into the frame
// of their round (for encryption split into their low and high nibbles);
// the last key in the standard basis (the encryption one with the S-box
// constant). Wiped when the call ends.
template <class Ops>
class Keys {
 public:
  using V = typename Ops::V;
  QOX_VPERM_INLINE Keys(const Consts<Ops>& c, const RoundKeys& k, bool decrypt)
      : c_(c), k_(k), decrypt_(decrypt) {
    held_[0] = load_key(k.first);
    for (size_t r = 0; r < k.mid_rounds && r < kHeld; ++r) {
      const V framed = carry_mid(r);
      held_[1 + 2 * r] = decrypt ? framed : Ops::lo(framed);
      held_[2 + 2 * r] = decrypt ? framed : Ops::hi(framed);
    }
    const V last = load_key(k.last);
    held_[2 * kHeld + 1] = decrypt ? last : Ops::x(last, Ops::splat(0x63));
  }
  ~Keys() { cpu::wipe(held_); }
  Keys(const Keys&) = delete;
  Keys& operator=(const Keys&) = delete;

  size_t mid_rounds() const { return k_.mid_rounds; }
  QOX_VPERM_INLINE V first() const { return held_[0]; }
  QOX_VPERM_INLINE V mid(size_t r) const { return r < kHeld ? held_[1 + 2 * r] : carry_mid(r); }
  QOX_VPERM_INLINE V mid_lo(size_t r) const {
    return r < kHeld ? held_[1 + 2 * r] : Ops::lo(carry_mid(r));
  }
  QOX_VPERM_INLINE V mid_hi(size_t r) const {
    return r < kHeld ? held_[2 + 2 * r] : Ops::hi(carry_mid(r));
  }
  QOX_VPERM_INLINE V last() const { return held_[2 * kHeld + 1]; }

 private:
  // Every AES key size's inner rounds are held; a longer schedule (any
  // length can come from Python) has its further keys carried at each use,
  // so a call allocates nothing.
  static constexpr size_t kHeld = 13;

  // Schedule words are big-endian: byte 0 of word 0 is state byte 0.
  static QOX_VPERM_INLINE V load_key(const uint32_t* words) {
    uint8_t bytes[16];
    for (size_t i = 0; i < 16; ++i)
      bytes[i] = static_cast<uint8_t>(words[i / 4] >> (24 - 8 * (i % 4)));
    const V v = Ops::load(bytes);
    cpu::wipe(bytes);
    return v;
  }

  QOX_VPERM_INLINE V carry_mid(size_t r) const {
    const V fold = Ops::splat(decrypt_ ? kDecConst : kEncConst);
    const V carried = Ops::x(carry_in(c_, load_key(k_.mid + 4 * r)), fold);
    return Ops::shuffle(carried, Ops::table((decrypt_ ? kDecFrames : kEncFrames)[r % 4].next));
  }

  const Consts<Ops>& c_;
  const RoundKeys& k_;
  bool decrypt_;
  V held_[2 * kHeld + 2];  // first, (lo, hi) or (key, unused) per inner round, last
};

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

// One block through the cipher: input state x = plaintext ^ chain. The
// chain from round to round is a latency chain, so the state travels as
// its two nibbles, each mixed on its own (XOR and byte moves keep nibbles
// apart), and no round waits for a shift and a mask.
template <class Ops>
QOX_VPERM_INLINE typename Ops::V encrypt_block(const Consts<Ops>& c, const Keys<Ops>& keys,
                                               typename Ops::V x) {
  using V = typename Ops::V;
  const V y = carry_in(c, Ops::x(x, keys.first()));
  V i = Ops::hi(y), k = Ops::lo(y), io, jo;
  const size_t mid = keys.mid_rounds();
  for (size_t r = 0; r < mid; ++r) {
    const Frame& f = kEncFrames[r % 4];
    invert_split(c, i, k, io, jo);
    k = mix_half<Ops>(f, kEncLoTables, io, jo, keys.mid_lo(r));
    i = mix_half<Ops>(f, kEncHiTables, io, jo, keys.mid_hi(r));
  }
  invert_split(c, i, k, io, jo);
  const V s = image<Ops>(kEncLastIo, kEncLastJo, io, jo);
  return Ops::x(Ops::shuffle(s, Ops::table(kEncFrames[mid % 4].final)), keys.last());
}

// kWidth blocks through the inverse cipher side by side; returns the blocks
// before the chaining XOR.
template <size_t kWidth, class Ops>
QOX_VPERM_INLINE void decrypt_blocks(const Consts<Ops>& c, const Keys<Ops>& keys,
                                     typename Ops::V (&y)[kWidth]) {
  using V = typename Ops::V;
  const V fold = Ops::splat(kDecConst);
  for (size_t j = 0; j < kWidth; ++j) y[j] = Ops::x(carry_in(c, Ops::x(y[j], keys.first())), fold);
  const size_t mid = keys.mid_rounds();
  for (size_t r = 0; r < mid; ++r) {
    const Frame& f = kDecFrames[r % 4];
    const V key = keys.mid(r);
    for (size_t j = 0; j < kWidth; ++j) {
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
  for (size_t j = 0; j < kWidth; ++j) {
    V io, jo;
    invert(c, y[j], io, jo);
    const V w = image<Ops>(kDecLastIo, kDecLastJo, io, jo);
    y[j] = Ops::x(Ops::shuffle(w, final_mask), keys.last());
  }
}

// The CBC loops: one chain for encryption; decryption kWidth blocks at a
// time, then the tail one by one. Every ciphertext of a group is read before
// its plaintext is stored, so in == out is fine.
template <class Ops>
QOX_VPERM_INLINE void cbc_encrypt(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                                  uint8_t* out, size_t blocks) {
  if (blocks == 0) return;
  const Consts<Ops> c(false);
  const Keys<Ops> keys(c, k, false);
  auto chain = Ops::load(iv);
  for (size_t b = 0; b < blocks; ++b, in += 16, out += 16) {
    chain = encrypt_block(c, keys, Ops::x(Ops::load(in), chain));
    Ops::store(out, chain);
  }
}

template <class Ops, size_t kWidth>
QOX_VPERM_INLINE void cbc_decrypt(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                                  uint8_t* out, size_t blocks) {
  if (blocks == 0) return;
  using V = typename Ops::V;
  const Consts<Ops> c(true);
  const Keys<Ops> keys(c, k, true);
  V prev = Ops::load(iv);
  for (; blocks >= kWidth; blocks -= kWidth, in += 16 * kWidth, out += 16 * kWidth) {
    V cipher[kWidth], y[kWidth];
    for (size_t j = 0; j < kWidth; ++j) y[j] = cipher[j] = Ops::load(in + 16 * j);
    decrypt_blocks<kWidth>(c, keys, y);
    for (size_t j = 0; j < kWidth; ++j) {
      Ops::store(out + 16 * j, Ops::x(y[j], j == 0 ? prev : cipher[j - 1]));
    }
    prev = cipher[kWidth - 1];
  }
  for (; blocks > 0; --blocks, in += 16, out += 16) {
    V y[1] = {Ops::load(in)};
    const V cipher = y[0];
    decrypt_blocks<1>(c, keys, y);
    Ops::store(out, Ops::x(y[0], prev));
    prev = cipher;
  }
}

}  // namespace qox::aes::vperm
