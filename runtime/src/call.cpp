#include "pyrt/call.hpp"

#include <cstdint>
#include <new>
#include <ranges>
#include <unordered_map>
#include <vector>

#include "internal.hpp"

namespace pyrt {

namespace detail {

std::uint32_t interpreter_generation = 1;

namespace {

// What the runtime keeps for the current interpreter. A capsule in the interpreter's dictionary
// owns it: the interpreter clears that dictionary late in its finalisation, after its modules,
// while the C API still works, and so releases everything kept here exactly once. Process-wide
// only the address, so that the next `keep` finds it.
struct Kept {
  std::vector<PyObject*> objects;
};
Kept* current_kept = nullptr;
constexpr const char* kept_capsule_name = "pyrt.kept";

void release_kept(PyObject* capsule) noexcept {
  auto* kept = static_cast<Kept*>(PyCapsule_GetPointer(capsule, kept_capsule_name));
  if (kept == nullptr) {
    PyErr_Clear();
    return;
  }
  if (kept == current_kept) {
    // First, so that nothing released below finds a cache of this interpreter still filled.
    current_kept = nullptr;
    runtime_types = {};
    ++interpreter_generation;
  }
  for (PyObject* object : std::views::reverse(kept->objects)) Py_DECREF(object);
  delete kept;
}

Kept* kept_for_this_interpreter(std::source_location where) {
  if (current_kept != nullptr) return current_kept;
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (dict == nullptr) {
    throw PyError::format(PyExc_RuntimeError, "the interpreter has no dictionary to keep in");
  }
  auto* kept = new Kept();
  Ref capsule = Ref::steal(PyCapsule_New(kept, kept_capsule_name, release_kept));
  if (!capsule) {
    delete kept;
    throw_error(where);
  }
  // One entry per copy of the runtime (each extension module links its own).
  Ref key = require(PyUnicode_FromFormat("pyrt.kept.%p", static_cast<void*>(&current_kept)), where);
  require(PyDict_SetItem(dict, key.get(), capsule.get()), where);
  current_kept = kept;
  return kept;
}

}  // namespace

PyObject* keep(PyObject* object, std::source_location where) {
  if (object == nullptr) throw_error(where);
  Ref owned = Ref::steal(object);
  try {
    kept_for_this_interpreter(where)->objects.push_back(owned.get());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    throw_error(where);
  }
  return owned.release();
}

}  // namespace detail

Borrowed Name::intern() const {
  interned_ = detail::keep(PyUnicode_InternFromString(text_));
  generation_ = detail::interpreter_generation;
  return Borrowed(interned_);
}

Borrowed literal(const char* text, std::source_location where) {
  // A direct-mapped cache in front of the table keeps the common case to a few instructions.
  struct Slot {
    const char* text;
    PyObject* object;
  };
  static Slot recent[256];
  // Never destroyed; it owns nothing (the interpreter keeps the strings): see Name.
  static auto* table = new std::unordered_map<const char*, PyObject*>();
  static std::uint32_t generation = 0;
  if (generation != detail::interpreter_generation) {
    for (Slot& stale : recent) stale = {};
    table->clear();
    generation = detail::interpreter_generation;
  }
  Slot& slot = recent[(reinterpret_cast<std::uintptr_t>(text) >> 3) & 255];
  if (slot.text == text) return Borrowed(slot.object);
  auto found = table->find(text);
  PyObject* object = nullptr;
  if (found != table->end()) {
    object = found->second;
  } else {
    object = detail::keep(PyUnicode_InternFromString(text), where);
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
  for (Borrowed part : parts) {
    // As `str + other` words it, so a non-str fails like the same code written in Python.
    if (!PyUnicode_Check(part.get())) {
      PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                   part.type()->tp_name);
      throw_error();
    }
    length += PyUnicode_GET_LENGTH(part.get());
  }
  PyUnicodeWriter* writer = PyUnicodeWriter_Create(length);
  if (writer == nullptr) throw_error(where);
  for (Borrowed part : parts) {
    // The characters themselves, as `+` takes them: a str subclass's __str__ plays no part.
    int written = PyUnicode_CheckExact(part.get())
                      ? PyUnicodeWriter_WriteStr(writer, part.get())
                      : PyUnicodeWriter_WriteSubstring(writer, part.get(), 0,
                                                       PyUnicode_GET_LENGTH(part.get()));
    if (written < 0) {
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
