// The CBC loops for callers that hold the data in a buffer of their own.
#pragma once

#include "aes/python/round_tables.h"
#include "module/compat.h"

#include <cstddef>
#include <cstdint>

namespace qox {

// Does what _cbc_encrypt / _cbc_decrypt(sched, iv, data) do, in the same order
// and with the same errors, for `size` bytes at `in` (a multiple of 16, so the
// data-length check cannot fail), writing the result to `out`, which may be
// `in`. `iv` must be exactly bytes. False with an exception set on failure,
// which includes a `struct` global rebound to a packer whose result is not
// `size` bytes when the general loop runs (the buffer could not take it).
bool cbc_into(Direction direction, PyObject* sched, PyObject* iv, const uint8_t* in, uint8_t* out,
              size_t size) noexcept;

}  // namespace qox
