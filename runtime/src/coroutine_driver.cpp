// The driver of coroutine bodies: the coroutine protocol (send, throw, close) over a chain of
// C++ frames, and the handled-exception state that except clauses in bodies see.
//
// A chain of bodies awaiting each other (directly linked coroutine objects and C++ child tasks)
// is one C++ call stack driven by the outermost coroutine object that Python sends to. Only the
// innermost frame ever waits on a Python iterator; the driver sends to that iterator itself and
// resumes the frame when the iterator returns or raises.
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "internal.hpp"
#include "pyrt/interned.hpp"

namespace pyrt {

thread_local Driver* t_driver = nullptr;
namespace detail {
thread_local constinit LocalNode* running_locals = nullptr;
thread_local constinit PromiseBase* next_frame = nullptr;
}  // namespace detail

void set_state(CoroObject* coro, FrameState to) noexcept {
#ifndef NDEBUG
  using enum FrameState;
  const FrameState from = coro->f.state;
  const bool allowed = (from == created && (to == executing || to == cleared)) ||
                       (from == suspended && (to == executing || to == cleared)) ||
                       (from == executing && (to == suspended || to == completed)) ||
                       (from == completed && to == cleared);
  if (!allowed) {
    std::fprintf(stderr, "pyrt: coroutine state %d cannot become %d\n", static_cast<int>(from),
                 static_cast<int>(to));
    std::abort();
  }
#endif
  coro->f.state = to;
}

CoroObject* innermost(CoroObject* coro) noexcept {
  while (coro->f.awaited_is_link) coro = as_coro(coro->f.awaited.get());
  return coro;
}

void destroy_body(CoroObject* coro) noexcept {
  if (coro->f.promise != nullptr) {
    std::coroutine_handle<> body = coro->f.promise->frame;
    coro->f.promise = nullptr;
    coro->f.suspended = nullptr;
    body.destroy();
  }
  // Without its frame the coroutine keeps nothing of its activation, as an interpreter frame
  // that clears: a done task that a host keeps does not keep the message it handled.
  PyObject** args = coro->args();
  for (Py_ssize_t i = 0; i < Py_SIZE(coro); ++i) Py_CLEAR(args[i]);
  coro->f.frame_object.reset();
}

void end_coroutine(CoroObject* coro) noexcept {
  if (coro->f.state != FrameState::cleared) set_state(coro, FrameState::cleared);
  destroy_body(coro);
}

namespace {

const Name value_name("value"), close_name("close"), throw_name("throw");

// PyObject_GetOptionalAttr by an interned name, failing as the C API does. Not by a str made
// afresh (PyObject_GetOptionalAttrString): the interpreter's attribute cache keeps the name
// object last looked up in each of its slots, so every such lookup could leave one behind.
int optional_attr(Borrowed object, const Name& name, PyObject** found) noexcept {
  *found = nullptr;
  return boundary([&] { return PyObject_GetOptionalAttr(object.get(), name.get().get(), found); },
                  -1);
}

// A coroutine sent to directly while another one awaits it stops being linked: the parent then
// awaits it like any other iterator, as the interpreter would.
void detach_from_parent(CoroObject* coro) {
  if (CoroObject* parent = coro->f.linked_parent) {
    parent->f.awaited_is_link = false;
    coro->f.linked_parent = nullptr;
  }
}

class DriverScope {
 public:
  explicit DriverScope(CoroObject* root) noexcept
      : root_(root), outer_locals_(detail::running_locals) {
    driver_.outer = t_driver;
    t_driver = &driver_;
    detail::running_locals = nullptr;
    for (CoroObject* coro = root_;; coro = as_coro(coro->f.awaited.get())) {
      set_state(coro, FrameState::executing);
      if (!coro->f.awaited_is_link) break;
    }
  }
  ~DriverScope() {
    if (driver_.handled_changed) PyErr_SetHandledException(driver_.outer_handled.get());
    // What still runs of the chain waits at its awaits now; what finished keeps its end.
    for (CoroObject* coro = root_; coro->f.state == FrameState::executing;
         coro = as_coro(coro->f.awaited.get())) {
      set_state(coro, FrameState::suspended);
      if (!coro->f.awaited_is_link) break;
    }
    t_driver = driver_.outer;
    detail::running_locals = outer_locals_;
  }
  DriverScope(const DriverScope&) = delete;
  DriverScope& operator=(const DriverScope&) = delete;

  // The awaited iterator of `target` is resumed on its behalf, inside whatever except clause
  // the chain is in, so Python code it runs sees that exception as handled.
  void expose_handled(CoroObject* target) {
    if (PyObject* handled = chain_handled(target)) set_handled(driver_, handled);
  }

  // Resumes `frame` of `target` and runs the chain until a frame suspends or the root ends. A
  // frame that hands control to another names it in next_frame and suspends; this loop resumes
  // it, so the C stack is the same for one step as for a thousand.
  PySendResult run(CoroObject* target, detail::PromiseBase* frame, PyObject** result) {
    set_running(driver_, target);
    if (PyObject* handled = chain_handled(target)) set_handled(driver_, handled);
    do {
      driver_.frame = frame;
      frame->frame.resume();
      frame = std::exchange(detail::next_frame, nullptr);
    } while (frame != nullptr);
    set_running(driver_, nullptr);
    if (driver_.yielded) {
#ifdef PYRT_TRACK_REFS
      check_suspended_frames(root_);
#endif
      *result = driver_.yielded.release();
      return PYGEN_NEXT;
    }
    detail::PromiseBase* promise = root_->f.promise;
    Ref value = std::move(promise->result);
    Ref error = std::move(promise->error);
    destroy_body(root_);
    if (error) {
      PyErr_SetRaisedException(error.release());
      *result = nullptr;
      return PYGEN_ERROR;
    }
    *result = value ? value.release() : Py_NewRef(Py_None);
    return PYGEN_RETURN;
  }

 private:
  CoroObject* root_;
  detail::LocalNode* outer_locals_;  // the running Locals of the code that sent to this chain
  Driver driver_;
};

// Takes the outcome of an awaited iterator's step into the frame's inbox.
void deliver(CoroObject* target, PySendResult status, PyObject* value) {
  target->f.awaited.reset();
  if (status == PYGEN_RETURN) {
    target->f.inbox_value = Ref::steal(value);
  } else {
    target->f.inbox_error = PyError::fetch().take();
  }
}

// The value of a raised StopIteration, or null (exception left raised) for anything else.
bool fetch_stop_iteration(Ref& value) {
  if (PyErr_ExceptionMatches(PyExc_StopIteration) == 0) return false;
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  PyObject* inner = nullptr;
  if (optional_attr(exc, value_name, &inner) < 0) {
    PyErr_Clear();
  }
  value = inner != nullptr ? Ref::steal(inner) : Ref::none();
  return true;
}

// Closes a delegated-to iterator; returns the exception its close raised, if any.
Ref close_iterator(Borrowed iterator) {
  PyObject* close = nullptr;
  if (optional_attr(iterator, close_name, &close) < 0) {
    PyErr_WriteUnraisable(iterator.get());
    return {};
  }
  if (close == nullptr) return {};
  Ref method = Ref::steal(close);
  Ref result = Ref::steal(PyObject_CallNoArgs(method.get()));
  if (!result) return PyError::fetch().take();
  return {};
}

// A running or finished coroutine cannot be resumed; raises as the interpreter does.
bool may_resume(CoroObject* self) {
  if (self->f.state == FrameState::executing) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return false;
  }
  if (has_ended(self)) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return false;
  }
  return true;
}

}  // namespace

PySendResult send_impl(CoroObject* self, PyObject* value, PyObject** result) {
  *result = nullptr;
  if (self->f.state == FrameState::created && value != Py_None) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
    return PYGEN_ERROR;
  }
  if (!may_resume(self)) return PYGEN_ERROR;
  detach_from_parent(self);
  const bool starting = self->f.state == FrameState::created;
  DriverScope scope(self);
  if (starting) return scope.run(self, self->f.promise, result);
  CoroObject* target = innermost(self);
  scope.expose_handled(target);
  PyObject* step = nullptr;
  PySendResult status = PyIter_Send(target->f.awaited.get(), value, &step);
  if (status == PYGEN_NEXT) {
    *result = step;
    return PYGEN_NEXT;
  }
  deliver(target, status, step);
  return scope.run(target, target->f.suspended, result);
}

// Throws `exception` into the coroutine, forwarding it to the awaited iterator as `yield from`
// does: GeneratorExit closes the iterator, anything else goes to its throw() when it has one.
PySendResult throw_impl(CoroObject* self, Ref exception, PyObject** result) {
  *result = nullptr;
  if (!may_resume(self)) return PYGEN_ERROR;
  detach_from_parent(self);
  if (self->f.state == FrameState::created) {
    // The body never runs: the exception leaves the coroutine at its start.
    end_coroutine(self);
    PyErr_SetRaisedException(exception.release());
    return PYGEN_ERROR;
  }
  DriverScope scope(self);
  CoroObject* target = innermost(self);
  Ref iterator = target->f.awaited;
  if (iterator) {
    if (PyErr_GivenExceptionMatches(exception.get(), PyExc_GeneratorExit) != 0) {
      Ref failure = close_iterator(iterator);
      target->f.awaited.reset();
      target->f.inbox_error = failure ? std::move(failure) : std::move(exception);
    } else {
      PyObject* method = nullptr;
      if (optional_attr(iterator, throw_name, &method) < 0) {
        target->f.awaited.reset();
        target->f.inbox_error = PyError::fetch().take();
      } else if (method == nullptr) {
        target->f.awaited.reset();
        target->f.inbox_error = std::move(exception);
      } else {
        Ref bound = Ref::steal(method);
        PyObject* step = PyObject_CallOneArg(bound.get(), exception.get());
        if (step != nullptr) {
          *result = step;
          return PYGEN_NEXT;
        }
        target->f.awaited.reset();
        Ref value;
        if (fetch_stop_iteration(value)) {
          target->f.inbox_value = std::move(value);
        } else {
          target->f.inbox_error = PyError::fetch().take();
        }
      }
    }
  } else {
    target->f.inbox_error = std::move(exception);
  }
  return scope.run(target, target->f.suspended, result);
}

PyObject* close_impl(CoroObject* self) {
  if (self->f.state == FrameState::created) {
    end_coroutine(self);
    Py_RETURN_NONE;
  }
  if (has_ended(self)) Py_RETURN_NONE;
  if (self->f.state == FrameState::executing) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return nullptr;
  }
  detach_from_parent(self);
  PyObject* step = nullptr;
  PySendResult status;
  {
    DriverScope scope(self);
    CoroObject* target = innermost(self);
    Ref failure;
    if (target->f.awaited) {
      failure = close_iterator(target->f.awaited);
      target->f.awaited.reset();
    }
    if (!failure) {
      failure = Ref::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
      // Without memory for GeneratorExit the frame still ends: it unwinds with the MemoryError.
      if (!failure) failure = PyError::fetch().take();
    }
    target->f.inbox_error = std::move(failure);
    status = scope.run(target, target->f.suspended, &step);
  }
  if (status == PYGEN_NEXT) {
    Py_DECREF(step);
    PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    return nullptr;
  }
  if (status == PYGEN_RETURN) return step;
  if (PyErr_ExceptionMatches(PyExc_GeneratorExit) != 0) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return nullptr;
}

namespace {
// The plain function whose code is executing on this thread (inside its PlainScope), or null.
thread_local constinit const FunctionObject* running_plain_function = nullptr;
}  // namespace

PlainScope::PlainScope(const FunctionObject* function) noexcept
    : saved_(t_driver),
      saved_locals_(detail::running_locals),
      saved_function_(running_plain_function) {
  running_plain_function = function;
  // A null-current driver marks plain code; nothing else of it is used.
  static_assert(sizeof(Driver*) == sizeof(void*));
  t_driver = nullptr;
  detail::running_locals = nullptr;
}
PlainScope::~PlainScope() {
  running_plain_function = saved_function_;
  t_driver = static_cast<Driver*>(saved_);
  detail::running_locals = saved_locals_;
}

const char* running_function_name() noexcept {
  const Driver* driver = t_driver;
  if (driver != nullptr && driver->current != nullptr && driver->frame != nullptr) {
    const detail::PromiseBase& frame = *driver->frame;
    if (frame.step_name != nullptr) return frame.step_name;
    const PyObject* function =
        frame.entry_function != nullptr ? frame.entry_function : frame.owner->f.function.get();
    return reinterpret_cast<const FunctionObject*>(function)->f.spec->name;
  }
  return running_plain_function != nullptr ? running_plain_function->f.spec->name : nullptr;
}

namespace detail {

#ifndef NDEBUG
LocalNode* driver_locals() noexcept {
  CoroObject* current = t_driver != nullptr ? t_driver->current : nullptr;
  return current != nullptr ? &current->f.locals : nullptr;
}
#endif

PromiseBase* body_finished(PromiseBase& promise) noexcept {
  CoroObject* coro = promise.owner;
  set_state(coro, FrameState::completed);
  convert_stop_iteration(promise.error);
  CoroObject* parent = coro->f.linked_parent;
  if (parent == nullptr) return nullptr;
  coro->f.linked_parent = nullptr;
  parent->f.inbox_value = std::move(promise.result);
  parent->f.inbox_error = std::move(promise.error);
  set_running(*t_driver, parent);
  return parent->f.suspended;
}

}  // namespace detail

}  // namespace pyrt
