// The inputs of one CBC call turned into what the engine reads.
#pragma once

#include "aes/cbc.h"
#include "aes/wipe.h"
#include "module/ref.h"

#include <cstdint>
#include <vector>

namespace qox {

// The round keys of one call as word arrays. Every word must be an int in
// 0..2**32-1 (see words.h). The copies are wiped when the object goes.
class ScheduleWords {
 public:
  ScheduleWords() = default;
  ScheduleWords(const ScheduleWords&) = delete;
  ScheduleWords& operator=(const ScheduleWords&) = delete;
  ~ScheduleWords();

  // The four items unpacked from `first` or `last`.
  bool read_first(const Ref (&items)[4]) noexcept { return read_round_key(items, first_); }
  bool read_last(const Ref (&items)[4]) noexcept { return read_round_key(items, last_); }
  // Iterates `mid` and unpacks each item into four words, replacing any
  // middle round keys gathered before; the host's errors for items that do
  // not unpack into exactly four.
  bool gather_mid(PyObject* mid) noexcept;

  aes::RoundKeys round_keys() const noexcept;

 private:
  static bool read_round_key(const Ref (&items)[4], uint32_t* out) noexcept;
  uint32_t* next_round_slot() noexcept;

  // Room for the middle rounds of every standard key size without allocating.
  static constexpr size_t kInlineWords = 4 * 13;
  uint32_t first_[4] = {};
  uint32_t last_[4] = {};
  uint32_t inline_mid_[kInlineWords] = {};
  // Used once a schedule has more rounds; blocks it gives up when it grows
  // are wiped too.
  std::vector<uint32_t, aes::WipingAllocator<uint32_t>> spilled_mid_;
  size_t mid_rounds_ = 0;
};

// True when gathering `mid` once stands for gathering it before every block:
// a list or tuple of lists or tuples, which unpack without running Python code.
bool mid_is_fixed(PyObject* mid) noexcept;

// The IV and data length checks of the Python definition: the `struct` global is
// read where they read it, and only a wrong length calls its unpack, so the
// struct.error raised is the host's own.
bool check_iv_length(PyObject* iv) noexcept;
bool check_data_length(PyObject* data) noexcept;

}  // namespace qox
