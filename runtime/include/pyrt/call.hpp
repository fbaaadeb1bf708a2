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
// Counts the interpreter lifetimes of this process. The caches below (Name, KwNames, literal)
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
  // The common cases inline, as the interpreter's own truth test takes them.
  PyObject* raw = object.get();
  if (raw == Py_True) return true;
  if (raw == Py_False || raw == Py_None) return false;
  if (PyUnicode_CheckExact(raw)) return PyUnicode_GET_LENGTH(raw) != 0;
  // An object whose type defines neither __bool__ nor __len__ is true.
  const PyTypeObject* type = Py_TYPE(raw);
  if ((type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr) &&
      (type->tp_as_mapping == nullptr || type->tp_as_mapping->mp_length == nullptr) &&
      (type->tp_as_sequence == nullptr || type->tp_as_sequence->sq_length == nullptr)) {
    return true;
  }
  return require(PyObject_IsTrue(raw), where) != 0;
}
inline Ref str(Borrowed object, Where where = Where::current()) {
  return require(PyObject_Str(object.get()), where);
}
inline Ref string(const char* utf8, Where where = Where::current()) {
  return require(PyUnicode_FromString(utf8), where);
}
namespace detail {
// literal()'s table, for the interpreter lifetime `literal_generation` (see
// interpreter_generation): open addressing by the text's address with linear probing. A text,
// once placed, keeps its slot for that lifetime, so hot texts never evict each other whatever
// addresses the loader gave them. The table is never filled beyond `literal_slot_limit`, so a
// probe always ends at an empty slot; texts beyond that are served by literal_slow.
struct LiteralSlot {
  const char* text;
  PyObject* object;
};
inline constexpr int literal_slot_bits = 10;
inline constexpr std::size_t literal_slot_count = std::size_t{1} << literal_slot_bits;
inline constexpr std::size_t literal_slot_limit = literal_slot_count / 4 * 3;
extern LiteralSlot literal_slots[literal_slot_count];
extern std::uint32_t literal_generation;
inline std::size_t literal_home(const char* text) noexcept {
  // Literals are packed byte by byte, so the slot comes from every bit of the address.
  const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(text));
  return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ULL) >> (64 - literal_slot_bits));
}
Borrowed literal_slow(const char* text, Where where);
}  // namespace detail

// The str of a string literal, made once per interpreter lifetime and kept while it lives (like
// Name): for fixed texts on hot paths. Only for literals (the address identifies the text).
// The common case, a text met before, is a few inline instructions.
inline Borrowed literal(const char* text, Where where = Where::current()) {
  if (detail::literal_generation == detail::interpreter_generation) [[likely]] {
    for (std::size_t i = detail::literal_home(text);; i = (i + 1) % detail::literal_slot_count) {
      const detail::LiteralSlot& slot = detail::literal_slots[i];
      if (slot.text == text) [[likely]] {
        return Borrowed(slot.object);
      }
      if (slot.text == nullptr) break;
    }
  }
  return detail::literal_slow(text, where);
}

// The same for a text given as a template argument, `pyrt::text<"...">()`: a Name of its own, so
// the common case is one comparison (literal() looks the text up in a shared table).
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
