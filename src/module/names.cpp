// The constant pool: registration and one-time creation of the interned names.
#include "module/names.h"

namespace qox {

namespace {
// Zero-initialised before any dynamic initialiser runs, so Names in other
// translation units can register in any order.
Name* registered_names = nullptr;
}  // namespace

Name::Name(const char* text) noexcept : text_(text), next_(registered_names) {
  registered_names = this;
}

bool create_constants() {
  for (Name* name = registered_names; name != nullptr; name = name->next_) {
    if (name->obj_ != nullptr) continue;
    name->obj_ = PyUnicode_InternFromString(name->text_);
    if (name->obj_ == nullptr) return false;
  }
  return true;
}

}  // namespace qox
