// The CBC loops for callers that hold the data in a buffer of their own.
#pragma once

#include "aes/cbc_inputs.h"
#include "aes/round_tables.h"
#include "module/compat.h"
#include "module/ref.h"
#include "module/without_gil.h"

#include <cstddef>
#include <cstdint>

namespace qox {

// One call of _cbc_encrypt / _cbc_decrypt(sched, iv, data) in two halves:
// everything that reads Python objects, then the engine work, which reads
// only C++ copies and may run later.
class PreparedCbc {
 public:
  // What the loop does before its blocks, in the same order and with the
  // same errors: unpack the schedule, look up the tables, unpack first and
  // last, check the IV's length and, when `data` is given, the data's.
  // `iv` (and `data`) must be exactly bytes. False with an exception set.
  bool begin(Direction direction, PyObject* sched, PyObject* iv, PyObject* data = nullptr) noexcept;

  // What the blocks read for `size` bytes at `in`: the data's length (a
  // partial block fails as the loop's conversion of the data does, also when
  // begin() was not given the data object), the round keys and tables, taken
  // from the schedule cache when it still holds them; then the `struct`
  // global the result is packed with. When the engine
  // cannot stand in for the loop on these objects, the general loop runs here
  // instead and its result waits in general_result(). False with an
  // exception set on failure.
  bool read(const uint8_t* in, size_t size) noexcept;

  // read(), with a general result copied to `out` (which must then be bytes
  // of `size`), so that only engine work can be left.
  bool read_into(const uint8_t* in, uint8_t* out, size_t size) noexcept;

  // Blocks left for the engine (or for a caller that runs them its own way).
  bool pending() const noexcept { return blocks_ > 0; }
  Ref general_result() noexcept { return std::move(general_); }
  // The tables found are the engine's own, so its hardware paths may run.
  bool engine_tables() const noexcept { return inputs_.tables.all_pristine(); }
  aes::RoundKeys round_keys() const noexcept { return inputs_.keys.round_keys(); }
  const uint8_t* iv() const noexcept { return iv_; }

  // The pending blocks, from `in` to `out` (which may be `in`); runs no
  // Python code and releases the GIL for large inputs.
  void run(uint8_t* out) noexcept;

 private:
  struct EngineInputs {
    ScheduleWords keys;
    TableWords tables;
  };
  bool read_inputs() noexcept;

  Direction direction_ = Direction::encrypt;
  PyObject* sched_ = nullptr;  // borrowed from the caller
  ScheduleParts parts_;
  TableGlobals tables_;
  EngineInputs inputs_;
  const uint8_t* iv_ = nullptr;
  const uint8_t* in_ = nullptr;
  size_t blocks_ = 0;
  Ref general_;
};

// Does what _cbc_encrypt / _cbc_decrypt(sched, iv, data) do, in the same order
// and with the same errors, for `size` bytes at `in`, writing the result to
// `out`, which may be `in`. `iv` must be exactly bytes. False with an exception set on failure,
// which includes a `struct` global rebound to a packer whose result is not
// `size` bytes when the general loop runs (the buffer could not take it).
bool cbc_into(Direction direction, PyObject* sched, PyObject* iv, const uint8_t* in, uint8_t* out,
              size_t size) noexcept;

}  // namespace qox
