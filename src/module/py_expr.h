// Python operators on Python objects, evaluated left to right as a function body would.
//
// The general paths (taken when a module global the engine stands in for was
// rebound) compute with whatever objects they find. A chain such as
//   PyExpr::of(s2).shl(24).bor(PyExpr::of(s).shl(16))
// evaluates in Python's order: C++17 sequences the object of a member call
// before its arguments. After the first failure every later step is skipped,
// so a whole expression is checked once, at take().
#pragma once

#include "module/names.h"
#include "module/ref.h"
#include "module/state.h"

#include <cstdint>
#include <initializer_list>
#include <utility>

namespace qox {

class PyExpr {
 public:
  explicit PyExpr(Ref value) noexcept : value_(std::move(value)) {}
  static PyExpr of(PyObject* obj) noexcept { return PyExpr(Ref::borrow(obj)); }

  // `name(args...)` with the function looked up as a module global at this point.
  static PyExpr call(const Name& name, std::initializer_list<PyObject*> args) noexcept {
    if (PyErr_Occurred()) return PyExpr(Ref());
    Ref function = lookup_global(name);
    if (!function) return PyExpr(Ref());
    return PyExpr(
        Ref::steal(PyObject_Vectorcall(function.get(), args.begin(), args.size(), nullptr)));
  }

  // Integer operands are 64-bit: C long is 32 bits on Windows, where a
  // 32-bit mask such as 0xFFFFFFFF would arrive as -1.
  PyExpr&& shl(int64_t count) && noexcept { return with_long(PyNumber_Lshift, count); }
  PyExpr&& shr(int64_t count) && noexcept { return with_long(PyNumber_Rshift, count); }
  PyExpr&& band(int64_t mask) && noexcept { return with_long(PyNumber_And, mask); }
  PyExpr&& bxor_long(int64_t value) && noexcept { return with_long(PyNumber_Xor, value); }
  PyExpr&& bor(PyExpr&& rhs) && noexcept { return with(PyNumber_Or, rhs.value_.get()); }
  PyExpr&& bxor(PyExpr&& rhs) && noexcept { return with(PyNumber_Xor, rhs.value_.get()); }
  // `obj[self]`: this value used as an index into `container`.
  PyExpr&& index_into(PyObject* container) && noexcept {
    if (usable()) value_ = Ref::steal(PyObject_GetItem(container, value_.get()));
    return std::move(*this);
  }

  // The value, or a null Ref with the first failure's exception set.
  Ref take() && noexcept { return std::move(value_); }

 private:
  // False (and the value dropped) once anything in the expression has failed.
  bool usable() noexcept {
    if (value_ && !PyErr_Occurred()) return true;
    value_ = Ref();
    return false;
  }
  PyExpr&& with(binaryfunc op, PyObject* rhs) noexcept {
    if (usable() && rhs != nullptr) {
      value_ = Ref::steal(op(value_.get(), rhs));
    } else {
      value_ = Ref();
    }
    return std::move(*this);
  }
  PyExpr&& with_long(binaryfunc op, int64_t rhs) noexcept {
    if (!usable()) return std::move(*this);
    Ref rhs_obj = Ref::steal(PyLong_FromLongLong(rhs));
    return with(op, rhs_obj.get());
  }

  Ref value_;
};

}  // namespace qox
