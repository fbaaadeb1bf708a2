// Calling into Python: calls, attribute access, truth tests and imports; each throws PyError on
// failure. Names and keyword-name tuples to pass come from interned.hpp, texts from text.hpp.
#pragma once

#include <array>
#include <cstddef>

#include "pyrt/error.hpp"
#include "pyrt/where.hpp"

namespace pyrt {

// The object a variadic call starts with (the callable or the receiver), together with the
// location of that call: a variadic helper cannot end in a defaulted parameter.
struct CallSite {
  template <class Object>
  CallSite(const Object& object,  // NOLINT: converts like the Borrowed it stands for
           Where where = Where::current()) noexcept
      : object(object), where(where) {}
  Borrowed object;
  Where where;
};

template <class... Args>
Ref call(CallSite callable, const Args&... args) {
  std::array<PyObject*, sizeof...(Args) + 1> argv{nullptr, Borrowed(args).get()...};
  return require(PyObject_Vectorcall(callable.object.get(), argv.data() + 1,
                                     sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr),
                 callable.where);
}

// Calls callable(*positional, **{keywords}), as call_method_kw below.
template <class... Args>
Ref call_kw(CallSite callable, Borrowed kwnames, const Args&... args) {
  std::array<PyObject*, sizeof...(Args) + 1> argv{nullptr, Borrowed(args).get()...};
  std::size_t positional =
      sizeof...(Args) - static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames.get()));
  return require(PyObject_Vectorcall(callable.object.get(), argv.data() + 1,
                                     positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()),
                 callable.where);
}

template <class... Args>
Ref call_method(CallSite self, Borrowed name, const Args&... args) {
  std::array<PyObject*, sizeof...(Args) + 1> argv{self.object.get(), Borrowed(args).get()...};
  return require(
      PyObject_VectorcallMethod(name.get(), argv.data(),
                                (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr),
      self.where);
}

// Calls self.name(*positional, **{keywords}) where `kwnames` is a tuple of interned names and the
// last len(kwnames) of `args` are their values.
template <class... Args>
Ref call_method_kw(CallSite self, Borrowed name, Borrowed kwnames, const Args&... args) {
  std::array<PyObject*, sizeof...(Args) + 1> argv{self.object.get(), Borrowed(args).get()...};
  std::size_t positional =
      sizeof...(Args) + 1 - static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames.get()));
  return require(
      PyObject_VectorcallMethod(name.get(), argv.data(),
                                positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()),
      self.where);
}

inline Ref getattr(Borrowed object, Borrowed name, Where where = Where::current()) {
  return require(PyObject_GetAttr(object.get(), name.get()), where);
}
// getattr(object, name, None) as a Ref: empty when missing.
inline Ref optional_attribute(Borrowed object, Borrowed name, Where where = Where::current()) {
  PyObject* found = nullptr;
  require(PyObject_GetOptionalAttr(object.get(), name.get(), &found), where);
  return Ref::steal(found);
}
inline void setattr(Borrowed object, Borrowed name, Borrowed value,
                    Where where = Where::current()) {
  require(PyObject_SetAttr(object.get(), name.get(), value.get()), where);
}
inline bool truthy(Borrowed object, Where where = Where::current()) {
  return require(PyObject_IsTrue(object.get()), where) != 0;
}
inline Ref boolean(bool value) {
  return Ref::borrow(value ? Py_True : Py_False);
}

// `from module import name`, as an import statement in the namespace `globals` does it: through
// builtins.__import__ when the host has replaced it, else through the import system (ImportError
// when the name is missing). A module found in sys.modules that an earlier call found whole is
// read at once, with no look at whether its import is still running elsewhere. `fromlist` is a
// tuple holding just `name`, made once by the caller (a KwNames).
Ref import_from(Borrowed module, Borrowed name, Borrowed fromlist, Borrowed globals,
                Where where = Where::current());
Ref import(Borrowed module, Where where = Where::current());

}  // namespace pyrt
