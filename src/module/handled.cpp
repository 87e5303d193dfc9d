// Taking, matching and restoring the handled exception, with __context__ set as Python does.
#include "module/handled.h"

namespace qox {

namespace {

// What an except clause accepts: an exception class or a tuple of them.
bool is_catchable(PyObject* cls) {
  if (!PyTuple_Check(cls)) return PyExceptionClass_Check(cls);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls); ++i) {
    if (!PyExceptionClass_Check(PyTuple_GET_ITEM(cls, i))) return false;
  }
  return true;
}

}  // namespace

HandledException::HandledException() noexcept {
  exception_ = Ref::steal(take_raised_exception());
  if (!exception_) {
    // A body failed without setting an exception: report that instead.
    PyErr_SetString(PyExc_SystemError, "error return without exception set");
    exception_ = Ref::steal(take_raised_exception());
  }
  previous_ = Ref::steal(get_handled_exception());
  set_handled_exception(exception_.get());
}

HandledException::~HandledException() { set_handled_exception(previous_.get()); }

int HandledException::matches(PyObject* cls) const noexcept {
  if (!is_catchable(cls)) {
    PyErr_SetString(PyExc_TypeError,
                    "catching classes that do not inherit from BaseException is not allowed");
    return -1;
  }
  return PyErr_GivenExceptionMatches(exception_.get(), cls);
}

PyObject* HandledException::reraise() noexcept {
  if (exception_) restore_raised_exception(Ref::borrow(exception_.get()).release());
  return nullptr;
}

}  // namespace qox
