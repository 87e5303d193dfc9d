// The CBC loops, written once over an instruction-set traits type, and the
// one key holder every path uses.
//
// A traits type `Isa` describes one way of running AES rounds:
//   Block                  a register of kLanes blocks (1, or 4 on 512-bit VAES)
//   kLanes, kDecryptRegs   blocks per register; registers decrypted side by side
//   kHoldKeys              whether the standard round counts pay for keys held in registers
//                          (encryption; kHoldDecryptKeys, where set, for decryption)
//   load_key(words)        a big-endian round key in every lane; or, where the
//                          traits set kKeysByRound, load_key(words, index, mid_rounds)
//                          with the key's place in the schedule (0 first,
//                          mid_rounds + 1 last), for rounds that add keys in a
//                          form of their own
//   load(p), store(p, b), xor_blocks(a, b)
//   whitening(keys)        the key the state is xored with on entry: the first
//                          round key, or zero where the instructions add it in the rounds
//   encrypt_rounds(keys, s, final_key)   every round of a whitened state, the
//                          last adding final_key in place of the last round key
//   decrypt_rounds<n>(keys, state[n])    every round of n whitened registers
//                          side by side, up to the last round's key addition
//   decrypt_final(s, final_key)          that last step, with final_key
//   load_chain(iv)         a register whose top lane is the IV
//   chain_of(cipher, before)   the ciphertext blocks preceding each lane of
//                          `cipher`, given the register before it
// and, when kLanes > 1, store_top_lane(p, b) and decrypt_tail(k, chain, in, out, blocks)
// for the last blocks that fill no register. A traits object may be empty or
// hold state (the table path holds its tables). A path's entry points are
// QOX_FLATTEN functions with the path's target calling cbc_encrypt_with /
// cbc_decrypt_with below (cpu/portable.h says why). The one exception is
// bitsliced encryption, whose chain takes one slot of a four-block register
// and so runs a loop of its own that packs four blocks at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "engine/aes/round_keys.h"
#include "engine/cpu/portable.h"
#include "engine/cpu/wipe.h"

namespace qox::aes {

template <class Isa, class = void>
struct KeysByRound : std::false_type {};
template <class Isa>
struct KeysByRound<Isa, std::void_t<decltype(Isa::kKeysByRound)>>
    : std::bool_constant<Isa::kKeysByRound> {};

// Traits whose keys cost more to load than to hold (set kHoldDecryptKeys)
// hold them for decryption too, for the standard round counts.
template <class Isa, class = void>
struct HoldDecryptKeys : std::false_type {};
template <class Isa>
struct HoldDecryptKeys<Isa, std::void_t<decltype(Isa::kHoldDecryptKeys)>>
    : std::bool_constant<Isa::kHoldDecryptKeys> {};

// Round key `index` of a schedule with mid_rounds inner keys, as the traits load it.
template <class Isa>
QOX_FORCE_INLINE typename Isa::Block load_round_key(const Isa& isa, const uint32_t* words,
                                                    size_t index, size_t mid_rounds) {
  if constexpr (KeysByRound<Isa>::value) {
    return isa.load_key(words, index, mid_rounds);
  } else {
    (void)index, (void)mid_rounds;
    return isa.load_key(words);
  }
}

// kMid inner keys plus first and last in locals for the whole call, so a fixed
// round count unrolls with every key in a register. Wiped on exit.
template <class Isa, size_t kMid>
class HeldKeys {
 public:
  using Block = typename Isa::Block;
  QOX_FORCE_INLINE HeldKeys(const Isa& isa, const RoundKeys& k) {
    keys_[0] = load_round_key(isa, k.first, 0, kMid);
    for (size_t r = 0; r < kMid; ++r)
      keys_[r + 1] = load_round_key(isa, k.mid + 4 * r, r + 1, kMid);
    keys_[kMid + 1] = load_round_key(isa, k.last, kMid + 1, kMid);
  }
  QOX_FORCE_INLINE ~HeldKeys() { cpu::wipe(keys_); }
  HeldKeys(const HeldKeys&) = delete;
  HeldKeys& operator=(const HeldKeys&) = delete;

  static constexpr size_t mid_rounds() { return kMid; }
  QOX_FORCE_INLINE Block first() const { return keys_[0]; }
  QOX_FORCE_INLINE Block mid(size_t r) const { return keys_[r + 1]; }
  QOX_FORCE_INLINE Block last() const { return keys_[kMid + 1]; }

 private:
  Block keys_[kMid + 2];
};

// Any inner round count: inner keys are reloaded from the schedule words at
// each use (cache hits, off the dependency chain); first and last are held,
// and wiped on exit.
template <class Isa>
class StreamedKeys {
 public:
  using Block = typename Isa::Block;
  QOX_FORCE_INLINE StreamedKeys(const Isa& isa, const RoundKeys& k)
      : isa_(isa),
        k_(k),
        outer_{load_round_key(isa, k.first, 0, k.mid_rounds),
               load_round_key(isa, k.last, k.mid_rounds + 1, k.mid_rounds)} {}
  QOX_FORCE_INLINE ~StreamedKeys() { cpu::wipe(outer_); }
  StreamedKeys(const StreamedKeys&) = delete;
  StreamedKeys& operator=(const StreamedKeys&) = delete;

  size_t mid_rounds() const { return k_.mid_rounds; }
  QOX_FORCE_INLINE Block first() const { return outer_[0]; }
  QOX_FORCE_INLINE Block mid(size_t r) const {
    return load_round_key(isa_, k_.mid + 4 * r, r + 1, k_.mid_rounds);
  }
  QOX_FORCE_INLINE Block last() const { return outer_[1]; }

 private:
  const Isa& isa_;
  const RoundKeys& k_;
  Block outer_[2];  // first, last
};

// A key value derived from the round keys for one call (such as the
// whitening key xored with the last key), wiped when the call returns.
template <class Isa>
class DerivedKey {
 public:
  using Block = typename Isa::Block;
  QOX_FORCE_INLINE explicit DerivedKey(Block value) : value_{value} {}
  QOX_FORCE_INLINE ~DerivedKey() { cpu::wipe(value_); }
  DerivedKey(const DerivedKey&) = delete;
  DerivedKey& operator=(const DerivedKey&) = delete;

  QOX_FORCE_INLINE Block get() const { return value_[0]; }

 private:
  Block value_[1];
};

// CBC encryption is one dependency chain, so its speed is the round latency.
// A block enters as its whitened input state (plaintext ^ chain ^ whitening);
// the next block's plaintext and the whitening key are folded into the last
// round key (fold = whitening ^ last), so the last round yields the next
// block's input state directly and the ciphertext is recovered off the chain.
// Reads `next_in` before storing `out`, so in == out is fine.
template <class Isa, class Keys>
QOX_FORCE_INLINE typename Isa::Block encrypt_and_start_next(const Isa& isa, const Keys& keys,
                                                            typename Isa::Block state,
                                                            typename Isa::Block whitening,
                                                            typename Isa::Block fold,
                                                            const uint8_t* next_in, uint8_t* out) {
  const typename Isa::Block next = isa.load(next_in);
  state = isa.encrypt_rounds(keys, state, isa.xor_blocks(fold, next));
  isa.store(out, isa.xor_blocks(state, isa.xor_blocks(next, whitening)));
  return state;
}

// The last block of a run, from its input state.
template <class Isa, class Keys>
QOX_FORCE_INLINE void encrypt_last(const Isa& isa, const Keys& keys, typename Isa::Block state,
                                   uint8_t* out) {
  isa.store(out, isa.encrypt_rounds(keys, state, keys.last()));
}

template <class Isa, class Keys>
QOX_FORCE_INLINE void encrypt_chain(const Isa& isa, const Keys& keys, const uint8_t iv[16],
                                    const uint8_t* in, uint8_t* out, size_t blocks) {
  if (blocks == 0) return;
  const typename Isa::Block whitening = isa.whitening(keys);
  const DerivedKey<Isa> fold(isa.xor_blocks(whitening, keys.last()));
  typename Isa::Block state = isa.xor_blocks(isa.xor_blocks(isa.load(in), isa.load(iv)), whitening);
  for (size_t b = 1; b < blocks; ++b, in += 16, out += 16)
    state = encrypt_and_start_next(isa, keys, state, whitening, fold.get(), in + 16, out);
  encrypt_last(isa, keys, state, out);
}

// Decrypts kRegs independent registers at once; every ciphertext is read
// before anything is stored (in == out). The chaining value is folded into
// the last round key. `carry` holds the ciphertext before the first lane in
// its top lane; returns the last register of ciphertext, the next carry.
template <size_t kRegs, class Isa, class Keys>
QOX_FORCE_INLINE typename Isa::Block decrypt_group(const Isa& isa, const Keys& keys,
                                                   const typename Isa::Block& carry,
                                                   const uint8_t* in, uint8_t* out) {
  constexpr size_t kStride = 16 * Isa::kLanes;
  typename Isa::Block cipher[kRegs], state[kRegs];
  const typename Isa::Block whitening = isa.whitening(keys);
  for (size_t j = 0; j < kRegs; ++j) {
    cipher[j] = isa.load(in + kStride * j);
    state[j] = isa.xor_blocks(cipher[j], whitening);
  }
  isa.template decrypt_rounds<kRegs>(keys, state);
  const typename Isa::Block last = keys.last();
  for (size_t j = 0; j < kRegs; ++j) {
    const typename Isa::Block chain = isa.chain_of(cipher[j], j == 0 ? carry : cipher[j - 1]);
    isa.store(out + kStride * j, isa.decrypt_final(state[j], isa.xor_blocks(last, chain)));
  }
  return cipher[kRegs - 1];
}

// Every whole register of the run: kDecryptRegs at a time, then one group
// each of half, a quarter... as needed. Advances in/out/blocks past them;
// fewer than kLanes blocks remain.
template <class Isa, class Keys>
QOX_FORCE_INLINE typename Isa::Block decrypt_registers(const Isa& isa, const Keys& keys,
                                                       const typename Isa::Block& first_carry,
                                                       const uint8_t*& in, uint8_t*& out,
                                                       size_t& blocks) {
  constexpr size_t kLanes = Isa::kLanes, kRegs = Isa::kDecryptRegs;
  typename Isa::Block carry = first_carry;
  for (; blocks >= kRegs * kLanes;
       blocks -= kRegs * kLanes, in += 16 * kRegs * kLanes, out += 16 * kRegs * kLanes)
    carry = decrypt_group<kRegs>(isa, keys, carry, in, out);
  if constexpr (kRegs >= 8) {
    if (blocks >= 4 * kLanes) {
      carry = decrypt_group<4>(isa, keys, carry, in, out);
      blocks -= 4 * kLanes, in += 64 * kLanes, out += 64 * kLanes;
    }
  }
  if constexpr (kRegs >= 4) {
    if (blocks >= 2 * kLanes) {
      carry = decrypt_group<2>(isa, keys, carry, in, out);
      blocks -= 2 * kLanes, in += 32 * kLanes, out += 32 * kLanes;
    }
  }
  if constexpr (kRegs >= 2) {
    if (blocks >= kLanes) {
      carry = decrypt_group<1>(isa, keys, carry, in, out);
      blocks -= kLanes, in += 16 * kLanes, out += 16 * kLanes;
    }
  }
  return carry;
}

// A whole decryption run with one key holder.
template <class Isa, class Keys>
QOX_FORCE_INLINE void decrypt_run(const Isa& isa, const Keys& keys, const RoundKeys& k,
                                  const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                                  size_t blocks) {
  const typename Isa::Block carry =
      decrypt_registers(isa, keys, isa.load_chain(iv), in, out, blocks);
  if constexpr (Isa::kLanes > 1) {
    if (blocks == 0) return;
    uint8_t chain[16];
    isa.store_top_lane(chain, carry);
    isa.decrypt_tail(k, chain, in, out, blocks);
  } else {
    (void)k;
  }
}

// The entry points' bodies. Encryption holds the keys in registers for the
// standard round counts from two blocks on (for one block the copy and wipe
// cost more than they save); decryption streams its keys, each load serving
// a whole group. Any mid_rounds; in == out allowed; no alignment needed.
template <class Isa>
QOX_FORCE_INLINE void cbc_encrypt_with(const Isa& isa, const RoundKeys& k, const uint8_t iv[16],
                                       const uint8_t* in, uint8_t* out, size_t blocks) {
  if constexpr (Isa::kHoldKeys) {
    if (blocks >= 2) {
      switch (k.mid_rounds) {
        case 9:
          return encrypt_chain(isa, HeldKeys<Isa, 9>(isa, k), iv, in, out, blocks);
        case 11:
          return encrypt_chain(isa, HeldKeys<Isa, 11>(isa, k), iv, in, out, blocks);
        case 13:
          return encrypt_chain(isa, HeldKeys<Isa, 13>(isa, k), iv, in, out, blocks);
        default:
          break;
      }
    }
  }
  encrypt_chain(isa, StreamedKeys<Isa>(isa, k), iv, in, out, blocks);
}

template <class Isa>
QOX_FORCE_INLINE void cbc_decrypt_with(const Isa& isa, const RoundKeys& k, const uint8_t iv[16],
                                       const uint8_t* in, uint8_t* out, size_t blocks) {
  if constexpr (HoldDecryptKeys<Isa>::value) {
    switch (k.mid_rounds) {
      case 9:
        return decrypt_run(isa, HeldKeys<Isa, 9>(isa, k), k, iv, in, out, blocks);
      case 11:
        return decrypt_run(isa, HeldKeys<Isa, 11>(isa, k), k, iv, in, out, blocks);
      case 13:
        return decrypt_run(isa, HeldKeys<Isa, 13>(isa, k), k, iv, in, out, blocks);
      default:
        break;
    }
  }
  decrypt_run(isa, StreamedKeys<Isa>(isa, k), k, iv, in, out, blocks);
}

}  // namespace qox::aes
