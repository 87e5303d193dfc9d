// Class descriptions and the import-time step that turns one into a class.
#pragma once

#include "module/function.h"
#include "module/names.h"
#include "module/ref.h"

#include <cstddef>
#include <initializer_list>

namespace qox {

// A constant of the class body: its name and the maker of its value, called
// once when the class is created.
struct ClassConstant {
  const Name* name;
  Ref (*make)() noexcept;
};

// A method of the class body, by its function description; `is_static` wraps
// the function in the host's staticmethod.
struct ClassMethod {
  const FunctionDescription* function;
  bool is_static;
};

// Static description of one class: the namespace is filled with __module__,
// __qualname__, __doc__, then the constants, then the methods, in the order
// given here.
struct ClassDescription {
  const char* name;
  const char* doc;  // nullptr: __doc__ is None
  std::initializer_list<ClassConstant> constants;
  std::initializer_list<ClassMethod> methods;
};

// `type(name, (object,), namespace)` for the described class, bound as the
// module global `name`. False with an exception set when a step fails.
bool define_class(const ClassDescription& description) noexcept;

}  // namespace qox
