// Engine work with the GIL released, for the module and the package's
// engine binding alike.
#pragma once

#include <cstddef>

#include "module/compat.h"

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

}  // namespace qox
