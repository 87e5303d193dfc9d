// Layout of the function object, shared by its type and by the argument binder.
#pragma once

#include "module/function.h"

namespace qox {

struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  const FunctionDescription* spec;
  PyTypeObject* result_type;  // checked return type, or nullptr
  PyObject* param_names;      // tuple of interned str, in parameter order
  PyObject* name;             // str
  PyObject* qualname;         // str
  PyObject* module;           // any object; "qoxcrypto.crypto" at creation
  PyObject* doc;              // any object
  PyObject* defaults;         // tuple or nullptr (None)
  PyObject* annotations;      // dict, or nullptr until first read
  PyObject* dict;             // instance __dict__, made on demand
  PyObject* weakrefs;
};

// The whole calling convention: binds, converts and checks the arguments,
// runs the body and checks its result.
PyObject* call_function(PyObject* self, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) noexcept;

}  // namespace qox
