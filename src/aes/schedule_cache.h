// Round keys of recently used schedules, kept in the engine's form.
//
// _expand_key's schedules are tuples (nr, first, mid, last) whose round keys
// are tuples of ints: all immutable except the list `mid`, whose items can be
// replaced in place. An entry holds the schedule (so that no other object can
// take its address) and the items mid held when it was converted, and it
// answers only while mid holds exactly those items in that order. A hit thus
// gives the words a conversion would give, and the steps it saves (iterating
// mid, unpacking round keys, reading ints) can neither fail nor run Python
// code. Other shapes (lists as round keys, int subclasses, longer schedules)
// are converted on every call, as before.
#pragma once

#include "aes/cbc_inputs.h"
#include "module/compat.h"

namespace qox {

// True, with `words` filled, when an entry stands for `sched`.
bool find_cached_round_keys(PyObject* sched, ScheduleWords* words) noexcept;

// True when an entry stands for `sched` (so it has the cacheable shape).
bool holds_schedule(PyObject* sched) noexcept;

// Keeps `words`, just converted from `sched`, when sched has the shape above;
// otherwise does nothing. Never fails.
void remember_round_keys(PyObject* sched, const ScheduleWords& words) noexcept;

}  // namespace qox
