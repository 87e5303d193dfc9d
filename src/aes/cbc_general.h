// The CBC loops step by step on Python objects, for inputs the engine cannot stand in for.
#pragma once

#include "aes/cbc_inputs.h"
#include "aes/round_tables.h"

#include <cstddef>
#include <cstdint>

namespace qox {

// The block loop of _cbc_encrypt / _cbc_decrypt for `blocks` blocks at `in`,
// with the IV at `iv`: every operation is the host's own (^, >>, &, indexing
// the tables, iterating `mid` for each block and unpacking its items), in the
// Python definition's order, on whatever objects the schedule and the tables
// hold, and the words are packed by the pack function of the `struct` global.
// So results and errors are those of the Python definition, however far the
// inputs stray from the contract. Returns what pack returned; a null Ref with the exception set
// on failure.
Ref cbc_general(Direction direction, const ScheduleParts& parts, const TableGlobals& tables,
                const uint8_t* iv, const uint8_t* in, size_t blocks) noexcept;

}  // namespace qox
