// define_class: the namespace filled in the class statement's order, then the host's type().
#include "module/classes.h"

#include "module/global_names.h"
#include "module/state.h"

namespace qox {

namespace {

const Name kModuleKey("__module__");
const Name kQualnameKey("__qualname__");
const Name kDocKey("__doc__");

bool set_item(PyObject* dict, PyObject* key, Ref value) {
  return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

Ref text_or_none(const char* text) {
  if (text == nullptr) return Ref::borrow(Py_None);
  return Ref::steal(PyUnicode_FromString(text));
}

// The function object for one method, wrapped when it is static.
Ref make_method(const ClassMethod& method, const FunctionDescription& description) {
  Ref function = make_function(description);
  if (!function || !method.is_static) return function;
  PyObject* staticmethod_type = process_state().staticmethod_type;
  return Ref::steal(PyObject_CallFunctionObjArgs(staticmethod_type, function.get(), nullptr));
}

// The class body's namespace, filled in the order the class statement would:
// the three dunders, the constants, then the methods.
Ref make_namespace(const ClassDescription& description, PyObject* class_name) {
  Ref ns = Ref::steal(PyDict_New());
  if (!ns) return Ref();
  if (!set_item(ns.get(), kModuleKey.get(), Ref::borrow(kModuleName.get())) ||
      !set_item(ns.get(), kQualnameKey.get(), Ref::borrow(class_name)) ||
      !set_item(ns.get(), kDocKey.get(), text_or_none(description.doc))) {
    return Ref();
  }
  for (const ClassConstant& constant : description.constants) {
    if (!set_item(ns.get(), constant.name->get(), constant.make())) return Ref();
  }
  for (const ClassMethod& method : description.methods) {
    const FunctionDescription* fn = method.function;
    // Keyed by the plain name; the function keeps its qualified name.
    Ref method_name = Ref::steal(PyUnicode_InternFromString(fn->name));
    if (!method_name || !set_item(ns.get(), method_name.get(), make_method(method, *fn))) {
      return Ref();
    }
  }
  return ns;
}

}  // namespace

bool define_class(const ClassDescription& description) noexcept {
  Ref class_name = Ref::steal(PyUnicode_InternFromString(description.name));
  if (!class_name) return false;
  Ref ns = make_namespace(description, class_name.get());
  Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  if (!ns || !bases) return false;
  // The host's own `type`, whatever the module dict or builtins hold.
  Ref cls = Ref::steal(PyObject_CallFunctionObjArgs(
      reinterpret_cast<PyObject*>(&PyType_Type), class_name.get(), bases.get(), ns.get(), nullptr));
  if (!cls) return false;
  return PyObject_SetAttr(process_state().module, class_name.get(), cls.get()) == 0;
}

}  // namespace qox
