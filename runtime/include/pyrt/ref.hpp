// Owned and borrowed references to Python objects.
//
// Rules of use:
//  1. A raw PyObject* never outlives the statement that produced it without an owner. Hold new
//     references in a Ref (Ref::steal) and references you want to keep in a Ref (Ref::borrow).
//  2. Borrowed owns nothing. It is valid only while some owner keeps the object alive, so use it
//     for parameters and short-lived views, never to store an object across a call that could
//     drop the owner.
//  3. There is no implicit conversion to PyObject*: call get() where a C API needs the pointer,
//     and release() where a C API (or the interpreter, on return) steals the reference.
//  4. Never declare a static Ref or any other static owning wrapper: its destructor would run
//     after the interpreter has been finalised. An object kept for the interpreter's lifetime
//     is handed to detail::keep (call.hpp), which the interpreter releases while it finalises; a
//     static holds only its plain pointer, with the generation it belongs to (as Name does).
//  5. Refs that live across a suspension of a coroutine body must be pyrt::Local (coroutine.hpp),
//     so that the cycle collector can see them. Debug builds enforce this: every Ref made while a
//     coroutine body runs is tracked, and a suspension with a non-null one inside a suspended
//     frame (other than a Local's) stops the process, naming the coroutine.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#ifndef NDEBUG
#define PYRT_TRACK_REFS 1
#endif

namespace pyrt {

#ifdef PYRT_TRACK_REFS
namespace detail {
void track_ref(const void* ref) noexcept;
void untrack_ref(const void* ref) noexcept;
}  // namespace detail
#define PYRT_TRACK(ref) detail::track_ref(ref)
#define PYRT_UNTRACK(ref) detail::untrack_ref(ref)
#define PYRT_REF_CONSTEXPR
#else
#define PYRT_TRACK(ref) static_cast<void>(0)
#define PYRT_UNTRACK(ref) static_cast<void>(0)
#define PYRT_REF_CONSTEXPR constexpr
#endif

class Borrowed {
 public:
  constexpr Borrowed() noexcept = default;
  constexpr explicit Borrowed(PyObject* object) noexcept : object_(object) {}

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  PyTypeObject* type() const noexcept { return Py_TYPE(object_); }
  bool is(Borrowed other) const noexcept { return object_ == other.object_; }
  bool is_none() const noexcept { return object_ == Py_None; }

 private:
  PyObject* object_ = nullptr;
};

class Ref {
 public:
  PYRT_REF_CONSTEXPR Ref() noexcept { PYRT_TRACK(this); }
  Ref(const Ref& other) noexcept : object_(other.object_) {
    Py_XINCREF(object_);
    PYRT_TRACK(this);
  }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) { PYRT_TRACK(this); }
  ~Ref() {
    PYRT_UNTRACK(this);
    Py_XDECREF(object_);
  }

  Ref& operator=(Ref other) noexcept {
    // The old object is released when `other` goes out of scope, after this Ref already holds
    // the new one, so a destructor that reenters sees a consistent state.
    std::swap(object_, other.object_);
    return *this;
  }

  // Takes over a new reference (may be null).
  static Ref steal(PyObject* object) noexcept {
    Ref ref;
    ref.object_ = object;
    return ref;
  }
  // Adds a reference to an object owned elsewhere (may be null).
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return steal(object);
  }
  static Ref borrow(Borrowed object) noexcept { return borrow(object.get()); }
  static Ref none() noexcept { return borrow(Py_None); }

  PyObject* get() const noexcept { return object_; }
  Borrowed borrowed() const noexcept { return Borrowed(object_); }
  operator Borrowed() const noexcept { return Borrowed(object_); }  // NOLINT: views are harmless
  explicit operator bool() const noexcept { return object_ != nullptr; }
  PyTypeObject* type() const noexcept { return Py_TYPE(object_); }
  bool is(Borrowed other) const noexcept { return object_ == other.get(); }
  bool is_none() const noexcept { return object_ == Py_None; }

  // Hands the reference to the caller, which becomes responsible for it.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset() noexcept { Py_CLEAR(object_); }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace pyrt
