// The calling convention shared by every function and method of the module.
#include "module/errors.h"
#include "module/function_object.h"

#include <algorithm>

namespace qox {

namespace {

// The exact builtin type an annotation demands after conversion, if any.
PyTypeObject* exact_type_of(Kind kind) noexcept {
  switch (kind) {
    case Kind::bytes:
      return &PyBytes_Type;
    case Kind::str:
      return &PyUnicode_Type;
    case Kind::dict:
      return &PyDict_Type;
    case Kind::list:
      return &PyList_Type;
    default:
      return nullptr;
  }
}

bool same_name(PyObject* a, PyObject* b) noexcept {
  return a == b || (PyUnicode_Check(a) && PyUnicode_Check(b) && PyUnicode_Compare(a, b) == 0);
}

// Position of parameter `key` (by name), or -1. Interned names usually match
// by identity, so the equality pass rarely runs.
Py_ssize_t find_param(PyObject* param_names, PyObject* key) noexcept {
  const Py_ssize_t n = PyTuple_GET_SIZE(param_names);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (PyTuple_GET_ITEM(param_names, i) == key) return i;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (same_name(PyTuple_GET_ITEM(param_names, i), key)) return i;
  }
  return -1;
}

// The value passed for keyword `name`, or nullptr.
PyObject* find_keyword(PyObject* kwnames, PyObject* const* kwvalues, PyObject* name) noexcept {
  const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (PyTuple_GET_ITEM(kwnames, i) == name) return kwvalues[i];
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (same_name(PyTuple_GET_ITEM(kwnames, i), name)) return kwvalues[i];
  }
  return nullptr;
}

// Reports the first keyword, in call order, that names no parameter after the
// positional ones. False when there is none.
bool raise_bad_keyword(const FunctionObject* fn, PyObject* kwnames, Py_ssize_t nargs) noexcept {
  const char* func = fn->spec->name;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, i);
    if (!PyUnicode_Check(key)) return raise_keywords_not_strings(func), true;
    const Py_ssize_t index = find_param(fn->param_names, key);
    if (index >= nargs) continue;
    if (index >= 0) return raise_duplicate_keyword(func, key), true;
    return raise_unexpected_keyword(func, key), true;
  }
  return false;
}

}  // namespace

PyObject* call_function(PyObject* self, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) noexcept {
  auto* fn = reinterpret_cast<FunctionObject*>(self);
  const FunctionDescription& spec = *fn->spec;
  const auto n_params = static_cast<Py_ssize_t>(spec.params.size());
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  PyObject* values[kMaxParams] = {};

  // 1. Functions without parameters refuse keywords first, then positionals.
  if (n_params == 0) {
    if (nkw > 0) return raise_takes_no_keywords(spec.name);
    if (nargs > 0) return raise_takes_no_arguments(spec.name, nargs);
    return check_result_type(fn->result_type, Ref::steal(spec.impl(values))).release();
  }

  // 2. Positional count. Defaults (the current __defaults__) cover the last
  //    parameters; with none the count must be exact. The tuple is held for
  //    the whole call: a truth test, an int() conversion or the body may run
  //    Python code that rebinds __defaults__, and the values taken from the
  //    tuple must outlive that.
  const Ref defaults = Ref::borrow(fn->defaults);
  const Py_ssize_t n_defaults_given = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
  const Py_ssize_t n_defaults = std::min(n_defaults_given, n_params);
  const Py_ssize_t n_required = n_params - n_defaults;
  const bool exact = n_defaults == 0;
  if (nargs > n_params) {
    return raise_argument_count(spec.name, exact, n_required, n_params, nargs);
  }
  std::copy(args, args + nargs, values);

  // 3. Keywords fill the parameters after the positional ones. A required
  //    parameter still missing is reported before any keyword problem, with
  //    the number of parameters in front of it as the count given.
  Py_ssize_t matched = 0;
  for (Py_ssize_t i = nargs; i < n_params; ++i) {
    PyObject* value =
        nkw > 0 ? find_keyword(kwnames, args + nargs, PyTuple_GET_ITEM(fn->param_names, i))
                : nullptr;
    if (value != nullptr) {
      values[i] = value;
      ++matched;
    } else if (i < n_required) {
      return raise_argument_count(spec.name, exact, n_required, n_params, i);
    } else {
      values[i] = PyTuple_GET_ITEM(defaults.get(), n_defaults_given - (n_params - i));
    }
  }
  // 4. Every keyword must have named one of those parameters.
  if (matched < nkw && raise_bad_keyword(fn, kwnames, nargs)) return nullptr;

  // 5. Truth tests and int() conversions, in parameter order. A non-number
  //    for an int parameter fails here, before the exact-type checks.
  Ref converted[kMaxParams];
  for (Py_ssize_t i = 0; i < n_params; ++i) {
    const Param& param = spec.params.begin()[i];
    PyObject* value = values[i];
    if (param.kind == Kind::bool_) {
      const int truth = PyObject_IsTrue(value);
      if (truth < 0) return nullptr;
      values[i] = truth ? Py_True : Py_False;
    } else if (param.kind == Kind::int_ && !PyLong_CheckExact(value)) {
      if (!PyNumber_Check(value)) {
        return raise_argument_type(param.name, &PyLong_Type, value);
      }
      converted[i] = Ref::steal(PyNumber_Long(value));
      if (!converted[i]) return nullptr;
      values[i] = converted[i].get();
    }
  }

  // 6. Exact builtin types, in parameter order; None and subclasses fail.
  for (Py_ssize_t i = 0; i < n_params; ++i) {
    const Param& param = spec.params.begin()[i];
    PyTypeObject* expected = exact_type_of(param.kind);
    if (expected != nullptr && Py_TYPE(values[i]) != expected) {
      return raise_argument_type(param.name, expected, values[i]);
    }
  }

  // 7. The body, then the promised result type.
  return check_result_type(fn->result_type, Ref::steal(spec.impl(values))).release();
}

}  // namespace qox
