#include "pyrt/call.hpp"

namespace pyrt {

Borrowed Name::get() const {
  if (interned_ == nullptr) {
    interned_ = PyUnicode_InternFromString(text_);
    if (interned_ == nullptr) throw_error();
  }
  return Borrowed(interned_);
}

Ref prefix(Borrowed text, Py_ssize_t count) {
  Py_ssize_t length = PyUnicode_GetLength(text.get());
  if (length < 0) throw_error();
  if (length <= count) return Ref::borrow(text);
  return require(PyUnicode_Substring(text.get(), 0, count));
}

Ref concat(std::initializer_list<Borrowed> parts) {
  PyUnicodeWriter* writer = PyUnicodeWriter_Create(0);
  if (writer == nullptr) throw_error();
  for (Borrowed part : parts) {
    if (PyUnicodeWriter_WriteStr(writer, part.get()) < 0) {
      PyUnicodeWriter_Discard(writer);
      throw_error();
    }
  }
  return require(PyUnicodeWriter_Finish(writer));
}

Ref import(Borrowed module) {
  return require(PyImport_Import(module.get()));
}

Ref import_from(Borrowed module_name, Borrowed name) {
  Ref fromlist = require(PyTuple_Pack(1, name.get()));
  Ref module = require(
      PyImport_ImportModuleLevelObject(module_name.get(), nullptr, nullptr, fromlist.get(), 0));
  PyObject* value = nullptr;
  if (require(PyObject_GetOptionalAttr(module.get(), name.get(), &value)) == 1) {
    return Ref::steal(value);
  }
  // As the import statement words it, with the module's file when it has one.
  PyObject* file = nullptr;
  if (PyObject_GetOptionalAttrString(module.get(), "__file__", &file) < 0) PyErr_Clear();
  Ref path = Ref::steal(file);
  Ref message =
      path && PyUnicode_Check(path.get())
          ? require(PyUnicode_FromFormat("cannot import name %R from %R (%U)", name.get(),
                                         module_name.get(), path.get()))
          : require(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                         name.get(), module_name.get()));
  PyErr_SetImportError(message.get(), module_name.get(), path.get());
  throw_error();
}

}  // namespace pyrt
