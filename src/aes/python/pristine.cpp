// Whether a module global still holds what the engine can stand in for.
#include "aes/python/pristine.h"

#include "aes/field.h"
#include "module/function.h"
#include "module/state.h"

#include <cstring>

namespace qox {

namespace {

bool holds_bytes(PyObject* obj, const uint8_t* expected) {
  return PyBytes_CheckExact(obj) && PyBytes_GET_SIZE(obj) == 256 &&
         std::memcmp(PyBytes_AS_STRING(obj), expected, 256) == 0;
}

}  // namespace

bool is_own_function(PyObject* obj, const char* qualname) noexcept {
  const FnSpec* spec = find_spec(qualname);
  return spec != nullptr && is_function_of(obj, *spec);
}

bool holds_engine_sbox(PyObject* obj) noexcept {
  return holds_bytes(obj, aes::sboxes().sbox.data());
}

bool holds_engine_inv_sbox(PyObject* obj) noexcept {
  return holds_bytes(obj, aes::sboxes().inv.data());
}

bool own_functions_bound(std::initializer_list<const Name*> names) noexcept {
  for (const Name* name : names) {
    Ref found = lookup_global(*name);
    if (!found) {
      PyErr_Clear();
      return false;
    }
    if (!is_own_function(found.get(), name->text())) return false;
  }
  return true;
}

bool engine_sbox_bound(const Name& name, bool inverse) noexcept {
  Ref found = lookup_global(name);
  if (!found) {
    PyErr_Clear();
    return false;
  }
  return inverse ? holds_engine_inv_sbox(found.get()) : holds_engine_sbox(found.get());
}

}  // namespace qox
