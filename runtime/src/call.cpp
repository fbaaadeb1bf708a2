#include "pyrt/call.hpp"

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
  PyObject* found = nullptr;
  require(PyObject_GetOptionalAttrString(module.get(), "__name__", &found), where);
  if (Ref own_name = Ref::steal(found); own_name && PyUnicode_Check(own_name.get())) {
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
  PyObject* path = nullptr;
  const int found = require(PyObject_GetOptionalAttrString(module.get(), "__path__", &path), where);
  Py_XDECREF(path);
  return found == 1;
}

}  // namespace

Ref import(Borrowed module, Where where) {
  return require(PyImport_Import(module.get()), where);
}

Ref import_from(Borrowed module_name, Borrowed name, Where where) {
  Ref fromlist = require(PyTuple_Pack(1, name.get()), where);
  return import_from(module_name, name, fromlist, where);
}

Ref import_from(Borrowed module_name, Borrowed name, Borrowed fromlist, Where where) {
  PyObject* value = nullptr;
  Ref module = found_whole_before(module_name, where);
  if (module) {
    if (require(PyObject_GetOptionalAttr(module.get(), name.get(), &value), where) == 1) {
      return Ref::steal(value);
    }
    // A package may hold the name as a submodule not imported yet: the import system's part.
    if (is_package(module, where)) module = Ref{};
  }
  if (!module) {
    module = require(
        PyImport_ImportModuleLevelObject(module_name.get(), nullptr, nullptr, fromlist.get(), 0),
        where);
    remember_whole(module_name, module, where);
    if (require(PyObject_GetOptionalAttr(module.get(), name.get(), &value), where) == 1) {
      return Ref::steal(value);
    }
  }
  return loaded_submodule(module, module_name, name, where);
}

}  // namespace pyrt
