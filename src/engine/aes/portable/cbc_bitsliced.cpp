// Bitsliced AES-CBC on 64-bit words: four blocks per set of eight planes.
//
// Plane i holds bit i of all 64 bytes of four blocks; byte (row r, column c)
// of block j sits at bit 16*r + 4*c + j. A row is a 16-bit lane, so moving
// down a column is a rotation of the word and along a row a rotation of
// the lanes.
#include <cstring>

#include "engine/aes/cbc_driver.h"
#include "engine/aes/cbc_paths.h"
#include "engine/aes/portable/bitsliced.h"
#include "engine/aes/portable/bitsliced_sbox.h"
#include "engine/cpu/portable.h"
#include "engine/cpu/wipe.h"

namespace qox::aes {

namespace bitsliced {

using bitslice::inv_sbox;
using bitslice::sbox;

using Planes = uint64_t[8];

inline uint64_t from_le64(uint64_t v) {
  if (cpu::kLittleEndian) return v;
  return (static_cast<uint64_t>(cpu::byte_swap32(static_cast<uint32_t>(v))) << 32) |
         cpu::byte_swap32(static_cast<uint32_t>(v >> 32));
}

inline uint64_t load_le64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return from_le64(v);
}

inline void store_le64(uint8_t* p, uint64_t v) {
  v = from_le64(v);
  std::memcpy(p, &v, 8);
}

// Exchanges the bits of a under mask << shift with those of b under mask.
inline void swap_bits(uint64_t& a, uint64_t& b, int shift, uint64_t mask) {
  const uint64_t t = ((a >> shift) ^ b) & mask;
  b ^= t;
  a ^= t << shift;
}

// Transposes the 8x8 bit matrix of a word: bit 8*k + b goes to 8*b + k.
inline uint64_t transpose_bits(uint64_t x) {
  uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
  x ^= t ^ (t << 7);
  t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
  x ^= t ^ (t << 14);
  t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
  x ^= t ^ (t << 28);
  return x;
}

// Transposes the 8x8 byte matrix of eight words: byte b of word w goes to
// byte w of word b.
inline void transpose_bytes(uint64_t (&w)[8]) {
  for (int i = 0; i < 8; i += 2) swap_bits(w[i], w[i + 1], 8, 0x00FF00FF00FF00FFull);
  for (int i : {0, 1, 4, 5}) swap_bits(w[i], w[i + 2], 16, 0x0000FFFF0000FFFFull);
  for (int i = 0; i < 4; ++i) swap_bits(w[i], w[i + 4], 32, 0x00000000FFFFFFFFull);
}

// Exchanges two 2-bit fields of every bit's index in a plane: bits 0-1
// (the row after the transposes) with bits 4-5 (the block).
inline uint64_t swap_row_and_block(uint64_t x) {
  uint64_t t = ((x >> 15) ^ x) & 0x0000AAAA0000AAAAull;  // index bit 0 with bit 4
  x ^= t ^ (t << 15);
  t = ((x >> 30) ^ x) & 0x00000000CCCCCCCCull;  // index bit 1 with bit 5
  return x ^ t ^ (t << 30);
}

// Four 16-byte blocks (64 bytes) into planes. Word 2*j + h holds bytes
// 8*h .. 8*h + 7 of block j; both transposes put bit i of byte 4*c + r of
// block j at bit 16*j + 4*c + r of plane i, and the field swap at
// 16*r + 4*c + j.
void pack(const uint8_t* blocks, Planes& x) {
  for (int w = 0; w < 8; ++w) x[w] = transpose_bits(load_le64(blocks + 8 * w));
  transpose_bytes(x);
  for (auto& p : x) p = swap_row_and_block(p);
}

// The steps of pack undone in reverse order (each is its own inverse).
void unpack(const Planes& x, uint8_t* blocks) {
  uint64_t w[8];
  for (int i = 0; i < 8; ++i) w[i] = swap_row_and_block(x[i]);
  transpose_bytes(w);
  for (int i = 0; i < 8; ++i) store_le64(blocks + 8 * i, transpose_bits(w[i]));
  cpu::wipe(w, 8);
}

inline uint64_t rotr(uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

// Every 16-bit row lane rotated down by 4*n bits: column c takes column
// c + n of the same row.
template <int n>
inline uint64_t rotate_lanes(uint64_t x) {
  if constexpr (n % 4 == 0) {
    return x;
  } else {
    constexpr int bits = 4 * (n % 4);
    constexpr uint64_t low = 0x0001000100010001ull * (0xFFFFu >> bits);
    return ((x >> bits) & low) | ((x << (16 - bits)) & ~low);
  }
}

// Row r of column c takes row r of column c + n*r: ShiftRows applied n
// times (n = 3 is InvShiftRows).
template <int n>
inline uint64_t shift_rows_by(uint64_t x) {
  constexpr uint64_t row1 = 0x00000000FFFF0000ull, row2 = row1 << 16, row3 = row1 << 32;
  return (x & 0xFFFFull) | (rotate_lanes<n>(x) & row1) | (rotate_lanes<2 * n>(x) & row2) |
         (rotate_lanes<3 * n>(x) & row3);
}

inline uint64_t shift_rows_by(uint64_t x, int n) {
  switch (n & 3) {
    case 1:
      return shift_rows_by<1>(x);
    case 2:
      return shift_rows_by<2>(x);
    case 3:
      return shift_rows_by<3>(x);
    default:
      return x;
  }
}

// Multiplication by x in GF(2^8), plane-wise: 0x1B lands on bits 0, 1, 3, 4.
inline void times_x(Planes& y) {
  const uint64_t top = y[7];
  y[7] = y[6];
  y[6] = y[5];
  y[5] = y[4];
  y[4] = y[3] ^ top;
  y[3] = y[2] ^ top;
  y[2] = y[1];
  y[1] = y[0] ^ top;
  y[0] = top;
}

// The rounds never move bytes for ShiftRows. A state that skipped it f
// times is held in frame f: stored row r, column c is the true row r,
// column c - f*r. Frames repeat after four; a round key is carried into its
// round's frame once per call, and the last round's output back to the true
// order. In frame f the byte below (r, c) in its mixed column is
// (r + 1, c + f): one row down the word, then f columns along the lane.
template <int f>
inline uint64_t down_one(uint64_t x) {
  return rotate_lanes<f>(rotr(x, 16));
}

template <int f>
inline uint64_t down_two(uint64_t x) {
  return rotate_lanes<2 * f>(rotr(x, 32));
}

// Row r of a column: 2*a[r] ^ 3*a[r+1] ^ a[r+2] ^ a[r+3]
//                  = 2*(a[r] ^ a[r+1]) ^ a[r+1] ^ (a[r+2] ^ a[r+3]).
template <int f>
inline void mix_columns(Planes& x) {
  uint64_t next[8], pair[8];
  for (int i = 0; i < 8; ++i) {
    next[i] = down_one<f>(x[i]);
    pair[i] = x[i] ^ next[i];
  }
  uint64_t twice[8];
  std::memcpy(twice, pair, sizeof twice);
  times_x(twice);
  for (int i = 0; i < 8; ++i) x[i] = twice[i] ^ next[i] ^ down_two<f>(pair[i]);
}

// InvMixColumns is MixColumns after a ^ 4*(a ^ a[r+2]) on each column.
template <int f>
inline void inv_mix_columns(Planes& x) {
  uint64_t four[8];
  for (int i = 0; i < 8; ++i) four[i] = x[i] ^ down_two<f>(x[i]);
  times_x(four);
  times_x(four);
  for (int i = 0; i < 8; ++i) x[i] ^= four[i];
  mix_columns<f>(x);
}

inline void add(Planes& x, const Planes& k) {
  for (int i = 0; i < 8; ++i) x[i] ^= k[i];
}

// Four blocks' planes as a value the CBC driver can pass around.
struct Block {
  Planes p;
};

inline Block xor_blocks_of(const Block& a, const Block& b) {
  Block out;
  for (int i = 0; i < 8; ++i) out.p[i] = a.p[i] ^ b.p[i];
  return out;
}

// A round key in all four block slots, carried into `frame` (which holds
// true column c - frame*r at column c: ShiftRows -frame times).
inline Block key_planes(const uint32_t* words, int frame) {
  uint8_t four[64];
  for (int j = 0; j < 4; ++j)
    for (int i = 0; i < 16; ++i)
      four[16 * j + i] = static_cast<uint8_t>(words[i / 4] >> (24 - 8 * (i % 4)));
  Block b;
  pack(four, b.p);
  cpu::wipe(four, sizeof four);
  for (auto& q : b.p) q = shift_rows_by(q, -frame);
  return b;
}

// Inner round r+1 is held in frame step*(r+1); the outer keys, the whitened
// input and the chaining values stay in the true order, which the last
// round restores before its key is added.
template <int f, class Keys>
inline void encrypt_round(const Keys& keys, size_t r, Planes& x) {
  sbox(x);
  mix_columns<f>(x);
  add(x, keys.mid(r).p);
}

template <int f, class Keys>
inline void decrypt_round(const Keys& keys, size_t r, Planes& x) {
  inv_sbox(x);
  inv_mix_columns<f>(x);
  add(x, keys.mid(r).p);
}

// What both directions' traits share: the planes as the driver's block,
// every key loaded by its place in the schedule, and held.
struct Common {
  using Block = bitsliced::Block;
  static constexpr bool kHoldKeys = true;
  static constexpr bool kHoldDecryptKeys = true;
  static constexpr bool kKeysByRound = true;

  static Block xor_blocks(const Block& a, const Block& b) { return xor_blocks_of(a, b); }
  template <class Keys>
  static Block whitening(const Keys& keys) {
    return keys.first();
  }
};

// Encryption: one chain, so each block is packed alone (slots 1-3 idle).
struct Encrypt : Common {
  static constexpr size_t kLanes = 1;
  static constexpr size_t kDecryptRegs = 1;  // unused

  static Block load_key(const uint32_t* words, size_t index, size_t mid_rounds) {
    return key_planes(words, index > mid_rounds ? 0 : static_cast<int>(index));
  }
  static Block load(const uint8_t* p) {
    uint8_t four[64] = {};
    std::memcpy(four, p, 16);
    Block b;
    pack(four, b.p);
    cpu::wipe(four, sizeof four);
    return b;
  }
  static void store(uint8_t* p, const Block& b) {
    uint8_t four[64];
    unpack(b.p, four);
    std::memcpy(p, four, 16);
    cpu::wipe(four, sizeof four);
  }
  template <class Keys>
  static Block encrypt_rounds(const Keys& keys, Block s, const Block& final_key) {
    const size_t mid = keys.mid_rounds();
    size_t r = 0;
    for (; r + 4 <= mid; r += 4) {
      encrypt_round<1>(keys, r, s.p);
      encrypt_round<2>(keys, r + 1, s.p);
      encrypt_round<3>(keys, r + 2, s.p);
      encrypt_round<0>(keys, r + 3, s.p);
    }
    if (r < mid) encrypt_round<1>(keys, r++, s.p);
    if (r < mid) encrypt_round<2>(keys, r++, s.p);
    if (r < mid) encrypt_round<3>(keys, r++, s.p);
    sbox(s.p);
    // mid + 1 ShiftRows were skipped.
    for (auto& q : s.p) q = shift_rows_by(q, static_cast<int>(mid + 1));
    add(s.p, final_key.p);
    return s;
  }
};

// Decryption: four blocks per register, one lane per block slot.
struct Decrypt : Common {
  static constexpr size_t kLanes = 4;
  static constexpr size_t kDecryptRegs = 1;

  static Block load_key(const uint32_t* words, size_t index, size_t mid_rounds) {
    return key_planes(words, index > mid_rounds ? 0 : -static_cast<int>(index));
  }
  static Block load(const uint8_t* p) {
    Block b;
    pack(p, b.p);
    return b;
  }
  static void store(uint8_t* p, const Block& b) { unpack(b.p, p); }
  static Block load_chain(const uint8_t* iv) {
    uint8_t four[64] = {};
    std::memcpy(four + 48, iv, 16);
    return load(four);
  }
  static void store_top_lane(uint8_t* p, const Block& b) {
    uint8_t four[64];
    unpack(b.p, four);
    std::memcpy(p, four + 48, 16);
  }
  // Slot j takes slot j - 1's ciphertext; slot 0 the top slot of `before`.
  static Block chain_of(const Block& cipher, const Block& before) {
    Block out;
    for (int i = 0; i < 8; ++i)
      out.p[i] = ((cipher.p[i] << 1) & 0xEEEEEEEEEEEEEEEEull) |
                 ((before.p[i] >> 3) & 0x1111111111111111ull);
    return out;
  }
  template <size_t kRegs, class Keys>
  static void decrypt_rounds(const Keys& keys, Block (&state)[kRegs]) {
    const size_t mid = keys.mid_rounds();
    for (size_t j = 0; j < kRegs; ++j) {
      Planes& x = state[j].p;
      size_t r = 0;
      for (; r + 4 <= mid; r += 4) {
        decrypt_round<3>(keys, r, x);
        decrypt_round<2>(keys, r + 1, x);
        decrypt_round<1>(keys, r + 2, x);
        decrypt_round<0>(keys, r + 3, x);
      }
      if (r < mid) decrypt_round<3>(keys, r++, x);
      if (r < mid) decrypt_round<2>(keys, r++, x);
      if (r < mid) decrypt_round<1>(keys, r++, x);
      inv_sbox(x);
      for (auto& q : x) q = shift_rows_by(q, -static_cast<int>(mid + 1));
    }
  }
  static Block decrypt_final(const Block& s, const Block& final_key) {
    return xor_blocks_of(s, final_key);
  }
  // The last one to three blocks, zero-filled to a register.
  static void decrypt_tail(const RoundKeys& k, const uint8_t chain[16], const uint8_t* in,
                           uint8_t* out, size_t blocks) {
    uint8_t four[64] = {};
    std::memcpy(four, in, 16 * blocks);
    cbc_decrypt_with(Decrypt{}, k, chain, four, four, 4);
    std::memcpy(out, four, 16 * blocks);
    cpu::wipe(four, sizeof four);
  }
};

}  // namespace bitsliced

QOX_FLATTEN void cbc_encrypt_bitsliced(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                                       uint8_t* out, size_t blocks) {
  cbc_encrypt_with(bitsliced::Encrypt{}, k, iv, in, out, blocks);
}

QOX_FLATTEN void cbc_decrypt_bitsliced(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                                       uint8_t* out, size_t blocks) {
  cbc_decrypt_with(bitsliced::Decrypt{}, k, iv, in, out, blocks);
}

uint32_t sub_word_bitsliced(uint32_t w) {
  uint32_t x[8];
  for (int i = 0; i < 8; ++i) {
    x[i] = 0;
    for (int byte = 0; byte < 4; ++byte) x[i] |= ((w >> (8 * byte + i)) & 1u) << byte;
  }
  bitslice::sbox(x);
  uint32_t out = 0;
  for (int i = 0; i < 8; ++i)
    for (int byte = 0; byte < 4; ++byte) out |= ((x[i] >> byte) & 1u) << (8 * byte + i);
  cpu::wipe(x, 8);
  return out;
}

}  // namespace qox::aes
