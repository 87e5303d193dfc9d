// The inputs of one CBC call turned into what the engine reads.
#pragma once

#include "engine/aes/portable/cbc_table.h"
#include "engine/cpu/wipe.h"
#include "module/ref.h"

#include <cstdint>
#include <vector>

namespace qox {

// The unpacked schedule: nr (never read), first and last as four items each, mid.
struct ScheduleParts {
  Ref first[4];
  Ref mid;
  Ref last[4];
};

// The round keys of one call as word arrays, when the engine can stand in for
// the general loop on them. The copies are wiped when the object goes.
class ScheduleWords {
 public:
  ScheduleWords() = default;
  ScheduleWords(const ScheduleWords&) = delete;
  ScheduleWords& operator=(const ScheduleWords&) = delete;
  ~ScheduleWords();

  // True when every word of `first` and `last` is an exact int in
  // 0..2**32-1 and `mid` is a list or tuple of lists or tuples of four such
  // words: then iterating `mid` before every block gives the same keys, and
  // the general loop can raise nothing. Otherwise false, with no exception
  // set: the general loop must run on the objects as found.
  bool read(const ScheduleParts& parts) noexcept;

  aes::RoundKeys round_keys() const noexcept;

  // True when the middle rounds fit the inline room (every standard key size).
  bool fits_inline() const noexcept { return spilled_mid_.empty(); }
  // Takes the words of `other`, which must fit inline.
  void copy_from(const ScheduleWords& other) noexcept;

 private:
  uint32_t* next_round_slot() noexcept;

  // Room for the middle rounds of every standard key size without allocating.
  static constexpr size_t kInlineWords = 4 * 13;
  uint32_t first_[4] = {};
  uint32_t last_[4] = {};
  uint32_t inline_mid_[kInlineWords] = {};
  // Used once a schedule has more rounds; blocks it gives up when it grows
  // are wiped too.
  std::vector<uint32_t, cpu::WipingAllocator<uint32_t>> spilled_mid_;
  size_t mid_rounds_ = 0;
};

// The IV and data length checks of the Python definition: the `struct` global is
// read where they read it, and only a wrong length calls its unpack, so the
// struct.error raised is the host's own.
bool check_iv_length(PyObject* iv) noexcept;
bool check_data_length(PyObject* data) noexcept;

}  // namespace qox
