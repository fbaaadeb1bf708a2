// Small helpers for calling into Python; each throws PyError on failure.
#pragma once

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "pyrt/error.hpp"
#include "pyrt/fixed_text.hpp"
#include "pyrt/where.hpp"

namespace pyrt {

namespace detail {
// Counts the interpreter lifetimes of this process. The caches below (Name, KwNames, text)
// hold what they made for the interpreter that made it; one filled under an earlier count
// belongs to a finalised interpreter, so it is filled afresh and its old pointer is never
// touched. The count moves on when the interpreter releases what `keep` kept.
extern std::uint32_t interpreter_generation;

// Takes `object` (a new reference; null: the raised error is thrown) into the current
// interpreter's keeping and returns it. The interpreter owns it from then on, in its own
// dictionary, and releases it while it finalises, before the interpreter is gone; at that moment
// interpreter_generation moves on, so every cache filled from `keep` is stale.
PyObject* keep(PyObject* object, Where where = Where::current());

// One object for the current interpreter lifetime, kept by that interpreter: a pointer that is
// read only while its generation is the current one (debug builds check), so a stale one is
// never touched.
class PerInterpreter {
 public:
  // Whether the object of the current interpreter lifetime was made.
  bool current() const noexcept { return generation_ == interpreter_generation; }
  // That object; only when current().
  Borrowed object() const noexcept {
    assert(current());
    return Borrowed(object_);
  }
  // Takes `made` (a new reference; null: the raised error is thrown) into the interpreter's
  // keeping (keep) as the object of the current lifetime.
  Borrowed hold(PyObject* made, Where where = Where::current()) {
    object_ = keep(made, where);
    generation_ = interpreter_generation;
    return Borrowed(object_);
  }

 private:
  PyObject* object_ = nullptr;
  std::uint32_t generation_ = 0;
};
}  // namespace detail

// A string interned once per interpreter lifetime and kept by that interpreter (detail::keep):
// a plain pointer, valid while its generation is the current one.
class Name {
 public:
  constexpr explicit Name(const char* text) noexcept : text_(text) {}
  Borrowed get() const { return interned_.current() ? interned_.object() : intern(); }
  operator Borrowed() const { return get(); }  // NOLINT
  const char* text() const noexcept { return text_; }

 private:
  Borrowed intern() const;
  const char* text_;
  mutable detail::PerInterpreter interned_;
};

// A tuple of keyword-argument names for vectorcall, built once per interpreter lifetime and,
// like Name, kept by that interpreter.
template <std::size_t N>
class KwNames {
 public:
  template <class... Texts>
  explicit KwNames(Texts... texts) noexcept : texts_{texts...} {}
  Borrowed get() const {
    if (tuple_.current()) return tuple_.object();
    Ref tuple = require(PyTuple_New(N));
    for (std::size_t i = 0; i < N; ++i) {
      PyObject* name = PyUnicode_InternFromString(texts_[i]);
      if (name == nullptr) throw_error();
      PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
    }
    return tuple_.hold(tuple.release());
  }
  operator Borrowed() const { return get(); }  // NOLINT

 private:
  const char* texts_[N];
  mutable detail::PerInterpreter tuple_;
};
template <class... Texts>
KwNames(Texts...) -> KwNames<sizeof...(Texts)>;

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
inline void setattr(Borrowed object, Borrowed name, Borrowed value,
                    Where where = Where::current()) {
  require(PyObject_SetAttr(object.get(), name.get(), value.get()), where);
}
inline bool truthy(Borrowed object, Where where = Where::current()) {
  return require(PyObject_IsTrue(object.get()), where) != 0;
}
inline Ref str(Borrowed object, Where where = Where::current()) {
  return require(PyObject_Str(object.get()), where);
}
inline Ref string(const char* utf8, Where where = Where::current()) {
  return require(PyUnicode_FromString(utf8), where);
}
// The str of a fixed text given as a template argument, `pyrt::text<"...">()`, made once per
// interpreter lifetime and kept while it lives (a Name of its own): only a literal fits, so a
// text can never be confused with another at the same address.
template <detail::FixedText Text>
Borrowed text() {
  static constinit const Name name(Text.chars);
  return name.get();
}
inline Ref boolean(bool value) {
  return Ref::borrow(value ? Py_True : Py_False);
}

// The first `count` code points of a str (the whole string when shorter).
Ref prefix(Borrowed text, Py_ssize_t count, Where where = Where::current());
// Concatenates str objects.
Ref concat(std::initializer_list<Borrowed> parts, Where where = Where::current());

// `from module import name`, as the import statement does it (ImportError when missing).
Ref import_from(Borrowed module, Borrowed name, Where where = Where::current());
// The same with `fromlist`, a tuple holding just `name`, made once by the caller (a KwNames).
Ref import_from(Borrowed module, Borrowed name, Borrowed fromlist, Where where = Where::current());
Ref import(Borrowed module, Where where = Where::current());

}  // namespace pyrt
