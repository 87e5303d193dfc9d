// The fast road through _aes_cbc, for callers that hold the data in a buffer of their own.
#pragma once

#include "aes/prepared_cbc.h"
#include "aes/round_tables.h"
#include "module/compat.h"

#include <cstddef>
#include <cstdint>

namespace qox {

// `_aes_cbc(sched, key, iv, data, encrypt)` run on the caller's buffer, when
// the call would run only the module's own code: `aes_cbc` is the module's own
// function, key and iv are exactly bytes, _NATIVE_AES is None and the CBC
// loop global for the direction is the module's own. The globals are looked
// at once, when the object is made; a failed lookup means "not applicable"
// and leaves no exception set (the general road then meets the same lookup
// and raises there).
class AesCbcFastRoad {
 public:
  AesCbcFastRoad(PyObject* aes_cbc, PyObject* key, PyObject* iv, Direction direction) noexcept;

  // False: call `aes_cbc` itself.
  bool applies() const noexcept { return applies_; }

  // What the call does, in the same order and with the same errors, for
  // `size` bytes at `in` (a partial block fails at the data's conversion, as
  // in the loop, before anything is written), writing the result to `out`,
  // which may be `in`. Only when applies().
  // False with an exception set on failure.
  bool run(PyObject* sched, const uint8_t* in, uint8_t* out, size_t size) const noexcept;

  // The same in two halves: everything but the engine work, which is left
  // pending in `cbc` (cbc->run(out), or a loop that also hashes the blocks).
  bool prepare(PyObject* sched, const uint8_t* in, uint8_t* out, size_t size,
               PreparedCbc* cbc) const noexcept;

 private:
  PyObject* iv_;  // borrowed from the caller, exactly bytes
  Direction direction_;
  bool applies_;
};

}  // namespace qox
