// Short forms for the calls and attribute reads that the module's bodies make.
#pragma once

#include "module/names.h"
#include "module/ref.h"
#include "module/state.h"

#include <initializer_list>

namespace qox {

// `callable(*args)`; with `kwnames`, the last len(kwnames) items of `args`
// are passed as those keywords.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args,
                PyObject* kwnames = nullptr) noexcept {
  const Py_ssize_t n_keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  const auto n_positional = static_cast<Py_ssize_t>(args.size()) - n_keywords;
  return Ref::steal(
      PyObject_Vectorcall(callable, args.begin(), static_cast<size_t>(n_positional), kwnames));
}

// `obj.name`
inline Ref get_attr(PyObject* obj, const Name& name) noexcept {
  return Ref::steal(PyObject_GetAttr(obj, name.get()));
}

// `obj.name(*args)`, the attribute looked up at each call.
inline Ref call_method(PyObject* obj, const Name& name, std::initializer_list<PyObject*> args,
                       PyObject* kwnames = nullptr) noexcept {
  Ref method = get_attr(obj, name);
  if (!method) return Ref();
  return call(method.get(), args, kwnames);
}

// `global.name`, the module global looked up now.
inline Ref global_attr(const Name& global, const Name& name) noexcept {
  Ref owner = lookup_global(global);
  if (!owner) return Ref();
  return get_attr(owner.get(), name);
}

// A str built from a UTF-8 literal and the str() of `value`: the messages
// that carry a value ("prefix" + str(value)).
inline Ref text_with_value(const char* prefix, PyObject* value) noexcept {
  Ref head = Ref::steal(PyUnicode_FromString(prefix));
  Ref tail = Ref::steal(PyObject_Str(value));
  if (!head || !tail) return Ref();
  return Ref::steal(PyUnicode_Concat(head.get(), tail.get()));
}

// Raises `type` with the single argument `message`; always nullptr.
inline PyObject* raise_with(PyObject* type, Ref message) noexcept {
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

}  // namespace qox
