#include "pyrt/call.hpp"

#include <array>

#include "pyrt/interned.hpp"

namespace pyrt {

namespace {

// The modules an import found whole, by name, each held weakly so that a module the host drops is
// not kept alive. The import system hands out a module it finds in sys.modules at once, unless
// another thread is still importing it: then it waits for that import to end. Asking whether one
// is costs two attribute reads, most of the import of a loaded module. A module object found whole
// once is not imported again (a reload runs its code again in place, without that wait), so the
// same object found in sys.modules again is handed out at once. (In a circular import the import
// system hands its own thread the unfinished module at once as well; it is remembered then too.)
detail::PerInterpreter whole_modules;
const Name dunder_name("__name__"), dunder_path("__path__");

Borrowed whole_modules_dict(Where where) {
  return whole_modules.current() ? whole_modules.object() : whole_modules.hold(PyDict_New(), where);
}

// sys.modules[module_name] when it is the module an earlier import found whole; else null.
Ref found_whole_before(Borrowed module_name, Where where) {
  PyObject* found = nullptr;
  if (require(PyDict_GetItemRef(whole_modules_dict(where).get(), module_name.get(), &found),
              where) == 0) {
    return {};
  }
  Ref whole = Ref::steal(found);
  require(PyWeakref_GetRef(whole.get(), &found), where);
  whole = Ref::steal(found);
  require(PyMapping_GetOptionalItem(PyImport_GetModuleDict(), module_name.get(), &found), where);
  Ref loaded = Ref::steal(found);
  return whole && loaded.is(whole) ? loaded : Ref{};
}

void remember_whole(Borrowed module_name, Borrowed module, Where where) {
  if (PyType_SUPPORTS_WEAKREFS(module.type()) == 0) return;  // not a module: found afresh each time
  Ref weak = require(PyWeakref_NewRef(module.get(), nullptr), where);
  require(PyDict_SetItem(whole_modules_dict(where).get(), module_name.get(), weak.get()), where);
}

// A name the module lacks: the import statement still finds a submodule of that name already in
// sys.modules (one a circular import has not bound to its package yet). Else ImportError, worded
// as the statement words it, with the module's file when it has one.
Ref loaded_submodule(Borrowed module, Borrowed module_name, Borrowed name, Where where) {
  if (Ref own_name = optional_attribute(module, dunder_name, where);
      own_name && PyUnicode_Check(own_name.get())) {
    Ref submodule_name = require(PyUnicode_FromFormat("%U.%U", own_name.get(), name.get()), where);
    if (Ref submodule = Ref::steal(PyImport_GetModule(submodule_name.get()))) return submodule;
    if (PyErr_Occurred() != nullptr) throw_error(where);
  }
  PyObject* file = nullptr;
  if (PyObject_GetOptionalAttrString(module.get(), "__file__", &file) < 0) PyErr_Clear();
  Ref path = Ref::steal(file);
  Ref message =
      path && PyUnicode_Check(path.get())
          ? require(PyUnicode_FromFormat("cannot import name %R from %R (%U)", name.get(),
                                         module_name.get(), path.get()),
                    where)
          : require(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                         name.get(), module_name.get()),
                    where);
  PyErr_SetImportError(message.get(), module_name.get(), path.get());
  throw_error(where);
}

bool is_package(Borrowed module, Where where) {
  return static_cast<bool>(optional_attribute(module, dunder_path, where));
}

// The interpreter's own builtins.__import__, once seen. The import statement calls
// builtins.__import__ itself when the host has put a function of its own there, and takes the
// import system's path directly while the interpreter's own is in place.
detail::PerInterpreter own_import_function;
const Name import_function_name("__import__");

bool is_own_import_function(Borrowed function, Where where) {
  if (own_import_function.current()) return function.is(own_import_function.object());
  PyObject* self =
      PyCFunction_Check(function.get()) ? PyCFunction_GetSelf(function.get()) : nullptr;
  if (self == nullptr || !PyModule_Check(self)) return false;
  Ref module_name = require(PyModule_GetNameObject(self), where);
  Ref function_name = require(PyObject_GetAttrString(function.get(), "__name__"), where);
  if (PyUnicode_EqualToUTF8(module_name.get(), "builtins") != 1 ||
      !PyUnicode_Check(function_name.get()) ||
      PyUnicode_EqualToUTF8(function_name.get(), "__import__") != 1) {
    return false;
  }
  own_import_function.hold(Py_NewRef(function.get()), where);
  return true;
}

// builtins.__import__ when it is a function of the host's; else null.
Ref replaced_import_function(Where where) {
  Ref builtins = require(PyEval_GetFrameBuiltins(), where);
  PyObject* found = nullptr;
  if (require(PyMapping_GetOptionalItem(builtins.get(), import_function_name.get().get(), &found),
              where) == 0) {
    PyErr_SetString(PyExc_ImportError, "__import__ not found");
    throw_error(where);
  }
  Ref function = Ref::steal(found);
  return is_own_import_function(function, where) ? Ref{} : function;
}

// The name from the imported module, as the import statement takes it.
Ref name_from(Borrowed module, Borrowed module_name, Borrowed name, Where where) {
  if (Ref value = optional_attribute(module, name, where)) return value;
  return loaded_submodule(module, module_name, name, where);
}

}  // namespace

Ref import(Borrowed module, Where where) {
  return require(PyImport_Import(module.get()), where);
}

Ref import_from(Borrowed module_name, Borrowed name, Borrowed fromlist, Borrowed globals,
                Where where) {
  if (Ref replaced = replaced_import_function(where)) {
    Ref level = require(PyLong_FromLong(0), where);
    std::array<PyObject*, 5> arguments{module_name.get(), globals.get(), Py_None, fromlist.get(),
                                       level.get()};
    Ref module = require(
        PyObject_Vectorcall(replaced.get(), arguments.data(), arguments.size(), nullptr), where);
    return name_from(module, module_name, name, where);
  }
  if (Ref module = found_whole_before(module_name, where)) {
    if (Ref value = optional_attribute(module, name, where)) return value;
    // A package may hold the name as a submodule not imported yet: the import system's part.
    if (!is_package(module, where)) return loaded_submodule(module, module_name, name, where);
  }
  Ref module = require(PyImport_ImportModuleLevelObject(module_name.get(), globals.get(), nullptr,
                                                        fromlist.get(), 0),
                       where);
  remember_whole(module_name, module, where);
  return name_from(module, module_name, name, where);
}

}  // namespace pyrt
