// Bitsliced AES-CBC on 64-bit words: four blocks per set of eight planes.
// Decryption runs the CBC driver's loops four blocks at a time; encryption,
// one chain, packs and unpacks four blocks at once and moves each through
// block slot 0 in turn.
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

using bitslice::inv_sbox_linear;
using bitslice::sbox_linear;

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

// 0x63 (bits 0, 1, 5, 6) in every byte.
inline void add_sbox_constant(Planes& x) {
  x[0] = ~x[0];
  x[1] = ~x[1];
  x[5] = ~x[5];
  x[6] = ~x[6];
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

enum class Direction { kEncrypt, kDecrypt };

// Every round key of one call as planes, built once: each in the frame of
// the round that adds it (inner round r+1 is held in frame r+1 encrypting,
// -(r+1) decrypting; the outer keys in the true order), and with the S-box
// constant 0x63 added where the circuits leave it out. Encrypting, the
// S-box adds it to its output, MixColumns keeps it (1 ^ 1 ^ 2 ^ 3 = 1) and
// ShiftRows moves only bytes, so it joins the inner and last keys;
// decrypting, the inverse S-box adds it to its input, so it joins the
// whitening and inner keys. The standard schedules (9, 11 or 13 inner
// keys) are held whole, in frames; any other runs textbook rounds in the
// true order, each inner key built at its use into one scratch set. Wiped
// when the call returns.
class PlaneKeys {
 public:
  static constexpr size_t kHeldMid = 13;

  PlaneKeys(const RoundKeys& k, Direction direction) : k_(k), direction_(direction) {
    first_ = build(k.first, 0);
    if (held())
      for (size_t r = 0; r < k.mid_rounds; ++r) mid_[r] = build(k.mid + 4 * r, r + 1);
    last_ = build(k.last, k.mid_rounds + 1);
  }
  ~PlaneKeys() {
    cpu::wipe(&first_, 1);
    cpu::wipe(mid_, kHeldMid);
    cpu::wipe(&last_, 1);
    cpu::wipe(&scratch_, 1);
  }
  PlaneKeys(const PlaneKeys&) = delete;
  PlaneKeys& operator=(const PlaneKeys&) = delete;

  size_t mid_rounds() const { return k_.mid_rounds; }
  bool held() const {
    return k_.mid_rounds == 9 || k_.mid_rounds == 11 || k_.mid_rounds == kHeldMid;
  }
  const Block& first() const { return first_; }
  const Block& last() const { return last_; }
  // A held inner key, in its frame.
  const Block& mid(size_t r) const { return mid_[r]; }
  // An inner key of a schedule not held, in the true order; valid until the next call.
  const Block& built_mid(size_t r) const {
    scratch_ = build(k_.mid + 4 * r, r + 1);
    return scratch_;
  }

 private:
  Block build(const uint32_t* words, size_t index) const {
    int frame = 0;
    if (held() && index > 0 && index <= k_.mid_rounds) {
      frame = static_cast<int>(index & 3);
      if (direction_ == Direction::kDecrypt) frame = -frame;
    }
    Block b = key_planes(words, frame);
    if (direction_ == Direction::kEncrypt ? index > 0 : index <= k_.mid_rounds)
      add_sbox_constant(b.p);
    return b;
  }

  const RoundKeys& k_;
  const Direction direction_;
  Block first_, mid_[kHeldMid], last_;
  mutable Block scratch_ = {};
};

template <int f>
inline void encrypt_round(const Block& key, Planes& x) {
  sbox_linear(x);
  mix_columns<f>(x);
  add(x, key.p);
}

template <int f>
inline void decrypt_round(const Block& key, Planes& x) {
  inv_sbox_linear(x);
  inv_mix_columns<f>(x);
  add(x, key.p);
}

// Every round of a whitened state, ending in the true order with the last
// key added. The standard round counts run their rounds in frames, four to
// a loop pass; the other counts run textbook rounds, out of line.
//
// Speed and compile time hang on how the framed rounds reach the flattened
// entry point. With g++ 12 on x86-64, measured: one switch arm per standard
// count, each calling the same inline function (the compiler inlines the
// arms it likes, with the count known): ~2.5 s to compile, the fastest.
// One call site with the count unknown, the framed function out of line
// (alone or per count, unrolled whole or not), or forced inline per count:
// as quick to compile but 30-60% slower. Each count a HeldKeys instance
// inlined whole (the driver's way): ~25 s to compile.
inline void encrypt_framed(const PlaneKeys& keys, Planes& x) {
  const size_t mid = keys.mid_rounds();
  for (size_t r = 0; r + 4 <= mid; r += 4) {
    encrypt_round<1>(keys.mid(r), x);
    encrypt_round<2>(keys.mid(r + 1), x);
    encrypt_round<3>(keys.mid(r + 2), x);
    encrypt_round<0>(keys.mid(r + 3), x);
  }
  const size_t r = mid / 4 * 4;
  if (r < mid) encrypt_round<1>(keys.mid(r), x);
  if (r + 1 < mid) encrypt_round<2>(keys.mid(r + 1), x);
  if (r + 2 < mid) encrypt_round<3>(keys.mid(r + 2), x);
  sbox_linear(x);
  // mid + 1 ShiftRows were skipped.
  for (auto& q : x) q = shift_rows_by(q, static_cast<int>(mid + 1));
  add(x, keys.last().p);
}

QOX_NOINLINE void encrypt_textbook(const PlaneKeys& keys, Planes& x) {
  for (size_t r = 0; r < keys.mid_rounds(); ++r) {
    sbox_linear(x);
    for (auto& q : x) q = shift_rows_by<1>(q);
    mix_columns<0>(x);
    add(x, keys.built_mid(r).p);
  }
  sbox_linear(x);
  for (auto& q : x) q = shift_rows_by<1>(q);
  add(x, keys.last().p);
}

// The arms are alike on purpose: see above.
inline void encrypt_rounds(const PlaneKeys& keys, Planes& x) {
  switch (keys.mid_rounds()) {
    case 9:
      return encrypt_framed(keys, x);
    case 11:
      return encrypt_framed(keys, x);
    case 13:
      return encrypt_framed(keys, x);
    default:
      return encrypt_textbook(keys, x);
  }
}

// The decryption rounds in the same shapes, up to the last key.
inline void decrypt_framed(const PlaneKeys& keys, Planes& x) {
  const size_t mid = keys.mid_rounds();
  for (size_t r = 0; r + 4 <= mid; r += 4) {
    decrypt_round<3>(keys.mid(r), x);
    decrypt_round<2>(keys.mid(r + 1), x);
    decrypt_round<1>(keys.mid(r + 2), x);
    decrypt_round<0>(keys.mid(r + 3), x);
  }
  const size_t r = mid / 4 * 4;
  if (r < mid) decrypt_round<3>(keys.mid(r), x);
  if (r + 1 < mid) decrypt_round<2>(keys.mid(r + 1), x);
  if (r + 2 < mid) decrypt_round<1>(keys.mid(r + 2), x);
  inv_sbox_linear(x);
  for (auto& q : x) q = shift_rows_by(q, -static_cast<int>(mid + 1));
}

QOX_NOINLINE void decrypt_textbook(const PlaneKeys& keys, Planes& x) {
  for (size_t r = 0; r < keys.mid_rounds(); ++r) {
    inv_sbox_linear(x);
    for (auto& q : x) q = shift_rows_by<3>(q);
    inv_mix_columns<0>(x);
    add(x, keys.built_mid(r).p);
  }
  inv_sbox_linear(x);
  for (auto& q : x) q = shift_rows_by<3>(q);
}

// The arms are alike on purpose: see encrypt_framed.
inline void decrypt_rounds_of(const PlaneKeys& keys, Planes& x) {
  switch (keys.mid_rounds()) {
    case 9:
      return decrypt_framed(keys, x);
    case 11:
      return decrypt_framed(keys, x);
    case 13:
      return decrypt_framed(keys, x);
    default:
      return decrypt_textbook(keys, x);
  }
}

// Bit j of each 4-bit group: block slot j.
constexpr uint64_t kSlot0 = 0x1111111111111111ull;

// CBC encryption is one chain, so one slot of the state carries it: slot 0
// holds the running block and the other three whatever the shifts bring
// (slots never mix). Four plaintext blocks are packed at once and moved
// into slot 0 in turn; four ciphertext blocks are gathered into their slots
// and unpacked at once. Reads a group before storing it, so in == out is fine.
// The chain stays a local whose address is never taken, so that it can live
// in registers (a wiped array would go through memory on every round); the
// buffers are wiped.
void encrypt_chain(const PlaneKeys& keys, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                   size_t blocks) {
  uint8_t partial[64] = {};
  Planes plain, cipher;
  std::memcpy(partial, iv, 16);
  pack(partial, plain);
  Block state;
  for (int i = 0; i < 8; ++i) state.p[i] = plain[i];
  while (blocks > 0) {
    const size_t n = blocks < 4 ? blocks : 4;
    if (n < 4) {
      std::memset(partial, 0, sizeof partial);
      std::memcpy(partial, in, 16 * n);
    }
    pack(n < 4 ? partial : in, plain);
    add(plain, keys.first().p);
    for (auto& q : cipher) q = 0;
    for (size_t j = 0; j < n; ++j) {
      for (int i = 0; i < 8; ++i) state.p[i] ^= plain[i] >> j;
      encrypt_rounds(keys, state.p);
      for (int i = 0; i < 8; ++i) cipher[i] |= (state.p[i] & kSlot0) << j;
    }
    if (n < 4) {
      unpack(cipher, partial);
      std::memcpy(out, partial, 16 * n);
    } else {
      unpack(cipher, out);
    }
    in += 16 * n, out += 16 * n, blocks -= n;
  }
  cpu::wipe(partial, sizeof partial);
  cpu::wipe(plain, 8);
  cpu::wipe(cipher, 8);
}

// Decryption traits for the CBC driver: four blocks per register, one
// lane per block slot, the keys from one PlaneKeys.
struct Decrypt {
  using Block = bitsliced::Block;
  static constexpr size_t kLanes = 4;
  static constexpr size_t kDecryptRegs = 1;

  const PlaneKeys& keys;

  static Block xor_blocks(const Block& a, const Block& b) { return xor_blocks_of(a, b); }
  static Block whitening(const PlaneKeys& k) { return k.first(); }
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
  template <size_t kRegs>
  static void decrypt_rounds(const PlaneKeys& k, Block (&state)[kRegs]) {
    for (size_t j = 0; j < kRegs; ++j) decrypt_rounds_of(k, state[j].p);
  }
  static Block decrypt_final(const Block& s, const Block& final_key) {
    return xor_blocks_of(s, final_key);
  }
  // The last one to three blocks, zero-filled to a register.
  void decrypt_tail(const RoundKeys&, const uint8_t chain[16], const uint8_t* in, uint8_t* out,
                    size_t blocks) const {
    uint8_t four[64] = {};
    std::memcpy(four, in, 16 * blocks);
    const uint8_t* from = four;
    uint8_t* to = four;
    size_t whole = 4;
    decrypt_registers(*this, keys, load_chain(chain), from, to, whole);
    std::memcpy(out, four, 16 * blocks);
    cpu::wipe(four, sizeof four);
  }
};

}  // namespace bitsliced

QOX_FLATTEN void cbc_encrypt_bitsliced(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                                       uint8_t* out, size_t blocks) {
  if (blocks == 0) return;
  const bitsliced::PlaneKeys keys(k, bitsliced::Direction::kEncrypt);
  bitsliced::encrypt_chain(keys, iv, in, out, blocks);
}

QOX_FLATTEN void cbc_decrypt_bitsliced(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                                       uint8_t* out, size_t blocks) {
  if (blocks == 0) return;
  const bitsliced::PlaneKeys keys(k, bitsliced::Direction::kDecrypt);
  decrypt_run(bitsliced::Decrypt{keys}, keys, k, iv, in, out, blocks);
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
