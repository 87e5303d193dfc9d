// The import-time sequence: binds every module global, in order, once per process.
#pragma once

namespace qox {

// Runs the sequence on the module recorded in the process state. False with
// an exception set when a step fails.
bool run_import_sequence() noexcept;

}  // namespace qox
