// The function object: its type, binding to instances, introspection. Calls: function_call.cpp.
#include <string>
#include <utility>

#include "internal.hpp"
#include "pyrt/call.hpp"
#include "pyrt/compat.hpp"
#include "pyrt/text.hpp"

namespace pyrt {

namespace {

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
  if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, instance);
}

int function_traverse(PyObject* self_object, visitproc visit, void* arg) noexcept {
  FunctionObject* self = as_function(self_object);
  Py_VISIT(Py_TYPE(self_object));
  Py_VISIT(self->f.name.get());
  Py_VISIT(self->f.qualname.get());
  Py_VISIT(self->f.module.get());
  Py_VISIT(self->f.doc.get());
  Py_VISIT(self->f.annotations.get());
  Py_VISIT(self->f.annotate.get());
  Py_VISIT(self->f.globals.get());
  Py_VISIT(self->f.builtins.get());
  Py_VISIT(self->f.type_params.get());
  Py_VISIT(self->f.code.get());
  Py_VISIT(self->f.param_names.get());
  return PyObject_VisitManagedDict(self_object, visit, arg);
}

int function_clear(PyObject* self_object) noexcept {
  FunctionObject* self = as_function(self_object);
  PyObject_ClearManagedDict(self_object);
  self->f.module.reset();
  self->f.doc.reset();
  self->f.annotations.reset();
  self->f.annotate.reset();
  self->f.globals.reset();
  self->f.builtins.reset();
  self->f.type_params.reset();
  self->f.code.reset();
  return 0;
}

void function_dealloc(PyObject* self_object) noexcept {
  FunctionObject* self = as_function(self_object);
  PyObject_GC_UnTrack(self_object);
  PyObject_ClearWeakRefs(self_object);
  PyObject_ClearManagedDict(self_object);
  self->f.~FunctionFields();
  PyTypeObject* type = Py_TYPE(self_object);
  type->tp_free(self_object);
  Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) noexcept {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->f.qualname.get(), self);
}

PyObject* get_ref(const Ref& field) {
  return Py_NewRef(field ? field.get() : Py_None);
}

PyObject* get_name(PyObject* self, void*) noexcept {
  return get_ref(as_function(self)->f.name);
}
PyObject* get_qualname(PyObject* self, void*) noexcept {
  return get_ref(as_function(self)->f.qualname);
}
PyObject* get_module(PyObject* self, void*) noexcept {
  return get_ref(as_function(self)->f.module);
}
PyObject* get_doc(PyObject* self, void*) noexcept {
  return get_ref(as_function(self)->f.doc);
}
// The string annotations the spec gives, as a new dict.
Ref spec_annotations(FunctionObject* function) {
  const FunctionSpec& spec = *function->f.spec;
  Ref annotations = require(PyDict_New());
  for (std::size_t i = 0; i < spec.params.size(); ++i) {
    if (spec.params[i].annotation != nullptr) {
      Ref annotation = string(spec.params[i].annotation);
      PyObject* name = PyTuple_GET_ITEM(function->f.param_names.get(), static_cast<Py_ssize_t>(i));
      require(PyDict_SetItem(annotations.get(), name, annotation.get()));
    }
  }
  if (spec.return_annotation != nullptr) {
    Ref annotation = string(spec.return_annotation);
    require(PyDict_SetItemString(annotations.get(), "return", annotation.get()));
  }
  return annotations;
}

PyObject* get_annotations(PyObject* self_object, void*) noexcept {
  return boundary(
      [&] {
        FunctionObject* self = as_function(self_object);
        if (!self->f.annotations) {
          // As a Python function does once its __annotate__ was replaced: ask it for values.
          Ref annotations;
          if (self->f.annotate && !self->f.annotate.is_none()) {
            Ref format = require(PyLong_FromLong(1));
            annotations = call(self->f.annotate, format);
            if (!PyDict_Check(annotations.get())) {
              PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'",
                           annotations.type()->tp_name);
              throw_error();
            }
          } else {
            annotations = require(PyDict_New());
          }
          self->f.annotations = std::move(annotations);
        }
        return Ref(self->f.annotations).release();
      },
      static_cast<PyObject*>(nullptr));
}

// The __annotate__ of the spec's annotations: the VALUE formats only, as the compiler's are.
PyObject* annotate_from_spec(PyObject* self, PyObject* format) noexcept {
  return boundary(
      [&] {
        Ref limit = require(PyLong_FromLong(2));
        if (require(PyObject_RichCompareBool(format, limit.get(), Py_GT)) == 1) {
          PyErr_SetNone(PyExc_NotImplementedError);
          throw_error();
        }
        return spec_annotations(as_function(self)).release();
      },
      static_cast<PyObject*>(nullptr));
}

PyMethodDef annotate_definition = {"__annotate__", annotate_from_spec, METH_O, nullptr};

PyObject* get_annotate(PyObject* self, void*) noexcept {
  FunctionObject* function = as_function(self);
  if (!function->f.annotate) {
    // Kept, so that every access gives the same object, as for a Python function.
    function->f.annotate = Ref::steal(PyCFunction_New(&annotate_definition, self));
    if (!function->f.annotate) return nullptr;
  }
  return Ref(function->f.annotate).release();
}

PyObject* get_globals(PyObject* self, void*) noexcept {
  return get_ref(as_function(self)->f.globals);
}
PyObject* get_builtins(PyObject* self, void*) noexcept {
  return get_ref(as_function(self)->f.builtins);
}
PyObject* get_type_params(PyObject* self, void*) noexcept {
  FunctionObject* function = as_function(self);
  if (!function->f.type_params) return PyTuple_New(0);
  return Ref(function->f.type_params).release();
}
// A body has no defaults and no closure: these stay None.
PyObject* get_none(PyObject*, void*) noexcept {
  Py_RETURN_NONE;
}

int set_name(PyObject* self, PyObject* value, void*) noexcept {
  return set_string_attribute(as_function(self)->f.name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
  return set_string_attribute(as_function(self)->f.qualname, value, "__qualname__");
}
int set_module(PyObject* self, PyObject* value, void*) noexcept {
  as_function(self)->f.module = Ref::borrow(value != nullptr ? value : Py_None);
  return 0;
}
int set_doc(PyObject* self, PyObject* value, void*) noexcept {
  as_function(self)->f.doc = Ref::borrow(value != nullptr ? value : Py_None);
  return 0;
}
int set_type_params(PyObject* self, PyObject* value, void*) noexcept {
  if (value == nullptr || !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
    return -1;
  }
  as_function(self)->f.type_params = Ref::borrow(value);
  return 0;
}
int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
  if (value != nullptr && value != Py_None && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  FunctionObject* function = as_function(self);
  function->f.annotations = value != Py_None ? Ref::borrow(value) : Ref();
  function->f.annotate = Ref::none();  // as a Python function's: the new values stand alone
  return 0;
}
int set_annotate(PyObject* self, PyObject* value, void*) noexcept {
  FunctionObject* function = as_function(self);
  if (value == nullptr) {
    PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
    return -1;
  }
  if (value != Py_None && PyCallable_Check(value) == 0) {
    PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
    return -1;
  }
  function->f.annotate = Ref::borrow(value);
  if (value != Py_None) function->f.annotations.reset();
  return 0;
}

// The value `annotations` holds for `key` into kwargs[keyword], if it holds one.
void copy_annotation(Borrowed annotations, Borrowed key, Borrowed kwargs, Borrowed keyword) {
  PyObject* found = nullptr;
  if (require(PyDict_GetItemRef(annotations.get(), key.get(), &found)) == 0) return;
  Ref annotation = Ref::steal(found);
  require(PyDict_SetItem(kwargs.get(), keyword.get(), annotation.get()));
}

// inspect.Signature of the parameters, with the current annotations (as for a Python function).
PyObject* get_signature(PyObject* self_object, void*) noexcept {
  return boundary(
      [&] {
        FunctionObject* self = as_function(self_object);
        const FunctionSpec& spec = *self->f.spec;
        Ref annotations = require(get_annotations(self_object, nullptr));
        // Interned names: the interpreter's attribute cache keeps the last name object looked
        // up in each slot, so a fresh str per lookup would pile up there.
        Ref inspect = import(text<"inspect">());
        Ref parameter_type = getattr(inspect, text<"Parameter">());
        Ref signature_type = getattr(inspect, text<"Signature">());
        Ref kind = getattr(parameter_type, text<"POSITIONAL_OR_KEYWORD">());
        Ref parameters = require(PyList_New(0));
        for (std::size_t i = 0; i < spec.params.size(); ++i) {
          Ref kwargs = require(PyDict_New());
          PyObject* name = PyTuple_GET_ITEM(self->f.param_names.get(), i);
          copy_annotation(annotations, Borrowed(name), kwargs, text<"annotation">());
          Ref positional = require(PyTuple_Pack(2, name, kind.get()));
          Ref parameter =
              require(PyObject_Call(parameter_type.get(), positional.get(), kwargs.get()));
          require(PyList_Append(parameters.get(), parameter.get()));
        }
        Ref kwargs = require(PyDict_New());
        copy_annotation(annotations, text<"return">(), kwargs, text<"return_annotation">());
        Ref positional = require(PyTuple_Pack(1, parameters.get()));
        return require(PyObject_Call(signature_type.get(), positional.get(), kwargs.get()))
            .release();
      },
      static_cast<PyObject*>(nullptr));
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__annotate__", get_annotate, set_annotate, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled by reference, as Python functions are: the qualified name, found again in __module__.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
  return get_ref(as_function(self)->f.qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The builtins a function with these globals uses, found as the interpreter finds them.
Ref builtins_of(Borrowed globals) {
  PyObject* found = nullptr;
  if (PyDict_GetItemStringRef(globals.get(), "__builtins__", &found) < 0) throw_error();
  Ref builtins = Ref::steal(found);
  if (builtins && PyModule_Check(builtins.get())) {
    builtins = Ref::borrow(PyModule_GetDict(builtins.get()));
  }
  return builtins ? builtins : Ref::borrow(PyEval_GetBuiltins());
}

std::string function_type_name;

}  // namespace

int set_string_attribute(Ref& field, PyObject* value, const char* what) noexcept {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  field = Ref::borrow(value);
  return 0;
}

Ref function_code(FunctionObject* function) {
  if (!function->f.code) {
    const FunctionSpec& spec = *function->f.spec;
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(spec.source_file, spec.name, spec.source_line)));
    if (!code) throw_error();
    Ref replace = require(PyObject_GetAttrString(code.get(), "replace"));
    Ref kwargs = require(PyDict_New());
    require(PyDict_SetItemString(kwargs.get(), "co_qualname", function->f.qualname.get()));
    Ref empty = require(PyTuple_New(0));
    function->f.code = require(PyObject_Call(replace.get(), empty.get(), kwargs.get()));
  }
  return function->f.code;
}

Ref make_function(const FunctionSpec& spec, Borrowed module, Borrowed globals) {
  if (spec.params.size() > max_params) {
    throw PyError::format(PyExc_SystemError, "too many parameters for a compiled function");
  }
  if (runtime_types.function == nullptr) no_runtime_types();
  auto* raw = PyObject_GC_New(FunctionObject, runtime_types.function);
  if (raw == nullptr) throw_error();
  FunctionObject* self = raw;
  new (&self->f) FunctionFields();
  Ref object = Ref::steal(reinterpret_cast<PyObject*>(self));
  self->vectorcall = function_vectorcall;
  self->f.spec = &spec;
  self->f.name = string(spec.name);
  self->f.qualname = string(spec.qualname);
  self->f.module = Ref::borrow(module);
  self->f.doc = spec.doc != nullptr ? string(spec.doc) : Ref::none();
  self->f.globals = globals ? Ref::borrow(globals) : require(PyDict_New());
  self->f.builtins = builtins_of(self->f.globals);
  self->f.param_names = require(PyTuple_New(static_cast<Py_ssize_t>(spec.params.size())));
  for (const Param& param : spec.params) {
    if (param.exact_type != nullptr) self->f.checks_types = true;
  }
  for (std::size_t i = 0; i < spec.params.size(); ++i) {
    PyObject* name = PyUnicode_InternFromString(spec.params[i].name);
    if (name == nullptr) throw_error();
    PyTuple_SET_ITEM(self->f.param_names.get(), static_cast<Py_ssize_t>(i), name);
  }
  self->f.annotations = spec_annotations(self);
  PyObject_GC_Track(object.get());
  if (spec.coroutine != nullptr) {
    // inspect.iscoroutinefunction (and asyncio's, which asks it) knows it by this mark; asyncio's
    // own marker too, for code that looks for it.
    Ref inspect = require(PyImport_ImportModule("inspect"));
    require(PyObject_CallMethod(inspect.get(), "markcoroutinefunction", "O", object.get()));
    compat::mark_coroutine_function(object, Where::current());
  }
  return object;
}

void init_function_type(const char* module) {
  function_type_name = std::string(module) + ".function";
  PyMemberDef members[] = {
      {"__vectorcalloffset__", Py_T_PYSSIZET,
       static_cast<Py_ssize_t>(offsetof(FunctionObject, vectorcall)), Py_READONLY, nullptr},
      {nullptr, 0, 0, 0, nullptr},
  };
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
      {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
      {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
      {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
      {Py_tp_getset, function_getset},
      {Py_tp_methods, function_methods},
      {Py_tp_members, members},
      {0, nullptr},
  };
  PyType_Spec spec = {
      function_type_name.c_str(),
      static_cast<int>(sizeof(FunctionObject)),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
          Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF |
          Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
      slots,
  };
  runtime_types.function =
      reinterpret_cast<PyTypeObject*>(detail::keep(PyType_FromSpec(&spec), Where::current()));
}

void init_runtime(const char* module) {
  if (runtime_types.function != nullptr) return;
  init_coroutine_type(module);
  init_function_type(module);
}

namespace detail {

PyObject* own_coroutine_function(Borrowed method, const FunctionSpec& spec, const Borrowed* args,
                                 std::size_t count) noexcept {
  PyObject* bound = method.get();
  if (!PyMethod_Check(bound) || PyMethod_GET_SELF(bound) != args[0].get()) return nullptr;
  PyObject* function = PyMethod_GET_FUNCTION(bound);
  if (Py_TYPE(function) != runtime_types.function || as_function(function)->f.spec != &spec ||
      spec.coroutine == nullptr || spec.params.size() != count) {
    return nullptr;
  }
  for (std::size_t i = 0; i < count; ++i) {
    PyTypeObject* expected = spec.params[i].exact_type;
    if (expected != nullptr && args[i].type() != expected) return nullptr;
  }
  return function;
}

}  // namespace detail

}  // namespace pyrt
