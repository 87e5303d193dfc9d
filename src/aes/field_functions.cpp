// Python face of the field arithmetic: _xtime, _mul, _build_sbox, _ror8.
//
// The arguments are unbounded Python ints, so each body reproduces what the
// Python definition's integer expressions give for any value: only the low bits that the
// final mask keeps are taken from the argument.
#include "engine/aes/field.h"
#include "aes/functions.h"
#include "module/global_names.h"
#include "module/int_bits.h"
#include "module/state.h"

namespace qox {

namespace {

const Name kBitLength("bit_length");
const Name kToBytes("to_bytes");
const Name kLittle("little");

PyObject* xtime_impl(PyObject* const* args) noexcept {
  uint64_t low = 0;
  if (!low_bits(args[0], 0xFF, &low)) return nullptr;
  return PyLong_FromLong(aes::xtime(static_cast<uint8_t>(low)));
}

// The bytes of a non-negative int, least significant first. Up to 64 bits
// they are taken from the value itself; wider ints go through int.to_bytes,
// whose result `holder` keeps alive. No C++ allocation: a huge `b` fails with
// the host's MemoryError, not an exception the interpreter cannot take.
struct LittleEndianBytes {
  uint8_t small[8];
  Ref holder;
  const uint8_t* data = small;
  size_t size = 0;
};

bool little_endian_bytes(PyObject* value, LittleEndianBytes* out) {
  const unsigned long long small_value = PyLong_AsUnsignedLongLong(value);
  if (small_value != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) {
    for (unsigned long long rest = small_value; rest != 0; rest >>= 8) {
      out->small[out->size++] = static_cast<uint8_t>(rest);
    }
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
  PyErr_Clear();
  Ref bit_length = Ref::steal(PyObject_CallMethodObjArgs(value, kBitLength.get(), nullptr));
  if (!bit_length) return false;
  const Py_ssize_t bits = PyLong_AsSsize_t(bit_length.get());
  if (bits < 0) return false;
  Ref length = Ref::steal(PyLong_FromSsize_t((bits + 7) / 8));
  if (!length) return false;
  out->holder = Ref::steal(
      PyObject_CallMethodObjArgs(value, kToBytes.get(), length.get(), kLittle.get(), nullptr));
  if (!out->holder) return false;
  out->data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(out->holder.get()));
  out->size = static_cast<size_t>(PyBytes_GET_SIZE(out->holder.get()));
  return true;
}

// a XOR small, for an unbounded int a.
PyObject* xor_small(PyObject* a, uint8_t small) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(a, &overflow);
  if (overflow == 0) return PyLong_FromLongLong(value ^ small);
  Ref small_obj = Ref::steal(PyLong_FromLong(small));
  return small_obj ? PyNumber_Xor(a, small_obj.get()) : nullptr;
}

// The loop with the module's own _xtime: after the first step `a` is a byte,
// so everything past bit 0 of b is field arithmetic on bytes.
PyObject* mul_with_own_xtime(PyObject* a, PyObject* b) {
  uint64_t low_a = 0;
  if (!low_bits(a, 0xFF, &low_a)) return nullptr;
  LittleEndianBytes b_bytes;
  if (!little_endian_bytes(b, &b_bytes)) return nullptr;
  uint8_t shifted = aes::xtime(static_cast<uint8_t>(low_a));  // a after one step
  uint8_t high_part = 0;                                      // XOR of the terms for bits 1 and up
  for (size_t byte = 0; byte < b_bytes.size; ++byte) {
    for (int bit = byte == 0 ? 1 : 0; bit < 8; ++bit) {
      if (b_bytes.data[byte] >> bit & 1) high_part ^= shifted;
      shifted = aes::xtime(shifted);
    }
  }
  const bool odd = b_bytes.size != 0 && (b_bytes.data[0] & 1);
  return odd ? xor_small(a, high_part) : PyLong_FromLong(high_part);
}

// The Python definition's loop, for an _xtime rebound to another object.
PyObject* mul_with_global_xtime(PyObject* a, PyObject* b) {
  Ref one = Ref::steal(PyLong_FromLong(1));
  Ref r = Ref::steal(PyLong_FromLong(0));
  if (!one || !r) return nullptr;
  Ref x = Ref::borrow(a);
  Ref rest = Ref::borrow(b);
  for (;;) {
    const int more = PyObject_IsTrue(rest.get());
    if (more <= 0) return more < 0 ? nullptr : r.release();
    Ref bit = Ref::steal(PyNumber_And(rest.get(), one.get()));
    const int set = bit ? PyObject_IsTrue(bit.get()) : -1;
    if (set < 0) return nullptr;
    if (set) {
      r = Ref::steal(PyNumber_Xor(r.get(), x.get()));
      if (!r) return nullptr;
    }
    Ref xtime = lookup_global(kXtime);
    if (!xtime) return nullptr;
    PyObject* call_args[] = {x.get()};
    x = Ref::steal(PyObject_Vectorcall(xtime.get(), call_args, 1, nullptr));
    if (!x) return nullptr;
    rest = Ref::steal(PyNumber_Rshift(rest.get(), one.get()));
    if (!rest) return nullptr;
  }
}

PyObject* mul_impl(PyObject* const* args) noexcept {
  PyObject* a = args[0];
  PyObject* b = args[1];
  const int sign = int_sign(b);
  // Shifting a negative b right never reaches zero: refuse it instead of
  // looping for ever.
  if (sign < 0) {
    PyErr_SetString(PyExc_ValueError, "_mul() argument 'b' must be non-negative");
    return nullptr;
  }
  if (sign == 0) return PyLong_FromLong(0);
  Ref xtime = lookup_global(kXtime);
  if (!xtime) return nullptr;
  if (is_function_of(xtime.get(), kXtimeFunction)) return mul_with_own_xtime(a, b);
  return mul_with_global_xtime(a, b);
}

PyObject* build_sbox_impl(PyObject* const*) noexcept {
  const aes::SBoxes& boxes = aes::sboxes();
  Ref sbox =
      Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(boxes.sbox.data()), 256));
  Ref inv =
      Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(boxes.inv.data()), 256));
  if (!sbox || !inv) return nullptr;
  return PyTuple_Pack(2, sbox.get(), inv.get());
}

// ((w >> 8) | (w << 24)) & 0xFFFFFFFF only reads bits 0 to 39 of w.
PyObject* ror8_impl(PyObject* const* args) noexcept {
  uint64_t low = 0;
  if (!low_bits(args[0], (uint64_t{1} << 40) - 1, &low)) return nullptr;
  return PyLong_FromUnsignedLong(
      static_cast<unsigned long>(((low >> 8) | ((low & 0xFF) << 24)) & 0xFFFFFFFFu));
}

}  // namespace

const FunctionDescription kXtimeFunction = {
    "_xtime", "_xtime", "GF(2^8) 上乘以 0x02", {Param("a", "int")}, "int", xtime_impl,
};
const FunctionDescription kMulFunction = {
    "_mul", "_mul", "GF(2^8) 乘法", {Param("a", "int"), Param("b", "int")}, "int", mul_impl,
};
// clang-format off
const FunctionDescription kBuildSboxFunction = {
    "_build_sbox",
    "_build_sbox",
    "生成 AES S 盒与其逆盒（乘法逆元 + 仿射变换）",
    {},
    "Tuple[bytes, bytes]",
    build_sbox_impl,
};
// clang-format on
const FunctionDescription kRor8Function = {
    "_ror8", "_ror8", nullptr, {Param("w", "int")}, "int", ror8_impl,
};

}  // namespace qox
