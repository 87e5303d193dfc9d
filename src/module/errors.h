// Argument and result errors of the calling convention; each sets the
// exception and returns nullptr, so callers can write `return raise_...(...)`.
#pragma once

#include "module/ref.h"

namespace qox {

// "f() takes exactly|at least|at most N positional argument(s) (M given)".
PyObject* raise_argument_count(const char* func, bool exact, Py_ssize_t min, Py_ssize_t max,
                               Py_ssize_t given) noexcept;
PyObject* raise_takes_no_arguments(const char* func, Py_ssize_t given) noexcept;
PyObject* raise_takes_no_keywords(const char* func) noexcept;
PyObject* raise_unexpected_keyword(const char* func, PyObject* key) noexcept;
PyObject* raise_duplicate_keyword(const char* func, PyObject* key) noexcept;
PyObject* raise_keywords_not_strings(const char* func) noexcept;

// "Argument 'p' has incorrect type (expected T, got U)", with a note when the
// argument's type is a subclass of T.
PyObject* raise_argument_type(const char* param, PyTypeObject* expected, PyObject* arg) noexcept;

// "Expected T, got U" for a result of the wrong type.
PyObject* raise_result_type(PyTypeObject* expected, PyObject* result) noexcept;

// Passes `result` on when it is None or exactly of type `expected`; otherwise
// drops it and raises the result error. A null `result` passes through, and
// so does anything when `expected` is null (an unchecked result).
Ref check_result_type(PyTypeObject* expected, Ref result) noexcept;

}  // namespace qox
