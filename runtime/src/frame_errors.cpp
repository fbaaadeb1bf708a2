// Exceptions in frames: what the except clauses of bodies show as handled to the Python code
// they call, and what a frame ends with when an exception leaves it.
#include <cstdlib>
#include <utility>

#include "internal.hpp"

namespace pyrt {

PyObject* chain_handled(CoroObject* coro) {
  for (; coro != nullptr; coro = coro->f.linked_parent) {
    if (coro->f.handling != nullptr) return coro->f.handling->exception().get();
  }
  return nullptr;
}

void set_handled(Driver& driver, PyObject* exception) {
  if (!driver.handled_changed) {
    driver.outer_handled = Ref::steal(PyErr_GetHandledException());
    driver.handled_changed = true;
  }
  PyErr_SetHandledException(exception);
}

Handling::Handling(Borrowed exception) noexcept : exception_(Ref::borrow(exception)) {
  if (!exception_) return;
  Driver* driver = t_driver;
  owner_ = driver != nullptr ? driver->current : nullptr;
  if (owner_ != nullptr) {
    outer_ = owner_->f.handling;
    owner_->f.handling = this;
    set_handled(*driver, exception_.get());
  } else {
    saved_ = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(exception_.get());
  }
}

Handling::~Handling() {
  if (!exception_) return;
  if (owner_ == nullptr) {
    PyErr_SetHandledException(saved_.get());
    return;
  }
  owner_->f.handling = outer_;
  // Only touch the thread's state when this frame is the one running (not when a suspended
  // frame is being destroyed from elsewhere).
  Driver* driver = t_driver;
  if (driver != nullptr && driver->current == owner_) {
    PyObject* handled = chain_handled(owner_);
    PyErr_SetHandledException(handled != nullptr ? handled : driver->outer_handled.get());
  }
}

void Caught::raise() {
  if (!exception_) std::abort();  // only called with an exception held (raise_if_any checks)
  PyError error(exception_->take());
  exception_.reset();
  error.set_entry_owner(entry_owner_);
  throw error;
}

namespace detail {

Ref store_unhandled_exception(PromiseBase& promise) noexcept {
  try {
    throw;
  } catch (PyError& error) {
    add_traceback_entry(error, promise);
    return error.take();
  } catch (...) {
    raise_current_exception();
    PyError error = PyError::fetch();
    add_traceback_entry(error, promise);
    return error.take();
  }
}

Caught GuardAwaiter::await_resume() {
  PromiseBase& child = *step_;
  if (!child.error) return {};
  PyError error(std::move(child.error));
  error.at(where_);
  if (exception_family_only_ && !error.is_exception_family()) throw error;
  add_traceback_entry(error, *parent_);
  return Caught(std::move(error));
}

// A StopIteration escaping a body would end the awaiting iterator protocol silently; like the
// interpreter, turn it into a RuntimeError that keeps it as the cause.
void convert_stop_iteration(Ref& error) {
  if (!error || PyErr_GivenExceptionMatches(error.get(), PyExc_StopIteration) == 0) return;
  Ref message = Ref::steal(PyUnicode_FromString("coroutine raised StopIteration"));
  PyObject* replacement =
      message ? PyObject_CallOneArg(PyExc_RuntimeError, message.get()) : nullptr;
  if (replacement == nullptr) {
    error = PyError::fetch().take();
    return;
  }
  PyException_SetCause(replacement, Py_NewRef(error.get()));
  PyException_SetContext(replacement, Py_NewRef(error.get()));
  error = Ref::steal(replacement);
}

}  // namespace detail

}  // namespace pyrt
