// The function object's type: attributes, method binding, garbage collection.
#include "module/function_object.h"
#include "module/global_names.h"
#include "module/names.h"

#include <cstddef>

namespace qox {

namespace {

const Name kReturn("return");
const Name kInspect("inspect");
const Name kParameter("Parameter");
const Name kSignature("Signature");
const Name kPositionalOrKeyword("POSITIONAL_OR_KEYWORD");
const Name kDefault("default");
const Name kAnnotation("annotation");
const Name kReturnAnnotation("return_annotation");

// A static type works unchanged on every supported version; its slots are
// filled in by ready_function_type().
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// Replaces an owned attribute slot with a new reference to `value`.
void replace_slot(PyObject** slot, PyObject* value) {
  PyObject* old = *slot;
  Py_XINCREF(value);
  *slot = value;
  Py_XDECREF(old);
}

PyObject* none_if_null(PyObject* obj) {
  if (obj == nullptr) obj = Py_None;
  Py_INCREF(obj);
  return obj;
}

// --- attributes -----------------------------------------------------------

int set_str_slot(PyObject** slot, PyObject* value, const char* message) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  replace_slot(slot, value);
  return 0;
}

PyObject* get_name(PyObject* self, void*) { return none_if_null(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
  return set_str_slot(&as_function(self)->name, value, "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* self, void*) { return none_if_null(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_str_slot(&as_function(self)->qualname, value,
                      "__qualname__ must be set to a string object");
}

PyObject* get_module(PyObject* self, void*) { return none_if_null(as_function(self)->module); }
int set_module(PyObject* self, PyObject* value, void*) {
  replace_slot(&as_function(self)->module, value);
  return 0;
}

PyObject* get_doc(PyObject* self, void*) { return none_if_null(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
  replace_slot(&as_function(self)->doc, value);
  return 0;
}

PyObject* get_defaults(PyObject* self, void*) { return none_if_null(as_function(self)->defaults); }
int set_defaults(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  replace_slot(&as_function(self)->defaults, value);
  return 0;
}

// {"param": "annotation", ..., "return": "annotation"} from the description.
Ref make_annotations(const FunctionDescription& spec) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return Ref();
  for (const Param& param : spec.params) {
    if (param.annotation == nullptr) continue;
    Ref text = Ref::steal(PyUnicode_FromString(param.annotation));
    if (!text || PyDict_SetItemString(dict.get(), param.name, text.get()) < 0) return Ref();
  }
  if (spec.return_annotation != nullptr) {
    Ref text = Ref::steal(PyUnicode_FromString(spec.return_annotation));
    if (!text || PyDict_SetItem(dict.get(), kReturn.get(), text.get()) < 0) return Ref();
  }
  return dict;
}

PyObject* get_annotations(PyObject* self, void*) {
  FunctionObject* fn = as_function(self);
  if (fn->annotations == nullptr) {
    fn->annotations = make_annotations(*fn->spec).release();
    if (fn->annotations == nullptr) return nullptr;
  }
  Py_INCREF(fn->annotations);
  return fn->annotations;
}
int set_annotations(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  replace_slot(&as_function(self)->annotations, value);
  return 0;
}

#if PY_VERSION_HEX >= 0x030E0000
// From 3.14 on, functools.wraps and annotationlib reach a function's
// annotations through __annotate__(format). As a compiled function's does, it
// answers the VALUE format with a new dict (here a copy of __annotations__)
// and raises NotImplementedError for the others, which annotationlib then
// derives from VALUE.
constexpr long kAnnotationFormatValue = 1;

PyObject* annotate(PyObject* self, PyObject* format) {
  const long value = PyLong_AsLong(format);
  if (value == -1 && PyErr_Occurred()) return nullptr;
  if (value != kAnnotationFormatValue) {
    PyErr_SetNone(PyExc_NotImplementedError);
    return nullptr;
  }
  Ref annotations = Ref::steal(get_annotations(self, nullptr));
  return annotations ? PyDict_Copy(annotations.get()) : nullptr;
}
PyMethodDef annotate_method = {"__annotate__", annotate, METH_O, nullptr};

PyObject* get_annotate(PyObject* self, void*) { return PyCFunction_New(&annotate_method, self); }
// functools.wraps with this function as the wrapper sets __annotate__: the
// annotations it gives are taken at once; None leaves them as they are.
int set_annotate(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) return 0;
  if (value == nullptr || !PyCallable_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
    return -1;
  }
  Ref format = Ref::steal(PyLong_FromLong(kAnnotationFormatValue));
  Ref annotations = format ? Ref::steal(PyObject_CallOneArg(value, format.get())) : Ref();
  return annotations ? set_annotations(self, annotations.get(), nullptr) : -1;
}
#endif

// inspect.Signature built from the current __defaults__ and __annotations__,
// so that inspect.signature() and help() show the real parameters.
PyObject* get_signature(PyObject* self, void*) {
  FunctionObject* fn = as_function(self);
  Ref annotations = Ref::steal(get_annotations(self, nullptr));
  Ref inspect = Ref::steal(PyImport_Import(kInspect.get()));
  if (!annotations || !inspect) return nullptr;
  Ref parameter = Ref::steal(PyObject_GetAttr(inspect.get(), kParameter.get()));
  Ref signature = Ref::steal(PyObject_GetAttr(inspect.get(), kSignature.get()));
  if (!parameter || !signature) return nullptr;
  Ref kind = Ref::steal(PyObject_GetAttr(parameter.get(), kPositionalOrKeyword.get()));
  const Py_ssize_t n_params = PyTuple_GET_SIZE(fn->param_names);
  Ref params = Ref::steal(PyList_New(0));
  if (!kind || !params) return nullptr;
  // Held: building a Parameter runs Python code, which may rebind __defaults__.
  const Ref defaults = Ref::borrow(fn->defaults);
  const Py_ssize_t n_defaults = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
  for (Py_ssize_t i = 0; i < n_params; ++i) {
    PyObject* name = PyTuple_GET_ITEM(fn->param_names, i);
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return nullptr;
    PyObject* annotation = PyDict_GetItemWithError(annotations.get(), name);
    if (annotation == nullptr && PyErr_Occurred()) return nullptr;
    if (annotation != nullptr && PyDict_SetItem(kwargs.get(), kAnnotation.get(), annotation) < 0) {
      return nullptr;
    }
    const Py_ssize_t default_index = n_defaults - (n_params - i);
    if (default_index >= 0 && PyDict_SetItem(kwargs.get(), kDefault.get(),
                                             PyTuple_GET_ITEM(defaults.get(), default_index)) < 0) {
      return nullptr;
    }
    Ref args = Ref::steal(PyTuple_Pack(2, name, kind.get()));
    if (!args) return nullptr;
    Ref param = Ref::steal(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
    if (!param || PyList_Append(params.get(), param.get()) < 0) return nullptr;
  }
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs) return nullptr;
  PyObject* returns = PyDict_GetItemWithError(annotations.get(), kReturn.get());
  if (returns == nullptr && PyErr_Occurred()) return nullptr;
  if (returns != nullptr && PyDict_SetItem(kwargs.get(), kReturnAnnotation.get(), returns) < 0) {
    return nullptr;
  }
  Ref args = Ref::steal(PyTuple_Pack(1, params.get()));
  if (!args) return nullptr;
  return PyObject_Call(signature.get(), args.get(), kwargs.get());
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030E0000
    {"__annotate__", get_annotate, set_annotate, nullptr, nullptr},
#endif
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- protocol slots -------------------------------------------------------

PyObject* function_repr(PyObject* self) {
  PyObject* qualname = as_function(self)->qualname;
  return PyUnicode_FromFormat("<function %S at %p>", qualname ? qualname : Py_None, self);
}

// Stored in a class, a function binds to the instance like a Python function.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* fn = as_function(self);
  Py_VISIT(fn->param_names);
  Py_VISIT(fn->name);
  Py_VISIT(fn->qualname);
  Py_VISIT(fn->module);
  Py_VISIT(fn->doc);
  Py_VISIT(fn->defaults);
  Py_VISIT(fn->annotations);
  Py_VISIT(fn->dict);
  return 0;
}

int function_clear(PyObject* self) {
  FunctionObject* fn = as_function(self);
  Py_CLEAR(fn->param_names);
  Py_CLEAR(fn->name);
  Py_CLEAR(fn->qualname);
  Py_CLEAR(fn->module);
  Py_CLEAR(fn->doc);
  Py_CLEAR(fn->defaults);
  Py_CLEAR(fn->annotations);
  Py_CLEAR(fn->dict);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  PyObject_GC_Del(self);
}

// A tuple of the defaults given in the description (they cover the trailing
// parameters), or nullptr when every parameter is required.
Ref make_defaults(const FunctionDescription& spec, bool* failed) {
  Ref defaults;
  Py_ssize_t count = 0;
  for (const Param& param : spec.params) count += param.default_value != Default::required;
  *failed = false;
  if (count == 0) return defaults;
  defaults = Ref::steal(PyTuple_New(count));
  if (!defaults) return *failed = true, Ref();
  Py_ssize_t index = 0;
  for (const Param& param : spec.params) {
    if (param.default_value == Default::true_value) {
      Py_INCREF(Py_True);
      PyTuple_SET_ITEM(defaults.get(), index++, Py_True);
    }
  }
  return defaults;
}

Ref make_param_names(const FunctionDescription& spec) {
  Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(spec.params.size())));
  if (!names) return Ref();
  Py_ssize_t index = 0;
  for (const Param& param : spec.params) {
    PyObject* name = PyUnicode_InternFromString(param.name);
    if (name == nullptr) return Ref();
    PyTuple_SET_ITEM(names.get(), index++, name);
  }
  return names;
}

Ref text_or_none(const char* text) {
  if (text == nullptr) return Ref::borrow(Py_None);
  return Ref::steal(PyUnicode_FromString(text));
}

}  // namespace

PyTypeObject* result_type_of(const char* annotation) noexcept {
  if (annotation == nullptr) return nullptr;
  if (same_text(annotation, "bytes")) return &PyBytes_Type;
  if (same_text(annotation, "str")) return &PyUnicode_Type;
  if (same_text(annotation, "Tuple[tuple, tuple]")) return &PyTuple_Type;
  if (same_text(annotation, "Dict[str, Any]")) return &PyDict_Type;
  return nullptr;
}

bool ready_function_type() noexcept {
  if (function_type.tp_flags & Py_TPFLAGS_READY) return true;
  function_type.tp_name = "qoxcrypto.crypto.function";
  function_type.tp_basicsize = sizeof(FunctionObject);
  function_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                           Py_TPFLAGS_METHOD_DESCRIPTOR;
  function_type.tp_dealloc = function_dealloc;
  function_type.tp_repr = function_repr;
  function_type.tp_call = PyVectorcall_Call;
  function_type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  function_type.tp_traverse = function_traverse;
  function_type.tp_clear = function_clear;
  function_type.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
  function_type.tp_getset = function_getset;
  function_type.tp_descr_get = function_descr_get;
  function_type.tp_dictoffset = offsetof(FunctionObject, dict);
  return PyType_Ready(&function_type) == 0;
}

Ref make_function(const FunctionDescription& spec) noexcept {
  bool defaults_failed = false;
  Ref param_names = make_param_names(spec);
  Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
  Ref qualname = Ref::steal(PyUnicode_FromString(spec.qualname));
  Ref doc = text_or_none(spec.doc);
  Ref defaults = make_defaults(spec, &defaults_failed);
  if (!param_names || !name || !qualname || !doc || defaults_failed) return Ref();

  FunctionObject* fn = PyObject_GC_New(FunctionObject, &function_type);
  if (fn == nullptr) return Ref();
  fn->vectorcall = call_function;
  fn->spec = &spec;
  fn->result_type = result_type_of(spec.return_annotation);
  fn->param_names = param_names.release();
  fn->name = name.release();
  fn->qualname = qualname.release();
  fn->module = Ref::borrow(kModuleName.get()).release();
  fn->doc = doc.release();
  fn->defaults = defaults.release();
  fn->annotations = nullptr;
  fn->dict = nullptr;
  fn->weakrefs = nullptr;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(fn));
  return Ref::steal(reinterpret_cast<PyObject*>(fn));
}

bool is_function_of(PyObject* obj, const FunctionDescription& spec) noexcept {
  return Py_TYPE(obj) == &function_type && as_function(obj)->spec == &spec;
}

}  // namespace qox
