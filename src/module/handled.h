// HandledException: an `except` block for C++ bodies, with Python's implicit chaining.
#pragma once

#include "module/ref.h"

namespace qox {

// Takes the pending exception and makes it the one being handled until the
// object goes out of scope, as entering `except ...:` does. An exception
// raised meanwhile (by the host, by Python code called from here or by this
// module) gets it as __context__, exactly as a raise inside the except block
// would; the previously handled exception comes back at scope exit.
class HandledException {
 public:
  HandledException() noexcept;
  ~HandledException();
  HandledException(const HandledException&) = delete;
  HandledException& operator=(const HandledException&) = delete;

  PyObject* get() const noexcept { return exception_.get(); }

  // `except cls:` with `cls` an exception class or a tuple of them: 1 when
  // the exception is an instance, 0 when not, -1 with the host's TypeError
  // when `cls` holds something that is not an exception class.
  int matches(PyObject* cls) const noexcept;

  // A bare `raise`: the exception propagates unchanged. Returns nullptr so
  // that bodies can `return handled.reraise();`.
  PyObject* reraise() noexcept;

 private:
  Ref exception_;
  Ref previous_;
};

}  // namespace qox
