#include "pyrt/call.hpp"

namespace pyrt {

Ref import(Borrowed module, Where where) {
  return require(PyImport_Import(module.get()), where);
}

Ref import_from(Borrowed module_name, Borrowed name, Where where) {
  Ref fromlist = require(PyTuple_Pack(1, name.get()), where);
  return import_from(module_name, name, fromlist, where);
}

Ref import_from(Borrowed module_name, Borrowed name, Borrowed fromlist, Where where) {
  Ref module = require(
      PyImport_ImportModuleLevelObject(module_name.get(), nullptr, nullptr, fromlist.get(), 0),
      where);
  PyObject* value = nullptr;
  if (require(PyObject_GetOptionalAttr(module.get(), name.get(), &value), where) == 1) {
    return Ref::steal(value);
  }
  // As the import statement words it, with the module's file when it has one.
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

}  // namespace pyrt
