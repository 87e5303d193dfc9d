// Whether a module global still holds what the engine can stand in for.
#pragma once

#include "module/names.h"
#include "module/ref.h"

#include <initializer_list>

namespace qox {

// True when `obj` is the module's own function registered as `qualname`.
bool is_own_function(PyObject* obj, const char* qualname) noexcept;

// True when `obj` is exactly a bytes object holding the engine's S-box (or,
// for the second one, its inverse). Equal content gives equal results, so the
// objects bound at import need not be the ones found.
bool holds_engine_sbox(PyObject* obj) noexcept;
bool holds_engine_inv_sbox(PyObject* obj) noexcept;

// Looks up each name as a module global, in order, and checks that it holds
// the module's own function of that name. A failed lookup counts as "not
// pristine" and leaves no exception set: the general path that follows meets
// the same lookup at its written place and raises there.
bool own_functions_bound(std::initializer_list<const Name*> names) noexcept;

// Looks up the S-box global `name` and checks that it holds the engine's
// S-box (its inverse when `inverse`); like own_functions_bound, a failed
// lookup is "not pristine" and leaves no exception set.
bool engine_sbox_bound(const Name& name, bool inverse) noexcept;

}  // namespace qox
