// The CBC loops for callers that hold the data in a buffer of their own.
#pragma once

#include "aes/python/cbc_inputs.h"
#include "aes/python/round_tables.h"
#include "module/compat.h"

#include <cstddef>
#include <cstdint>

namespace qox {

// From this many bytes on, the engine runs with the GIL released: above it
// the release costs well under 1% of the work, and threads encrypting large
// inputs run in parallel. The engine then touches only immutable bytes
// objects held by the caller, a new result that nobody else sees yet, and
// C++ copies of the keys and tables.
constexpr size_t kReleaseGilFrom = 32 * 1024;

// Runs `work`, which must not touch Python objects, with the GIL released
// when it covers `size` bytes or more.
template <class Work>
void engine_work(size_t size, Work work) noexcept {
  PyThreadState* saved = size >= kReleaseGilFrom ? PyEval_SaveThread() : nullptr;
  work();
  if (saved != nullptr) PyEval_RestoreThread(saved);
}

// One call of _cbc_encrypt / _cbc_decrypt(sched, iv, data) on the caller's
// buffers, in two halves: everything that reads Python objects, then the
// engine work, which reads only C++ copies and can run later.
class PreparedCbc {
 public:
  // What the loop does before its blocks, in the same order and with the
  // same errors: unpack the schedule, look up the tables, unpack first and
  // last, check the IV's length and, when `data` is given, the data's.
  // `iv` (and `data`) must be exactly bytes. False with an exception set.
  bool begin(Direction direction, PyObject* sched, PyObject* iv, PyObject* data = nullptr) noexcept;

  // What the blocks read, then the `struct` global the result is packed with,
  // for `size` bytes at `in` (a multiple of 16) that are to be written to
  // `out` (which may be `in`). When mid has to be iterated again for every
  // block, the blocks run here, since that runs Python code. False with an
  // exception set on failure.
  bool read(const uint8_t* in, uint8_t* out, size_t size) noexcept;

  // Blocks left for run() (or for a caller that runs them its own way).
  bool pending() const noexcept { return blocks_ > 0; }
  // The tables found are the engine's own, so its hardware paths may run.
  bool engine_tables() const noexcept { return table_words_.all_pristine(); }
  aes::RoundKeys round_keys() const noexcept { return keys_.round_keys(); }
  const uint8_t* iv() const noexcept { return iv_; }

  // The pending blocks; runs no Python code and releases the GIL for large
  // inputs.
  void run() noexcept;

 private:
  bool read_words(bool fixed_mid) noexcept;

  Direction direction_ = Direction::encrypt;
  PyObject* sched_ = nullptr;  // borrowed from the caller
  Ref first_[4];
  Ref mid_;
  Ref last_[4];
  TableGlobals tables_;
  ScheduleWords keys_;
  TableWords table_words_;
  const uint8_t* iv_ = nullptr;
  const uint8_t* in_ = nullptr;
  uint8_t* out_ = nullptr;
  size_t blocks_ = 0;
};

// begin(), read() and run() at once.
bool cbc_into(Direction direction, PyObject* sched, PyObject* iv, const uint8_t* in, uint8_t* out,
              size_t size) noexcept;

}  // namespace qox
