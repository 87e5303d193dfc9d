// The identity and content checks: function descriptions by reference, S-boxes by their bytes.
#include "aes/pristine.h"

#include "engine/aes/field.h"
#include "module/state.h"

#include <cstring>

namespace qox {

namespace {

bool holds_bytes(PyObject* obj, const uint8_t* expected) {
  return PyBytes_CheckExact(obj) && PyBytes_GET_SIZE(obj) == 256 &&
         std::memcmp(PyBytes_AS_STRING(obj), expected, 256) == 0;
}

}  // namespace

bool holds_engine_sbox(PyObject* obj) noexcept {
  return holds_bytes(obj, aes::sboxes().sbox.data());
}

bool holds_engine_inv_sbox(PyObject* obj) noexcept {
  return holds_bytes(obj, aes::sboxes().inv.data());
}

bool own_functions_bound(std::initializer_list<OwnFunction> globals) noexcept {
  for (const OwnFunction& own : globals) {
    Ref found = lookup_global(own.global);
    if (!found) {
      PyErr_Clear();
      return false;
    }
    if (!is_function_of(found.get(), own.function)) return false;
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
