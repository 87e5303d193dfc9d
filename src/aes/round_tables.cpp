// Keeps the round-table lists bound at import and reads rebound ones into words.
#include "aes/round_tables.h"

#include "aes/words.h"
#include "engine/aes/tables.h"
#include "module/global_names.h"
#include "module/state.h"

#include <new>

namespace qox {

namespace {

constexpr size_t kTableSize = 256;
constexpr size_t kTablesPerDirection = 8;

// Strong references to the lists bound at import; kept for the process.
PyObject* import_tables[kRoundTableCount] = {};

// The engine's table that global number `index` was built from.
const uint32_t* engine_table(size_t index) {
  const aes::Tables& tables = aes::tables();
  const size_t row = index % 4;
  switch (index / 4) {
    case 0:
      return tables.te[row];
    case 1:
      return tables.tf[row];
    case 2:
      return tables.td[row];
    default:
      return tables.tg[row];
  }
}

// Reads the 256 entries the loops can index from a rebound table; false
// unless each is an exact int in 0..2**32-1.
bool read_table(PyObject* table, uint32_t* out) {
  if ((!PyList_CheckExact(table) && !PyTuple_CheckExact(table)) ||
      PySequence_Fast_GET_SIZE(table) < static_cast<Py_ssize_t>(kTableSize)) {
    return false;
  }
  // Reading exact ints runs no Python code, so the item array stays valid.
  PyObject** items = PySequence_Fast_ITEMS(table);
  for (size_t i = 0; i < kTableSize; ++i) {
    if (!exact_word(items[i], &out[i])) return false;
  }
  return true;
}

// Index of the first global a direction reads: _TE0 or _TD0.
size_t first_table_of(Direction direction) {
  return direction == Direction::decrypt ? kTablesPerDirection : 0;
}

}  // namespace

const Name* const kRoundTableNames[kRoundTableCount] = {
    &kTe0, &kTe1, &kTe2, &kTe3, &kTf0, &kTf1, &kTf2, &kTf3,
    &kTd0, &kTd1, &kTd2, &kTd3, &kTg0, &kTg1, &kTg2, &kTg3,
};

bool remember_round_tables() noexcept {
  for (size_t i = 0; i < kRoundTableCount; ++i) {
    Ref table = lookup_global(*kRoundTableNames[i]);
    if (!table) return false;
    Py_XSETREF(import_tables[i], table.release());
  }
  return true;
}

bool lookup_table_globals(Direction direction, TableGlobals* out) noexcept {
  const size_t first = first_table_of(direction);
  for (size_t slot = 0; slot < kTablesPerDirection; ++slot) {
    Ref& target = slot < 4 ? out->round[slot] : out->final_round[slot - 4];
    target = lookup_global(*kRoundTableNames[first + slot]);
    if (!target) return false;
  }
  return true;
}

bool TableWords::resolve(Direction direction, const TableGlobals& found) noexcept {
  const size_t first = first_table_of(direction);
  for (size_t slot = 0; slot < kTablesPerDirection; ++slot) {
    const size_t index = first + slot;
    PyObject* table = slot < 4 ? found.round[slot].get() : found.final_round[slot - 4].get();
    const uint32_t* words = engine_table(index);
    // Identity only: the lists bound at import are read-only by contract, so
    // edits made to them in place are not looked for.
    if (table != import_tables[index]) {
      if (!converted_) {
        converted_.reset(new (std::nothrow) uint32_t[kTablesPerDirection * kTableSize]);
        if (!converted_) return false;
      }
      uint32_t* dest = &converted_[slot * kTableSize];
      if (!read_table(table, dest)) return false;
      words = dest;
    }
    (slot < 4 ? set_.round[slot] : set_.final_round[slot - 4]) = words;
  }
  return true;
}

}  // namespace qox
