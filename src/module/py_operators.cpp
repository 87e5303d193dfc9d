// The operator helpers: exact int and bytes directly, anything else through the host's operators.
#include "module/py_operators.h"

#include <algorithm>
#include <cstring>

namespace qox {

Ref single_byte(PyObject* value) noexcept {
  if (PyLong_CheckExact(value)) {
    int overflow = 0;
    const long number = PyLong_AsLongAndOverflow(value, &overflow);
    if (overflow == 0 && number >= 0 && number <= 255) {
      const char byte = static_cast<char>(number);
      return Ref::steal(PyBytes_FromStringAndSize(&byte, 1));
    }
  }
  Ref list = Ref::steal(PyList_New(1));
  if (!list) return Ref();
  PyList_SET_ITEM(list.get(), 0, Ref::borrow(value).release());
  return Ref::steal(PyBytes_FromObject(list.get()));
}

Ref concatenate(std::initializer_list<PyObject*> parts) noexcept {
  Py_ssize_t total = 0;
  bool all_bytes = true;
  for (PyObject* part : parts) {
    if (!PyBytes_CheckExact(part)) {
      all_bytes = false;
      break;
    }
    if (PyBytes_GET_SIZE(part) > PY_SSIZE_T_MAX - total) {
      PyErr_NoMemory();
      return Ref();
    }
    total += PyBytes_GET_SIZE(part);
  }
  if (all_bytes) {
    Ref joined = Ref::steal(PyBytes_FromStringAndSize(nullptr, total));
    if (!joined) return Ref();
    char* out = PyBytes_AS_STRING(joined.get());
    for (PyObject* part : parts) {
      const auto size = static_cast<size_t>(PyBytes_GET_SIZE(part));
      std::memcpy(out, PyBytes_AS_STRING(part), size);
      out += size;
    }
    return joined;
  }
  Ref sum = Ref::borrow(*parts.begin());
  for (auto part = parts.begin() + 1; part != parts.end() && sum; ++part) {
    sum = Ref::steal(PyNumber_Add(sum.get(), *part));
  }
  return sum;
}

Ref bytes_slice(PyObject* data, Py_ssize_t start, Py_ssize_t stop) noexcept {
  const Py_ssize_t size = PyBytes_GET_SIZE(data);
  start = std::min(start, size);
  stop = std::max(start, std::min(stop, size));
  return Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(data) + start, stop - start));
}

int less_than(Py_ssize_t length, PyObject* limit) noexcept {
  if (PyLong_CheckExact(limit)) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(limit, &overflow);
    if (overflow != 0) return overflow > 0;
    return length < value;
  }
  Ref length_obj = Ref::steal(PyLong_FromSsize_t(length));
  return length_obj ? PyObject_RichCompareBool(length_obj.get(), limit, Py_LT) : -1;
}

int prefix_differs(PyObject* data, Py_ssize_t length, PyObject* expected) noexcept {
  const Py_ssize_t size = std::min(PyBytes_GET_SIZE(data), length);
  if (PyBytes_CheckExact(expected)) {
    return PyBytes_GET_SIZE(expected) != size ||
           std::memcmp(PyBytes_AS_STRING(expected), PyBytes_AS_STRING(data),
                       static_cast<size_t>(size)) != 0;
  }
  Ref magic = bytes_slice(data, 0, length);
  return magic ? PyObject_RichCompareBool(magic.get(), expected, Py_NE) : -1;
}

int int_differs(long value, PyObject* expected) noexcept {
  if (PyLong_CheckExact(expected)) {
    int overflow = 0;
    const long number = PyLong_AsLongAndOverflow(expected, &overflow);
    return overflow != 0 || number != value;
  }
  Ref value_obj = Ref::steal(PyLong_FromLong(value));
  return value_obj ? PyObject_RichCompareBool(value_obj.get(), expected, Py_NE) : -1;
}

int not_a_multiple(Py_ssize_t length, PyObject* block) noexcept {
  if (PyLong_CheckExact(block)) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(block, &overflow);
    if (overflow == 0 && value > 0) return length % value != 0;
  }
  // Zero, negative, huge or non-int divisors: the host's `%` and `!=`.
  Ref length_obj = Ref::steal(PyLong_FromSsize_t(length));
  Ref remainder = length_obj ? Ref::steal(PyNumber_Remainder(length_obj.get(), block)) : Ref();
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!remainder || !zero) return -1;
  return PyObject_RichCompareBool(remainder.get(), zero.get(), Py_NE);
}

}  // namespace qox
