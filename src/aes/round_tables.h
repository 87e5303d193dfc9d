// The sixteen round-table globals: their names, the lists bound at import, their words.
#pragma once

#include "engine/aes/portable/cbc_table.h"
#include "module/names.h"
#include "module/ref.h"

#include <cstddef>
#include <memory>

namespace qox {

constexpr size_t kRoundTableCount = 16;

// In the order _build_tables returns the lists and the import binds them:
// _TE0.._TE3, _TF0.._TF3, _TD0.._TD3, _TG0.._TG3.
extern const Name* const kRoundTableNames[kRoundTableCount];

// Keeps the lists just bound under those names, so that later calls can tell
// them from rebound ones. Called once, by the import-time sequence.
bool remember_round_tables() noexcept;

enum class Direction { encrypt, decrypt };

// The eight table globals one direction reads (middle rounds, then last
// round), looked up in that order; NameError for a missing one.
struct TableGlobals {
  Ref round[4];
  Ref final_round[4];
};
bool lookup_table_globals(Direction direction, TableGlobals* out) noexcept;

// The words behind the tables found, when the engine can stand in for the
// general loop on them: each is the list bound at import or a list or tuple
// whose first 256 entries are exact ints in 0..2**32-1.
class TableWords {
 public:
  // False, with no exception set, when some table is anything else (or the
  // room for converted words cannot be had): the general loop then runs on
  // the objects as found.
  bool resolve(Direction direction, const TableGlobals& found) noexcept;
  const aes::TableSet& set() const noexcept { return set_; }
  // True when every table found is the one bound at import, so the engine's
  // own tables (and with them its hardware path) give the same bytes.
  bool all_pristine() const noexcept { return !converted_; }

 private:
  aes::TableSet set_{};
  std::unique_ptr<uint32_t[]> converted_;  // 8 x 256 words, only once one is rebound
};

}  // namespace qox
