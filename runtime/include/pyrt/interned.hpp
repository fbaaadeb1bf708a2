// Objects made once per interpreter lifetime and kept by that interpreter: interned names,
// keyword-name tuples, and `detail::keep`, through which the interpreter owns what the runtime
// made for it and releases it while it finalises.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>

#include "pyrt/error.hpp"
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
PyObject* keep(PyObject* object, Where where);

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
  Borrowed hold(PyObject* made, Where where) {
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
    return tuple_.hold(tuple.release(), Where::current());
  }
  operator Borrowed() const { return get(); }  // NOLINT

 private:
  const char* texts_[N];
  mutable detail::PerInterpreter tuple_;
};
template <class... Texts>
KwNames(Texts...) -> KwNames<sizeof...(Texts)>;

}  // namespace pyrt
