// Python exceptions as C++ exceptions.
//
// PyError is the one C++ exception type meaning "a Python exception is raised"; it owns the
// exception object. C API failures are turned into it with require(). Every function that the
// interpreter calls is noexcept and ends in pyrt::boundary(), which turns whatever escaped back
// into a raised Python exception. Destructors and finalizers never throw; they report with
// PyErr_WriteUnraisable.
//
// A PyError also knows where it arose in the function it is leaving: the helpers that can fail
// take the caller's Where as their last parameter (free until an error is thrown), and the
// runtime turns it into that function's traceback entry. Helpers a body calls default it to the
// call's line; helpers only other helpers call (those in `detail`, those private to a file) take
// it without a default, so one that is not handed a Where does not compile. A helper that calls
// other helpers passes its own `where` on, so the location is always the line of the body that
// called the first helper; the tidy gate (scripts/where-forwarded.query) fails any call that lets
// a Where default inside a function that has one.
#pragma once

#include <exception>
#include <new>
#include <type_traits>

#include "pyrt/ref.hpp"
#include "pyrt/where.hpp"

namespace pyrt {

class PyError : public std::exception {
 public:
  // Takes the currently raised exception. When none is raised (a C API broke its contract),
  // a SystemError stands in for it.
  static PyError fetch() noexcept;
  // An exception of `type` with `message`, created as PyErr_SetString would.
  static PyError format(PyObject* type, const char* message) noexcept;

  explicit PyError(Ref exception) noexcept : exception_(std::move(exception)) {}

  Borrowed value() const noexcept { return exception_; }
  Ref take() noexcept { return std::move(exception_); }

  // Where the error arose in the function it is passing through; line 0 when unknown.
  const Where& site() const noexcept { return site_; }
  PyError& at(Where where) noexcept {
    site_ = where;
    return *this;
  }
  // The activation (a coroutine frame or call) whose traceback entry the exception already
  // carries, so forwarding it adds no second one.
  const void* entry_owner() const noexcept { return entry_owner_; }
  void set_entry_owner(const void* owner) noexcept { entry_owner_ = owner; }
  // Raises the exception in the interpreter again.
  void restore() noexcept { PyErr_SetRaisedException(exception_.release()); }

  bool matches(PyObject* type) const noexcept {
    return PyErr_GivenExceptionMatches(exception_.get(), type) != 0;
  }
  // True for the Exception family: what an `except Exception` clause catches. Cancellation,
  // KeyboardInterrupt, SystemExit and GeneratorExit are outside it.
  bool is_exception_family() const noexcept { return matches(PyExc_Exception); }

  const char* what() const noexcept override { return "Python exception"; }

 private:
  Ref exception_;
  Where site_ = {};
  const void* entry_owner_ = nullptr;
};

// Throws the raised exception as a PyError located at `where`. Inline, so that static analysis
// sees every throw.
[[noreturn]] inline void throw_error(Where where = Where::current()) {
  PyError error = PyError::fetch();
  error.at(where);
  throw error;
}

// A C API call that succeeded must leave no exception raised; debug builds stop at the first
// call that breaks this, where the fault is, rather than at the interpreter's later SystemError.
#ifdef NDEBUG
inline void check_no_error_set() noexcept {}
#else
void check_no_error_set() noexcept;
#endif

// Turns a C API result into an owned reference, or throws the raised exception.
inline Ref require(PyObject* result, Where where = Where::current()) {
  if (result == nullptr) throw_error(where);
  check_no_error_set();
  return Ref::steal(result);
}
inline int require(int status, Where where = Where::current()) {
  if (status < 0) throw_error(where);
  check_no_error_set();
  return status;
}

// For use inside `catch (PyError& error)`: returns the error when it belongs to the Exception
// family and rethrows anything else, so cancellation and interpreter exits pass through.
inline PyError exception_family(PyError& error) {
  if (!error.is_exception_family()) throw;
  return std::move(error);
}

// Raises the in-flight C++ exception as a Python exception. Only for catch (...) blocks.
void raise_current_exception() noexcept;

// The one way back from C++ to the interpreter: runs `body` and converts any C++ exception into
// a raised Python exception, returning `failure` instead.
template <class Body, class Result = std::invoke_result_t<Body>>
Result boundary(Body&& body, Result failure) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_exception();
    return failure;
  }
}

}  // namespace pyrt
