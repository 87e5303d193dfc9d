// The constant pool: interned names and texts, created once when the module executes.
#pragma once

#include "module/compat.h"

namespace qox {

// A str constant at namespace scope: the module's globals and every text more
// than one file uses are in the pool of global_names.h, any other text is
// declared next to the only code that uses it.
// Every Name registers itself at static-initialisation time; create_constants()
// makes the interned str objects during module execution, and they live for
// the rest of the process (the module has no cleanup).
class Name {
 public:
  explicit Name(const char* text) noexcept;
  Name(const Name&) = delete;
  Name& operator=(const Name&) = delete;

  // Borrowed; valid once create_constants() has succeeded.
  PyObject* get() const noexcept { return obj_; }
  const char* text() const noexcept { return text_; }

 private:
  friend bool create_constants();
  const char* text_;
  PyObject* obj_ = nullptr;
  Name* next_;
};

// Interns every registered Name that does not exist yet. False with an
// exception set on failure; a later call completes the rest.
bool create_constants();

}  // namespace qox
