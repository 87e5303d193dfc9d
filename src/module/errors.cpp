// Argument and result errors of the calling convention, each message written once.
#include "module/errors.h"

namespace qox {

PyObject* raise_argument_count(const char* func, bool exact, Py_ssize_t min, Py_ssize_t max,
                               Py_ssize_t given) noexcept {
  const bool too_few = given < min;
  const Py_ssize_t expected = too_few ? min : max;
  const char* bound = exact ? "exactly" : (too_few ? "at least" : "at most");
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func,
               bound, expected, expected == 1 ? "" : "s", given);
  return nullptr;
}

PyObject* raise_takes_no_arguments(const char* func, Py_ssize_t given) noexcept {
  PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", func, "takes no arguments", given);
  return nullptr;
}

PyObject* raise_takes_no_keywords(const char* func) noexcept {
  PyErr_Format(PyExc_TypeError, "%.200s() %s", func, "takes no keyword arguments");
  return nullptr;
}

PyObject* raise_unexpected_keyword(const char* func, PyObject* key) noexcept {
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
  return nullptr;
}

PyObject* raise_duplicate_keyword(const char* func, PyObject* key) noexcept {
  PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func, key);
  return nullptr;
}

PyObject* raise_keywords_not_strings(const char* func) noexcept {
  PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
  return nullptr;
}

PyObject* raise_argument_type(const char* param, PyTypeObject* expected, PyObject* arg) noexcept {
  const bool subclass = PyObject_TypeCheck(arg, expected);
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s", param,
               expected->tp_name, Py_TYPE(arg)->tp_name,
               subclass ? ". Note that arguments are checked strictly: instances "
                          "of subclasses of builtin types are rejected, so pass "
                          "the exact builtin type."
                        : "");
  return nullptr;
}

PyObject* raise_result_type(PyTypeObject* expected, PyObject* result) noexcept {
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected->tp_name,
               Py_TYPE(result)->tp_name);
  return nullptr;
}

Ref check_result_type(PyTypeObject* expected, Ref result) noexcept {
  PyObject* obj = result.get();
  if (expected == nullptr || obj == nullptr || obj == Py_None || Py_TYPE(obj) == expected) {
    return result;
  }
  raise_result_type(expected, obj);
  return Ref();
}

}  // namespace qox
