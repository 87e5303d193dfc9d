// The function object: one Python type for every function and method of the module.
#pragma once

#include "module/ref.h"

#include <cstring>

namespace qox {

// What the calling convention does with an argument, derived from the
// parameter's annotation string.
enum class Kind : unsigned char {
  any,    // unannotated, "Any", "Union[str, bytes]", ...: accepted as is
  int_,   // "int": numbers are converted with int(), then exactly int
  bool_,  // "bool": the body sees the truth value
  bytes,  // "bytes": exactly bytes
  str,    // "str": exactly str
  dict,   // "Dict[str, Any]": exactly dict
  list,   // "List[int]": exactly list
};

constexpr bool same_text(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}

constexpr Kind kind_of(const char* annotation) {
  if (annotation == nullptr) return Kind::any;
  if (same_text(annotation, "int")) return Kind::int_;
  if (same_text(annotation, "bool")) return Kind::bool_;
  if (same_text(annotation, "bytes")) return Kind::bytes;
  if (same_text(annotation, "str")) return Kind::str;
  if (same_text(annotation, "Dict[str, Any]")) return Kind::dict;
  if (same_text(annotation, "List[int]")) return Kind::list;
  return Kind::any;
}

// The builtin type a return annotation promises, or nullptr when the result is
// not checked ("int", "Any", "Tuple[bytes, bytes]", "None", no annotation).
PyTypeObject* result_type_of(const char* annotation) noexcept;

enum class Default : unsigned char { required, true_value };

struct Param {
  // An unused slot of a ParamList.
  constexpr Param() : Param(nullptr) {}
  constexpr Param(const char* name, const char* annotation = nullptr,
                  Default default_value = Default::required)
      : name(name),
        annotation(annotation),
        kind(kind_of(annotation)),
        default_value(default_value) {}
  const char* name;
  const char* annotation;  // nullptr: unannotated
  Kind kind;
  Default default_value;
};

// The binder sizes its per-call arrays by this.
constexpr int kMaxParams = 8;

// A function's parameters in order. Written as a braced list of Params in
// the description tables: as an aggregate of kMaxParams slots, a list with
// more parameters than the binder has room for does not compile.
struct ParamList {
  Param slots[kMaxParams];

  size_t size() const noexcept {
    size_t n = 0;
    while (n < kMaxParams && slots[n].name != nullptr) ++n;
    return n;
  }
  const Param* begin() const noexcept { return slots; }
  const Param* end() const noexcept { return slots + size(); }
};

// The body of a function: receives the checked and converted arguments, one
// per parameter (self first for methods), and returns a new reference or
// nullptr with an exception set.
using Impl = PyObject* (*)(PyObject* const* args) noexcept;

// Static description of one function: a named constant next to the code that
// implements it. The import sequence defines the function from it, classes
// list their methods by it, and bodies recognise the module's own function by
// it (is_function_of), always by reference.
struct FunctionDescription {
  const char* name;
  const char* qualname;
  const char* doc;  // nullptr: __doc__ is None
  ParamList params;
  const char* return_annotation;  // nullptr: none
  Impl impl;
};

// Creates a function object for `spec`; nullptr with an exception on failure.
Ref make_function(const FunctionDescription& spec) noexcept;

// True when `obj` is a function object made from `spec`. Function objects
// cannot be created from Python, so this is how a body recognises that a
// module global still holds the module's own function.
bool is_function_of(PyObject* obj, const FunctionDescription& spec) noexcept;

// Readies the type; called once per process before any function is made.
bool ready_function_type() noexcept;

}  // namespace qox
