#include "pyrt/interned.hpp"

#include <cstdint>
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
  return interned_.hold(PyUnicode_InternFromString(text_), Where::current());
}

}  // namespace pyrt
