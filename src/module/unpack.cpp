// unpack_exact: iterates as Python's unpacking does and raises its messages.
#include "module/unpack.h"

namespace qox {

namespace {

bool raise_too_many(Py_ssize_t expected) {
  PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
  return false;
}

bool raise_need_more(Py_ssize_t found) {
  PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
               found == 1 ? "" : "s");
  return false;
}

}  // namespace

bool unpack_exact(PyObject* iterable, Ref* out, Py_ssize_t count) noexcept {
  // Tuples and lists: sized, so the count is known before any item is taken.
  if (PyTuple_CheckExact(iterable) || PyList_CheckExact(iterable)) {
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(iterable);
    if (size > count) return raise_too_many(count);
    if (size < count) return raise_need_more(size);
    PyObject** items = PySequence_Fast_ITEMS(iterable);
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = Ref::borrow(items[i]);
    return true;
  }
  Ref iterator = Ref::steal(PyObject_GetIter(iterable));
  if (!iterator) return false;
  for (Py_ssize_t i = 0; i < count; ++i) {
    out[i] = Ref::steal(PyIter_Next(iterator.get()));
    if (!out[i]) return PyErr_Occurred() ? false : raise_need_more(i);
  }
  Ref extra = Ref::steal(PyIter_Next(iterator.get()));
  if (extra) return raise_too_many(count);
  return !PyErr_Occurred();
}

}  // namespace qox
