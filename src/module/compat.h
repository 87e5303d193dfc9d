// Every difference between the supported CPython versions (3.8 to 3.15) in one place.
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
// 3.8's PyMODINIT_FUNC has no visibility attribute, and the build hides every
// symbol by default: the module entry must be marked for export explicitly.
// On Windows it already carries __declspec(dllexport).
#if defined(_WIN32)
#define QOX_MODINIT_FUNC PyMODINIT_FUNC
#else
#define QOX_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#endif
#else
#define QOX_MODINIT_FUNC PyMODINIT_FUNC
#endif

namespace qox {

// The raised exception, taken out of the error indicator: a new reference to
// the normalised instance with its traceback attached, or nullptr when no
// exception is set.
inline PyObject* take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

// Raises `exception` (stolen) again as it is: no chaining, traceback kept.
inline void restore_raised_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
  Py_INCREF(type);
  PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

// The exception being handled (what sys.exc_info() reports), as a new
// reference, or nullptr when there is none.
inline PyObject* get_handled_exception() {
#if PY_VERSION_HEX >= 0x030B0000
  return PyErr_GetHandledException();
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_GetExcInfo(&type, &value, &traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  if (value == Py_None) Py_CLEAR(value);
  return value;
#endif
}

// Makes `exception` (borrowed; nullptr for none) the exception being handled.
inline void set_handled_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030B0000
  PyErr_SetHandledException(exception);
#else
  if (exception == nullptr) {
    PyErr_SetExcInfo(nullptr, nullptr, nullptr);
    return;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
  Py_INCREF(type);
  Py_INCREF(exception);
  PyErr_SetExcInfo(type, exception, PyException_GetTraceback(exception));
#endif
}

// True when the caller's reference is the only one to `object`, so that it may
// be changed in place. The interpreter's own test knows how free-threaded
// builds count references; elsewhere it is a count of one.
inline bool is_uniquely_referenced(PyObject* object) {
#if PY_VERSION_HEX >= 0x030E0000
  return PyUnstable_Object_IsUniquelyReferenced(object) != 0;
#else
  return Py_REFCNT(object) == 1;
#endif
}

// The interpreter the calling thread runs in.
inline PyInterpreterState* current_interpreter() {
#if PY_VERSION_HEX < 0x03090000
  return PyThreadState_Get()->interp;
#else
  return PyInterpreterState_Get();
#endif
}

}  // namespace qox
