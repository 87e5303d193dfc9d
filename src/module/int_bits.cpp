// low_bits and the sign of an int: small ints read directly, larger ones masked by the host.
#include "module/int_bits.h"
#include "module/ref.h"

namespace qox {

bool low_bits(PyObject* value, uint64_t mask, uint64_t* out) noexcept {
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (small == -1 && PyErr_Occurred()) return false;
  if (overflow == 0) {
    *out = static_cast<uint64_t>(small) & mask;
    return true;
  }
  // Beyond 64 bits: let the interpreter apply the mask, which keeps the sign
  // rules of its unbounded integers.
  Ref mask_obj = Ref::steal(PyLong_FromUnsignedLongLong(mask));
  if (!mask_obj) return false;
  Ref masked = Ref::steal(PyNumber_And(value, mask_obj.get()));
  if (!masked) return false;
  *out = PyLong_AsUnsignedLongLong(masked.get());
  return !PyErr_Occurred();
}

int int_sign(PyObject* value) noexcept {
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow != 0) return overflow;
  return (small > 0) - (small < 0);
}

}  // namespace qox
