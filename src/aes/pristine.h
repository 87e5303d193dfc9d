// Whether a module global still holds what the engine can stand in for.
#pragma once

#include "module/function.h"
#include "module/names.h"
#include "module/ref.h"

#include <initializer_list>

namespace qox {

// True when `obj` is exactly a bytes object holding the engine's S-box (or,
// for the second one, its inverse). Equal content gives equal results, so the
// objects bound at import need not be the ones found.
bool holds_engine_sbox(PyObject* obj) noexcept;
bool holds_engine_inv_sbox(PyObject* obj) noexcept;

// A module global and the module's own function it is bound to at import.
struct OwnFunction {
  const Name& global;
  const FunctionDescription& function;
};

// Looks up each global, in order, and checks that it still holds the module's
// own function. A failed lookup counts as "not pristine" and leaves no
// exception set: the general road that follows meets the same lookup where
// the Python definition makes it, and raises there.
bool own_functions_bound(std::initializer_list<OwnFunction> globals) noexcept;

// Looks up the S-box global `name` and checks that it holds the engine's
// S-box (its inverse when `inverse`); like own_functions_bound, a failed
// lookup is "not pristine" and leaves no exception set.
bool engine_sbox_bound(const Name& name, bool inverse) noexcept;

}  // namespace qox
