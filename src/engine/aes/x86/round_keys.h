// Round keys as xmm registers for the AES-NI kernels (x86-64 sources only).
#pragma once

#include "engine/cpu/portable.h"

#if !defined(QOX_ARCH_X86_64)
#error "hw_round_keys.h is only for x86-64 sources"
#endif

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "engine/aes/portable/cbc_table.h"
#include "engine/cpu/wipe.h"

// Per-function targets: the rest of the build needs no -maes.
#define QOX_TARGET_AESNI QOX_TARGET("aes,sse4.1")
#define QOX_INLINE_AESNI QOX_FORCE_INLINE QOX_TARGET("aes,sse4.1")

namespace qox::aes::hw {

// Schedule words are big-endian; the instructions want byte 0 of word 0
// first, so each 32-bit lane is byte-reversed on load.
QOX_INLINE_AESNI __m128i load_round_key(const uint32_t* words) {
  const __m128i reverse_each_word =
      _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words)),
                          reverse_each_word);
}

QOX_INLINE_AESNI __m128i load_block(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

QOX_INLINE_AESNI void store_block(uint8_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// kMid inner keys plus first/last held in locals for the whole call, so a
// fixed round count unrolls with every key in a register. Wiped on exit.
template <size_t kMid>
class HeldKeys {
 public:
  QOX_INLINE_AESNI explicit HeldKeys(const RoundKeys& k) {
    keys_[0] = load_round_key(k.first);
    for (size_t r = 0; r < kMid; ++r) keys_[r + 1] = load_round_key(k.mid + 4 * r);
    keys_[kMid + 1] = load_round_key(k.last);
  }
  QOX_INLINE_AESNI ~HeldKeys() { cpu::wipe(keys_); }
  HeldKeys(const HeldKeys&) = delete;
  HeldKeys& operator=(const HeldKeys&) = delete;

  static constexpr size_t mid_rounds() { return kMid; }
  QOX_INLINE_AESNI __m128i first() const { return keys_[0]; }
  QOX_INLINE_AESNI __m128i mid(size_t r) const { return keys_[r + 1]; }
  QOX_INLINE_AESNI __m128i last() const { return keys_[kMid + 1]; }

 private:
  __m128i keys_[kMid + 2];
};

// Any inner round count: inner keys are reloaded from the schedule words at
// each use (cache hits, off the dependency chain); only first and last are
// held, and wiped on exit.
class StreamedKeys {
 public:
  QOX_INLINE_AESNI explicit StreamedKeys(const RoundKeys& k)
      : k_(k), outer_{load_round_key(k.first), load_round_key(k.last)} {}
  QOX_INLINE_AESNI ~StreamedKeys() { cpu::wipe(outer_); }
  StreamedKeys(const StreamedKeys&) = delete;
  StreamedKeys& operator=(const StreamedKeys&) = delete;

  size_t mid_rounds() const { return k_.mid_rounds; }
  QOX_INLINE_AESNI __m128i first() const { return outer_[0]; }
  QOX_INLINE_AESNI __m128i mid(size_t r) const { return load_round_key(k_.mid + 4 * r); }
  QOX_INLINE_AESNI __m128i last() const { return outer_[1]; }

 private:
  const RoundKeys& k_;
  __m128i outer_[2];  // first, last
};

// A key value a kernel derives from the round keys (such as first ^ last),
// wiped when the kernel returns.
class DerivedKey {
 public:
  QOX_INLINE_AESNI explicit DerivedKey(__m128i value) : value_{value} {}
  QOX_INLINE_AESNI ~DerivedKey() { cpu::wipe(value_); }
  DerivedKey(const DerivedKey&) = delete;
  DerivedKey& operator=(const DerivedKey&) = delete;

  QOX_INLINE_AESNI __m128i get() const { return value_[0]; }

 private:
  __m128i value_[1];
};

}  // namespace qox::aes::hw
