// Round keys as the CBC loops take them: raw word arrays over a Schedule.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/aes/key_schedule.h"

namespace qox::aes {

// first/last point to 4 words each, mid to 4*mid_rounds words stored round by
// round. Any mid_rounds (even 0) works on every path.
struct RoundKeys {
  const uint32_t* first;
  const uint32_t* mid;
  size_t mid_rounds;
  const uint32_t* last;
};

// View over a Schedule; valid while the Schedule is alive and unmodified.
inline RoundKeys round_keys(const Schedule& s) {
  static_assert(sizeof(RoundKey) == 16, "RoundKey must be four packed words");
  return {s.first.data(), s.mid.empty() ? nullptr : s.mid.front().data(), s.mid.size(),
          s.last.data()};
}

}  // namespace qox::aes
