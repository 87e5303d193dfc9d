// Every difference between the supported CPython versions (3.8 to 3.13) in one place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x03090000
// 3.8 ships the vectorcall protocol under provisional, underscore-prefixed names.
#define PyObject_Vectorcall _PyObject_Vectorcall
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
inline PyObject* PyObject_CallNoArgs(PyObject* callable) {
  return _PyObject_Vectorcall(callable, nullptr, 0, nullptr);
}
#endif

// The module entry must stay visible although the build hides every other
// symbol; 3.8's PyMODINIT_FUNC does not say so itself.
#define QOX_MODULE_ENTRY extern "C" __attribute__((visibility("default"))) PyObject*

namespace qox {

// The interpreter the calling thread runs in.
inline PyInterpreterState* current_interpreter() {
#if PY_VERSION_HEX < 0x03090000
  return PyThreadState_Get()->interp;
#else
  return PyInterpreterState_Get();
#endif
}

}  // namespace qox
