#include "pyrt/call.hpp"

#include <cstdint>
#include <unordered_map>

namespace pyrt {

Borrowed Name::intern() const {
  interned_ = PyUnicode_InternFromString(text_);
  if (interned_ == nullptr) throw_error();
  return Borrowed(interned_);
}

Borrowed literal(const char* text, std::source_location where) {
  // A direct-mapped cache in front of the table keeps the common case to a few instructions.
  struct Slot {
    const char* text;
    PyObject* object;
  };
  static Slot recent[256];
  Slot& slot = recent[(reinterpret_cast<std::uintptr_t>(text) >> 3) & 255];
  if (slot.text == text) return Borrowed(slot.object);
  // Never destroyed: the strings live as long as the process, and so does the table.
  static auto* table = new std::unordered_map<const char*, PyObject*>();
  auto found = table->find(text);
  PyObject* object = nullptr;
  if (found != table->end()) {
    object = found->second;
  } else {
    object = PyUnicode_InternFromString(text);
    if (object == nullptr) throw_error(where);
    table->emplace(text, object);
  }
  slot = {text, object};
  return Borrowed(object);
}

Ref prefix(Borrowed text, Py_ssize_t count, std::source_location where) {
  Py_ssize_t length = PyUnicode_GetLength(text.get());
  if (length < 0) throw_error(where);
  if (length <= count) return Ref::borrow(text);
  return require(PyUnicode_Substring(text.get(), 0, count), where);
}

Ref concat(std::initializer_list<Borrowed> parts, std::source_location where) {
  Py_ssize_t length = 0;
  for (Borrowed part : parts) length += PyUnicode_GetLength(part.get());
  PyUnicodeWriter* writer = PyUnicodeWriter_Create(length);
  if (writer == nullptr) throw_error(where);
  for (Borrowed part : parts) {
    if (PyUnicodeWriter_WriteStr(writer, part.get()) < 0) {
      PyUnicodeWriter_Discard(writer);
      throw_error(where);
    }
  }
  return require(PyUnicodeWriter_Finish(writer), where);
}

Ref import(Borrowed module, std::source_location where) {
  return require(PyImport_Import(module.get()), where);
}

Ref import_from(Borrowed module_name, Borrowed name, std::source_location where) {
  Ref fromlist = require(PyTuple_Pack(1, name.get()), where);
  return import_from(module_name, name, fromlist, where);
}

Ref import_from(Borrowed module_name, Borrowed name, Borrowed fromlist,
                std::source_location where) {
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
