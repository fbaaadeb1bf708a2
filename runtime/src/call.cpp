#include "pyrt/call.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <ranges>
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
    release_watches();
    ++interpreter_generation;
  }
  for (PyObject* object : std::views::reverse(kept->objects)) Py_DECREF(object);
  delete kept;
}

Kept* kept_for_this_interpreter(Where where) {
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

bool keeping() noexcept {
  return current_kept != nullptr;
}

PyObject* keep(PyObject* object, Where where) {
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
  return interned_.hold(PyUnicode_InternFromString(text_));
}

Ref prefix(Borrowed text, Py_ssize_t count, Where where) {
  Py_ssize_t length = PyUnicode_GetLength(text.get());
  if (length < 0) throw_error(where);
  if (length <= count) return Ref::borrow(text);
  return require(PyUnicode_Substring(text.get(), 0, count), where);
}

namespace {
// Copies `count` characters of one width into a wider string, as CPython widens them (inline:
// PyUnicode_CopyCharacters costs about 3,000 instructions a message more on the bridge's path).
template <class From, class To>
void widen(const void* from, void* to, Py_ssize_t count) noexcept {
  const auto* source = static_cast<const From*>(from);
  auto* target = static_cast<To*>(to);
  for (Py_ssize_t i = 0; i < count; ++i) target[i] = source[i];
}
}  // namespace

Ref concat(std::initializer_list<Borrowed> parts, Where where) {
  Py_ssize_t length = 0;
  Py_UCS4 max_char = 0;
  for (Borrowed part : parts) {
    // As `str + other` words it, so a non-str fails like the same code written in Python.
    if (!PyUnicode_Check(part.get())) {
      PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                   part.type()->tp_name);
      throw_error(where);
    }
    Py_ssize_t part_length = PyUnicode_GET_LENGTH(part.get());
    if (part_length > PY_SSIZE_T_MAX - length) {
      PyErr_SetString(PyExc_OverflowError, "strings are too large to concat");
      throw_error(where);
    }
    length += part_length;
    max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(part.get()));
  }
  // The characters themselves, as `+` takes them (a str subclass's __str__ plays no part), into
  // a new string of the widest part's width: what a chain of `+` makes, without the writer's
  // bookkeeping.
  Ref result = require(PyUnicode_New(length, max_char), where);
  const int kind = PyUnicode_KIND(result.get());
  char* data = static_cast<char*>(PyUnicode_DATA(result.get()));
  for (Borrowed part : parts) {
    Py_ssize_t count = PyUnicode_GET_LENGTH(part.get());
    const void* source = PyUnicode_DATA(part.get());
    const int part_kind = PyUnicode_KIND(part.get());
    if (part_kind == kind) {
      std::memcpy(data, source, static_cast<std::size_t>(count) * static_cast<std::size_t>(kind));
    } else if (kind == PyUnicode_2BYTE_KIND) {
      widen<Py_UCS1, Py_UCS2>(source, data, count);
    } else if (part_kind == PyUnicode_1BYTE_KIND) {
      widen<Py_UCS1, Py_UCS4>(source, data, count);
    } else {
      widen<Py_UCS2, Py_UCS4>(source, data, count);
    }
    data += count * kind;
  }
  return result;
}

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
