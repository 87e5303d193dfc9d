// Round keys of recently used schedules, kept in the engine's form.
#include "aes/schedule_cache.h"

#include "module/ref.h"

#include <utility>

namespace qox {

namespace {

// Enough for the encryption and decryption schedules of a few keys in turn;
// entries are replaced in order. Each holds its schedule alive.
constexpr size_t kEntries = 8;

struct Entry {
  Ref sched;      // the tuple converted
  Ref mid_items;  // tuple of the round keys mid held then
  ScheduleWords words;
};

struct Cache {
  Entry entries[kEntries];
  size_t next = 0;
};

// Never destroyed: the references must not be dropped after the interpreter
// has finalized (the module has no cleanup step).
Cache& cache() {
  static Cache* const instance = new Cache();
  return *instance;
}

bool is_round_key(PyObject* obj) {
  if (!PyTuple_CheckExact(obj) || PyTuple_GET_SIZE(obj) != 4) return false;
  for (Py_ssize_t i = 0; i < 4; ++i) {
    if (!PyLong_CheckExact(PyTuple_GET_ITEM(obj, i))) return false;
  }
  return true;
}

// (int, round key, list or tuple of round keys, round key). Exact ints and
// tuples only, so that no value can change, except through the list `mid`:
// that one can be refilled in place, even with objects whose finalizers run
// when the entry drops the schedule.
bool cacheable(PyObject* sched) {
  if (!PyTuple_CheckExact(sched) || PyTuple_GET_SIZE(sched) != 4) return false;
  PyObject* mid = PyTuple_GET_ITEM(sched, 2);
  if (!PyLong_CheckExact(PyTuple_GET_ITEM(sched, 0)) || !is_round_key(PyTuple_GET_ITEM(sched, 1)) ||
      !is_round_key(PyTuple_GET_ITEM(sched, 3)) ||
      !(PyList_CheckExact(mid) || PyTuple_CheckExact(mid))) {
    return false;
  }
  for (Py_ssize_t r = 0; r < PySequence_Fast_GET_SIZE(mid); ++r) {
    if (!is_round_key(PySequence_Fast_ITEMS(mid)[r])) return false;
  }
  return true;
}

// mid still holds the round keys it held at conversion, in order.
bool mid_unchanged(const Entry& entry) {
  PyObject* mid = PyTuple_GET_ITEM(entry.sched.get(), 2);
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(mid);
  if (size != PyTuple_GET_SIZE(entry.mid_items.get())) return false;
  PyObject** now = PySequence_Fast_ITEMS(mid);
  for (Py_ssize_t r = 0; r < size; ++r) {
    if (now[r] != PyTuple_GET_ITEM(entry.mid_items.get(), r)) return false;
  }
  return true;
}

// The entry that converted `sched`, while its mid is unchanged; nullptr if none.
const Entry* find_entry(PyObject* sched) {
  for (const Entry& entry : cache().entries) {
    if (entry.sched.get() == sched && mid_unchanged(entry)) return &entry;
  }
  return nullptr;
}

// `mid_items` holds the round keys `words` were converted from. Making the
// snapshot allocates, and an allocation can run a finalizer (the cyclic
// collector) that refills mid after the words were read.
bool snapshot_matches(PyObject* mid_items, const ScheduleWords& words) {
  const aes::RoundKeys keys = words.round_keys();
  if (PyTuple_GET_SIZE(mid_items) != static_cast<Py_ssize_t>(keys.mid_rounds)) return false;
  for (Py_ssize_t r = 0; r < PyTuple_GET_SIZE(mid_items); ++r) {
    PyObject* round_key = PyTuple_GET_ITEM(mid_items, r);
    if (!is_round_key(round_key)) return false;
    for (Py_ssize_t j = 0; j < 4; ++j) {
      const unsigned long word = PyLong_AsUnsignedLong(PyTuple_GET_ITEM(round_key, j));
      if (word == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();  // out of range: not the words converted
        return false;
      }
      if (word != keys.mid[4 * r + j]) return false;
    }
  }
  return true;
}

}  // namespace

bool find_cached_round_keys(PyObject* sched, ScheduleWords* words) noexcept {
  const Entry* entry = find_entry(sched);
  if (entry == nullptr) return false;
  words->copy_from(entry->words);
  return true;
}

bool holds_schedule(PyObject* sched) noexcept { return find_entry(sched) != nullptr; }

void remember_round_keys(PyObject* sched, const ScheduleWords& words) noexcept {
  if (!words.fits_inline() || !cacheable(sched)) return;
  Ref mid_items = Ref::steal(PySequence_Tuple(PyTuple_GET_ITEM(sched, 2)));
  if (!mid_items) {
    PyErr_Clear();  // only memory can run out here; the call goes on uncached
    return;
  }
  if (!snapshot_matches(mid_items.get(), words)) return;
  Cache& c = cache();
  Entry& entry = c.entries[c.next];
  c.next = (c.next + 1) % kEntries;
  // The entry is whole before the old objects go.
  Ref old_sched = std::exchange(entry.sched, Ref::borrow(sched));
  Ref old_mid_items = std::exchange(entry.mid_items, std::move(mid_items));
  entry.words.copy_from(words);
}

}  // namespace qox
