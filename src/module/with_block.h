// with_block: the `with manager as target:` statement for C++ bodies.
#pragma once

#include "module/call.h"
#include "module/handled.h"

namespace qox {

namespace with_names {
inline const Name kEnter("__enter__");
inline const Name kExit("__exit__");
}  // namespace with_names

// Runs `body(target)` between manager.__enter__() and manager.__exit__(...),
// as the statement does: __exit__ gets (None, None, None) after a body that
// returned, and the exception's type, value and traceback after one that
// failed, while that exception is being handled. The body's failure then
// propagates unchanged unless __exit__ raises (its exception propagates) or
// returns a true value (suppressed: the result is None). Returns the body's
// result, or nullptr with an exception set.
template <class Body>
Ref with_block(PyObject* manager, Body&& body) noexcept {
  Ref enter = get_attr(manager, with_names::kEnter);
  if (!enter) return Ref();
  Ref exit = get_attr(manager, with_names::kExit);
  if (!exit) return Ref();
  Ref target = call(enter.get(), {});
  if (!target) return Ref();

  Ref result = body(target.get());
  if (result) {
    Ref exited = call(exit.get(), {Py_None, Py_None, Py_None});
    if (!exited) return Ref();
    return result;
  }

  HandledException failure;
  PyObject* exception = failure.get();
  Ref traceback = Ref::steal(PyException_GetTraceback(exception));
  Ref suppress = call(exit.get(), {reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception,
                                   traceback ? traceback.get() : Py_None});
  if (!suppress) return Ref();
  const int truth = PyObject_IsTrue(suppress.get());
  if (truth < 0) return Ref();
  if (truth > 0) return Ref::borrow(Py_None);
  failure.reraise();
  return Ref();
}

}  // namespace qox
