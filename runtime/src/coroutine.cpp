// The coroutine object: drives C++ coroutine bodies with the Python coroutine protocol.
//
// A chain of bodies awaiting each other (directly linked coroutine objects and C++ child tasks)
// is one C++ call stack driven by the outermost coroutine object that Python sends to. Only the
// innermost frame ever waits on a Python iterator; the driver sends to that iterator itself and
// resumes the frame when the iterator returns or raises.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "internal.hpp"
// After Python.h (through internal.hpp), which it needs.
#include <frameobject.h>

#include "pyrt/call.hpp"

namespace pyrt {

RuntimeTypes runtime_types;

// One activation of the driver (or a plain-code scope) on this thread.
struct Driver {
  Driver* outer = nullptr;
  CoroObject* current = nullptr;  // coroutine whose frame is executing; null in plain code
  Ref yielded;                    // what the frame that just suspended yields
  Ref outer_handled;              // sys.exc_info() of the caller, saved before the first change
  bool handled_changed = false;
};

namespace {

thread_local Driver* t_driver = nullptr;

CoroObject* as_coro(PyObject* object) {
  return reinterpret_cast<CoroObject*>(object);
}
PyObject* as_object(CoroObject* coro) {
  return reinterpret_cast<PyObject*>(coro);
}

bool chain_running(CoroObject* coro) {
  while (coro->f.linked_parent != nullptr) coro = coro->f.linked_parent;
  return coro->f.running;
}

CoroObject* innermost(CoroObject* coro) {
  while (coro->f.awaited_is_link) coro = as_coro(coro->f.awaited.get());
  return coro;
}

// The exception an except clause of this chain is handling, innermost first.
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

// A coroutine sent to directly while another one awaits it stops being linked: the parent then
// awaits it like any other iterator, as the interpreter would.
void detach_from_parent(CoroObject* coro) {
  if (CoroObject* parent = coro->f.linked_parent) {
    parent->f.awaited_is_link = false;
    coro->f.linked_parent = nullptr;
  }
}

void destroy_body(CoroObject* coro) noexcept {
  if (coro->f.body) {
    std::coroutine_handle<> body = coro->f.body;
    coro->f.body = {};
    coro->f.promise = nullptr;
    coro->f.suspended = {};
    body.destroy();
  }
}

class DriverScope {
 public:
  explicit DriverScope(CoroObject* root) noexcept : root_(root) {
    driver_.outer = t_driver;
    t_driver = &driver_;
    root_->f.running = true;
  }
  ~DriverScope() {
    if (driver_.handled_changed) PyErr_SetHandledException(driver_.outer_handled.get());
    root_->f.running = false;
    t_driver = driver_.outer;
  }
  DriverScope(const DriverScope&) = delete;
  DriverScope& operator=(const DriverScope&) = delete;

  // The awaited iterator of `target` is resumed on its behalf, inside whatever except clause
  // the chain is in, so Python code it runs sees that exception as handled.
  void expose_handled(CoroObject* target) {
    if (PyObject* handled = chain_handled(target)) set_handled(driver_, handled);
  }

  // Resumes `frame` of `target` and runs the chain until a frame suspends or the root ends.
  PySendResult run(CoroObject* target, std::coroutine_handle<> frame, PyObject** result) {
    driver_.current = target;
    if (PyObject* handled = chain_handled(target)) set_handled(driver_, handled);
    frame.resume();
    driver_.current = nullptr;
    if (driver_.yielded) {
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
  if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return false;
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  PyObject* inner = nullptr;
  if (PyObject_GetOptionalAttrString(exc.get(), "value", &inner) < 0) {
    PyErr_Clear();
  }
  value = inner != nullptr ? Ref::steal(inner) : Ref::none();
  return true;
}

// Closes a delegated-to iterator; returns the exception its close raised, if any.
Ref close_iterator(Borrowed iterator) {
  PyObject* close = nullptr;
  if (PyObject_GetOptionalAttrString(iterator.get(), "close", &close) < 0) {
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
  if (chain_running(self)) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return false;
  }
  if (self->f.state == CoroState::closed) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return false;
  }
  return true;
}

PySendResult send_impl(CoroObject* self, PyObject* value, PyObject** result) {
  *result = nullptr;
  if (self->f.state == CoroState::created && value != Py_None) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
    return PYGEN_ERROR;
  }
  if (!may_resume(self)) return PYGEN_ERROR;
  detach_from_parent(self);
  DriverScope scope(self);
  if (self->f.state == CoroState::created) {
    self->f.state = CoroState::started;
    return scope.run(self, self->f.body, result);
  }
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
  if (self->f.state == CoroState::created) {
    // The body never runs: the exception leaves the coroutine at its start.
    self->f.state = CoroState::closed;
    destroy_body(self);
    PyErr_SetRaisedException(exception.release());
    return PYGEN_ERROR;
  }
  DriverScope scope(self);
  CoroObject* target = innermost(self);
  Ref iterator = target->f.awaited;
  if (iterator) {
    if (PyErr_GivenExceptionMatches(exception.get(), PyExc_GeneratorExit)) {
      Ref failure = close_iterator(iterator);
      target->f.awaited.reset();
      target->f.inbox_error = failure ? std::move(failure) : std::move(exception);
    } else {
      PyObject* method = nullptr;
      if (PyObject_GetOptionalAttrString(iterator.get(), "throw", &method) < 0) {
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
  if (self->f.state == CoroState::created) {
    self->f.state = CoroState::closed;
    destroy_body(self);
    Py_RETURN_NONE;
  }
  if (self->f.state == CoroState::closed) Py_RETURN_NONE;
  if (chain_running(self)) {
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
      if (!failure) return nullptr;
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
  if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return nullptr;
}

// ---- Python entry points ----

PySendResult coro_am_send(PyObject* self, PyObject* value, PyObject** result) noexcept {
  try {
    return send_impl(as_coro(self), value, result);
  } catch (...) {
    raise_current_exception();
    *result = nullptr;
    return PYGEN_ERROR;
  }
}

// Turns a finished step into the method-call convention: the value rides on StopIteration.
PyObject* finish_step(PySendResult status, PyObject* result, bool iternext) {
  if (status != PYGEN_RETURN) return result;
  if (result == Py_None) {
    Py_DECREF(result);
    // As the interpreter does: __next__ leaves StopIteration implied, send raises it bare.
    if (!iternext) PyErr_SetNone(PyExc_StopIteration);
    return nullptr;
  }
  // Wrap explicitly, so a tuple or an exception instance arrives intact as the value.
  PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, result);
  Py_DECREF(result);
  if (stop != nullptr) PyErr_SetRaisedException(stop);
  return nullptr;
}

PyObject* coro_send(PyObject* self, PyObject* value) noexcept {
  PyObject* result = nullptr;
  PySendResult status = coro_am_send(self, value, &result);
  return finish_step(status, result, false);
}

PyObject* coro_iternext(PyObject* self) noexcept {
  PyObject* result = nullptr;
  PySendResult status = coro_am_send(self, Py_None, &result);
  return finish_step(status, result, true);
}

// The exception that throw(type[, value[, traceback]]) describes, as the interpreter builds it.
Ref exception_from_throw_args(PyObject* const* args, Py_ssize_t nargs) {
  PyObject* type = args[0];
  PyObject* value = nargs > 1 ? args[1] : nullptr;
  PyObject* traceback = nargs > 2 ? args[2] : nullptr;
  if (nargs > 1) {
    require(PyErr_WarnEx(PyExc_DeprecationWarning,
                         "the (type, exc, tb) signature of throw() is deprecated, "
                         "use the single-arg signature instead.",
                         1));
  }
  if (traceback == Py_None) traceback = nullptr;
  if (traceback != nullptr && !PyTraceBack_Check(traceback)) {
    throw PyError::format(PyExc_TypeError, "throw() third argument must be a traceback object");
  }
  Ref exception;
  if (PyExceptionClass_Check(type)) {
    if (value != nullptr && PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type))) {
      exception = Ref::borrow(value);
    } else if (value == nullptr || value == Py_None) {
      exception = require(PyObject_CallNoArgs(type));
    } else if (PyTuple_Check(value)) {
      exception = require(PyObject_Call(type, value, nullptr));
    } else {
      exception = require(PyObject_CallOneArg(type, value));
    }
    if (!PyExceptionInstance_Check(exception.get())) {
      PyErr_Format(PyExc_TypeError,
                   "calling %R should have returned an instance of BaseException, not %s", type,
                   Py_TYPE(exception.get())->tp_name);
      throw_error();
    }
  } else if (PyExceptionInstance_Check(type)) {
    if (value != nullptr && value != Py_None) {
      throw PyError::format(PyExc_TypeError, "instance exception may not have a separate value");
    }
    exception = Ref::borrow(type);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(type)->tp_name);
    throw_error();
  }
  if (traceback != nullptr) require(PyException_SetTraceback(exception.get(), traceback));
  return exception;
}

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return boundary(
      [&]() -> PyObject* {
        if (nargs < 1 || nargs > 3) {
          if (nargs < 1) {
            PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
          } else {
            PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
          }
          throw_error();
        }
        Ref exception = exception_from_throw_args(args, nargs);
        PyObject* result = nullptr;
        PySendResult status = throw_impl(as_coro(self), std::move(exception), &result);
        return finish_step(status, result, false);
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* coro_close(PyObject* self, PyObject*) noexcept {
  return boundary([&] { return close_impl(as_coro(self)); }, static_cast<PyObject*>(nullptr));
}

PyObject* coro_await(PyObject* self) noexcept {
  return Py_NewRef(self);
}

// CPython's own wording and route for an unawaited coroutine, so warning filters apply.
void warn_never_awaited(CoroObject* self) {
  PyObject* self_object = as_object(self);
  bool warned = false;
  PyObject* warnings = PyImport_ImportModule("warnings");
  if (warnings != nullptr) {
    PyObject* warn = nullptr;
    if (PyObject_GetOptionalAttrString(warnings, "_warn_unawaited_coroutine", &warn) >= 0 &&
        warn != nullptr) {
      PyObject* result = PyObject_CallOneArg(warn, self_object);
      if (result != nullptr || PyErr_ExceptionMatches(PyExc_RuntimeWarning)) warned = true;
      Py_XDECREF(result);
      Py_DECREF(warn);
    }
    Py_DECREF(warnings);
  }
  if (PyErr_Occurred()) PyErr_WriteUnraisable(self_object);
  if (!warned) {
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited",
                         self->f.qualname.get()) < 0) {
      PyErr_WriteUnraisable(self_object);
    }
  }
}

void coro_finalize(PyObject* self_object) noexcept {
  CoroObject* self = as_coro(self_object);
  PyObject* saved = PyErr_GetRaisedException();
  if (self->f.state == CoroState::created) {
    if (self->f.body) warn_never_awaited(self);
    self->f.state = CoroState::closed;
    destroy_body(self);
  } else if (self->f.state == CoroState::started && !chain_running(self)) {
    PyObject* result = coro_close(self_object, nullptr);
    if (result == nullptr) {
      PyErr_WriteUnraisable(self_object);
    } else {
      Py_DECREF(result);
    }
  }
  PyErr_SetRaisedException(saved);
}

void clear_links(CoroObject* self) noexcept {
  if (self->f.awaited_is_link) {
    as_coro(self->f.awaited.get())->f.linked_parent = nullptr;
    self->f.awaited_is_link = false;
  }
}

int coro_clear(PyObject* self_object) noexcept {
  CoroObject* self = as_coro(self_object);
  if (self->f.running) return 0;
  destroy_body(self);
  clear_links(self);
  self->f.awaited.reset();
  self->f.inbox_value.reset();
  self->f.inbox_error.reset();
  self->f.frame_object.reset();
  PyObject** args = self->args();
  for (Py_ssize_t i = 0; i < Py_SIZE(self); ++i) Py_CLEAR(args[i]);
  return 0;
}

int coro_traverse(PyObject* self_object, visitproc visit, void* arg) noexcept {
  CoroObject* self = as_coro(self_object);
  Py_VISIT(Py_TYPE(self_object));
  Py_VISIT(self->f.function.get());
  Py_VISIT(self->f.name.get());
  Py_VISIT(self->f.qualname.get());
  Py_VISIT(self->f.awaited.get());
  Py_VISIT(self->f.inbox_value.get());
  Py_VISIT(self->f.inbox_error.get());
  Py_VISIT(self->f.frame_object.get());
  PyObject** args = self->args();
  for (Py_ssize_t i = 0; i < Py_SIZE(self); ++i) Py_VISIT(args[i]);
  for (detail::LocalNode* node = self->f.locals.next; node != &self->f.locals; node = node->next) {
    Py_VISIT(node->ref.get());
  }
  for (const Handling* handling = self->f.handling; handling != nullptr;
       handling = handling->outer()) {
    Py_VISIT(handling->exception().get());
  }
  if (self->f.promise != nullptr) {
    Py_VISIT(self->f.promise->result.get());
    Py_VISIT(self->f.promise->error.get());
  }
  return 0;
}

void coro_dealloc(PyObject* self_object) noexcept {
  CoroObject* self = as_coro(self_object);
  PyObject_GC_UnTrack(self_object);
  PyObject_ClearWeakRefs(self_object);
  // Without a frame (finished, closed or cleared) there is nothing to finalize: skip the
  // finalizer's temporary resurrection, the common case.
  if (self->f.body) {
    PyObject_GC_Track(self_object);
    if (PyObject_CallFinalizerFromDealloc(self_object) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self_object);
  }
  destroy_body(self);
  clear_links(self);
  PyObject** args = self->args();
  for (Py_ssize_t i = 0; i < Py_SIZE(self); ++i) Py_CLEAR(args[i]);
  self->f.~CoroFields();
  PyTypeObject* type = Py_TYPE(self_object);
  type->tp_free(self_object);
  Py_DECREF(type);
}

PyObject* coro_repr(PyObject* self) noexcept {
  return PyUnicode_FromFormat("<coroutine object %S at %p>", as_coro(self)->f.qualname.get(), self);
}

PyObject* get_cr_await(PyObject* self, void*) noexcept {
  CoroObject* coro = as_coro(self);
  // Like the interpreter's, a running coroutine awaits nothing yet: its awaited object (if any)
  // is executing on its behalf.
  if (chain_running(coro) || !coro->f.awaited) Py_RETURN_NONE;
  return Py_NewRef(coro->f.awaited.get());
}

PyObject* get_cr_running(PyObject* self, void*) noexcept {
  CoroObject* coro = as_coro(self);
  return PyBool_FromLong(coro->f.state == CoroState::started && chain_running(coro));
}

PyObject* get_cr_suspended(PyObject* self, void*) noexcept {
  CoroObject* coro = as_coro(self);
  return PyBool_FromLong(coro->f.state == CoroState::started && !chain_running(coro));
}

PyObject* get_cr_frame(PyObject* self_object, void*) noexcept {
  CoroObject* self = as_coro(self_object);
  if (self->f.state == CoroState::closed) Py_RETURN_NONE;
  return boundary(
      [&]() -> PyObject* {
        if (!self->f.frame_object) {
          auto* function = reinterpret_cast<FunctionObject*>(self->f.function.get());
          Ref code = function_code(function);
          Ref globals = function->f.globals ? function->f.globals : require(PyDict_New());
          self->f.frame_object = Ref::steal(reinterpret_cast<PyObject*>(
              PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                          globals.get(), nullptr)));
          if (!self->f.frame_object) throw_error();
        }
        return Ref(self->f.frame_object).release();
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* get_cr_code(PyObject* self, void*) noexcept {
  return boundary(
      [&] {
        return function_code(reinterpret_cast<FunctionObject*>(as_coro(self)->f.function.get()))
            .release();
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* get_cr_origin(PyObject*, void*) noexcept {
  Py_RETURN_NONE;
}

PyObject* get_name(PyObject* self, void*) noexcept {
  return Ref(as_coro(self)->f.name).release();
}
PyObject* get_qualname(PyObject* self, void*) noexcept {
  return Ref(as_coro(self)->f.qualname).release();
}

int set_name(PyObject* self, PyObject* value, void*) noexcept {
  return set_string_attribute(as_coro(self)->f.name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
  return set_string_attribute(as_coro(self)->f.qualname, value, "__qualname__");
}

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O,
     PyDoc_STR("send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise "
               "StopIteration.")},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)),
     METH_FASTCALL,
     PyDoc_STR("throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, "
               "return next iterated value or raise\nStopIteration.")},
    {"close", coro_close, METH_NOARGS,
     PyDoc_STR("close() -> raise GeneratorExit inside coroutine.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_await", get_cr_await, nullptr, PyDoc_STR("object being awaited on, or None"), nullptr},
    {"cr_running", get_cr_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_cr_suspended, nullptr, nullptr, nullptr},
    {"cr_frame", get_cr_frame, nullptr, nullptr, nullptr},
    {"cr_code", get_cr_code, nullptr, nullptr, nullptr},
    {"cr_origin", get_cr_origin, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

std::string coroutine_type_name;

}  // namespace

// ---- Coroutine objects and their frames ----
// A body's C++ frame lives inside its coroutine object, after the arguments: one allocation per
// coroutine, as for the interpreter's own coroutines. make_coroutine runs the body's ramp with a
// reservation, and the ramp's frame allocation (its first step) creates the object. Frames of
// C++ child coroutines come from PyMem_Malloc.

namespace {

struct Reservation {
  PyObject* const* args;
  Py_ssize_t count;
  CoroObject* made = nullptr;
};
thread_local Reservation* t_reservation = nullptr;

// Precedes every frame, keeping the alignment operator new promises.
struct alignas(__STDCPP_DEFAULT_NEW_ALIGNMENT__) FrameHeader {
  bool in_object;  // freed with its coroutine object
};

std::size_t frame_offset(Py_ssize_t count) {
  std::size_t end = sizeof(CoroObject) + static_cast<std::size_t>(count) * sizeof(PyObject*);
  return (end + alignof(FrameHeader) - 1) / alignof(FrameHeader) * alignof(FrameHeader);
}

CoroObject* allocate_coroutine(const Reservation& reservation, std::size_t frame_size) {
  std::size_t extra =
      frame_offset(reservation.count) + sizeof(FrameHeader) + frame_size - sizeof(CoroObject);
  auto items = static_cast<Py_ssize_t>((extra + sizeof(PyObject*) - 1) / sizeof(PyObject*));
  CoroObject* raw = PyObject_GC_NewVar(CoroObject, runtime_types.coroutine, items);
  if (raw == nullptr) throw PyError::fetch();
  Py_SET_SIZE(raw, reservation.count);  // the variable part counts the arguments only
  new (&raw->f) CoroFields();
  raw->f.state = CoroState::closed;  // until the body exists, nothing to warn about or close
  PyObject** slots = raw->args();
  for (Py_ssize_t i = 0; i < reservation.count; ++i) slots[i] = Py_NewRef(reservation.args[i]);
  char* block = reinterpret_cast<char*>(raw) + frame_offset(reservation.count);
  new (block) FrameHeader{true};
  return raw;
}

}  // namespace

// ---- Frames and awaiters ----

namespace detail {

LocalNode* current_locals() noexcept {
  CoroObject* current = t_driver != nullptr ? t_driver->current : nullptr;
  return current != nullptr ? &current->f.locals : nullptr;
}

void* allocate_frame(std::size_t size) {
  if (Reservation* reservation = std::exchange(t_reservation, nullptr)) {
    CoroObject* made = allocate_coroutine(*reservation, size);
    reservation->made = made;
    return reinterpret_cast<char*>(made) + frame_offset(reservation->count) + sizeof(FrameHeader);
  }
  void* block = PyMem_Malloc(sizeof(FrameHeader) + size);
  if (block == nullptr) throw std::bad_alloc();
  new (block) FrameHeader{false};
  return static_cast<char*>(block) + sizeof(FrameHeader);
}

void free_frame(void* frame) noexcept {
  auto* header = reinterpret_cast<FrameHeader*>(static_cast<char*>(frame) - sizeof(FrameHeader));
  if (!header->in_object) PyMem_Free(header);
}

Ref store_unhandled_exception() noexcept {
  try {
    throw;
  } catch (PyError& error) {
    return error.take();
  } catch (...) {
    raise_current_exception();
    return PyError::fetch().take();
  }
}

// A StopIteration escaping a body would end the awaiting iterator protocol silently; like the
// interpreter, turn it into a RuntimeError that keeps it as the cause.
void convert_stop_iteration(Ref& error) {
  if (!error || !PyErr_GivenExceptionMatches(error.get(), PyExc_StopIteration)) return;
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

std::coroutine_handle<> body_finished(PromiseBase& promise) noexcept {
  CoroObject* coro = promise.owner;
  coro->f.state = CoroState::closed;
  convert_stop_iteration(promise.error);
  CoroObject* parent = coro->f.linked_parent;
  if (parent == nullptr) return std::noop_coroutine();
  coro->f.linked_parent = nullptr;
  parent->f.inbox_value = std::move(promise.result);
  parent->f.inbox_error = std::move(promise.error);
  t_driver->current = parent;
  return parent->f.suspended;
}

// Python's own routine for finding the iterator behind an awaitable.
Ref awaitable_iterator(Ref object) {
  PyTypeObject* type = object.type();
  if (PyCoro_CheckExact(object.get())) return object;
  if (PyGen_CheckExact(object.get())) {
    PyCodeObject* code = PyGen_GetCode(reinterpret_cast<PyGenObject*>(object.get()));
    bool iterable_coroutine = (code->co_flags & CO_ITERABLE_COROUTINE) != 0;
    Py_DECREF(code);
    if (iterable_coroutine) return object;
  }
  unaryfunc await_slot = type->tp_as_async != nullptr ? type->tp_as_async->am_await : nullptr;
  if (await_slot == nullptr) {
    PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", type->tp_name);
    throw_error();
  }
  Ref iterator = require(await_slot(object.get()));
  if (PyCoro_CheckExact(iterator.get())) {
    throw PyError::format(PyExc_TypeError, "__await__() returned a coroutine");
  }
  if (!PyIter_Check(iterator.get())) {
    PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                 iterator.type()->tp_name);
    throw_error();
  }
  return iterator;
}

bool PyAwaiter::await_ready() {
  Ref object = std::move(pending_);
  if (object.type() == runtime_types.coroutine) {
    CoroObject* child = as_coro(object.get());
    if (child->f.state == CoroState::created && child->f.linked_parent == nullptr) {
      pending_ = std::move(object);
      link_ = true;
      return false;
    }
  }
  Ref iterator;
  if (ends_on_stop_async_) {
    // As `async for` words it when __anext__ gave something that cannot be awaited.
    PyTypeObject* type = object.type();
    try {
      iterator = awaitable_iterator(std::move(object));
    } catch (PyError& error) {
      PyErr_Format(PyExc_TypeError, "'async for' received an invalid object from __anext__: %.100s",
                   type->tp_name);
      PyError wrapped = PyError::fetch();
      PyException_SetCause(wrapped.value().get(), Ref::borrow(error.value()).release());
      PyException_SetContext(wrapped.value().get(), error.take().release());
      throw wrapped;
    }
  } else {
    iterator = awaitable_iterator(std::move(object));
  }
  PyObject* step = nullptr;
  switch (PyIter_Send(iterator.get(), Py_None, &step)) {
    case PYGEN_RETURN:
      yielded_ = Ref::steal(step);  // the result, picked up by await_resume
      return true;
    case PYGEN_ERROR:
      if (ends_on_stop_async_ && PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) {
        PyErr_Clear();
        return true;  // exhausted: await_resume gives an empty Ref
      }
      throw_error();
    case PYGEN_NEXT:
      break;
  }
  pending_ = std::move(iterator);
  yielded_ = Ref::steal(step);
  return false;
}

std::coroutine_handle<> PyAwaiter::suspend(std::coroutine_handle<> handle) noexcept {
  CoroObject* owner = owner_;
  owner->f.suspended = handle;
  owner->f.awaited = std::move(pending_);
  if (link_) {
    CoroObject* child = as_coro(owner->f.awaited.get());
    owner->f.awaited_is_link = true;
    child->f.linked_parent = owner;
    child->f.state = CoroState::started;
    t_driver->current = child;
    return child->f.body;
  }
  owner->f.awaited_is_link = false;
  t_driver->yielded = std::move(yielded_);
  return std::noop_coroutine();
}

Ref PyAwaiter::await_resume() {
  if (owner_ == nullptr) return std::move(yielded_);  // completed without suspending
  CoroObject* owner = owner_;
  if (owner->f.awaited_is_link) {
    // The linked child has finished: free its frame now rather than with the object.
    CoroObject* child = as_coro(owner->f.awaited.get());
    owner->f.awaited_is_link = false;
    destroy_body(child);
  }
  owner->f.awaited.reset();
  Ref error = std::move(owner->f.inbox_error);
  if (error) {
    if (ends_on_stop_async_ && PyErr_GivenExceptionMatches(error.get(), PyExc_StopAsyncIteration)) {
      return Ref();
    }
    throw PyError(std::move(error));
  }
  return std::move(owner->f.inbox_value);
}

}  // namespace detail

// ---- Handled exceptions ----

Handling::Handling(const PyError& error) noexcept : exception_(Ref::borrow(error.value())) {
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

PlainScope::PlainScope() noexcept : saved_(t_driver) {
  // A null-current driver marks plain code; nothing else of it is used.
  static_assert(sizeof(Driver*) == sizeof(void*));
  t_driver = nullptr;
}
PlainScope::~PlainScope() {
  t_driver = static_cast<Driver*>(saved_);
}

// ---- Creation ----

Ref make_coroutine(FunctionObject* function, PyObject* const* args, Py_ssize_t count) {
  Borrowed views[16];
  for (Py_ssize_t i = 0; i < count; ++i) views[i] = Borrowed(args[i]);
  // The body's frame allocation (the first thing its ramp does) creates the object.
  Reservation reservation{args, count};
  t_reservation = &reservation;
  Task<Ref>::Handle handle;
  try {
    handle = function->f.spec->coroutine(views).release();
  } catch (...) {
    t_reservation = nullptr;
    if (reservation.made != nullptr) Py_DECREF(as_object(reservation.made));
    throw;
  }
  t_reservation = nullptr;
  CoroObject* raw = reservation.made;
  if (raw == nullptr) {  // the compiler placed the frame elsewhere: never expected
    handle.destroy();
    throw PyError::format(PyExc_SystemError, "coroutine frame not allocated by the runtime");
  }
  Ref coro = Ref::steal(as_object(raw));
  raw->f.function = Ref::borrow(reinterpret_cast<PyObject*>(function));
  raw->f.name = function->f.name;
  raw->f.qualname = function->f.qualname;
  raw->f.promise = &handle.promise();
  raw->f.promise->owner = raw;
  raw->f.promise->is_body = true;
  raw->f.body = handle;
  raw->f.state = CoroState::created;
  PyObject_GC_Track(as_object(raw));
  return coro;
}

void init_coroutine_type(const char* module) {
  coroutine_type_name = std::string(module) + ".coroutine";
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(coro_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(coro_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(coro_clear)},
      {Py_tp_finalize, reinterpret_cast<void*>(coro_finalize)},
      {Py_tp_repr, reinterpret_cast<void*>(coro_repr)},
      {Py_tp_iternext, reinterpret_cast<void*>(coro_iternext)},
      {Py_tp_methods, coro_methods},
      {Py_tp_getset, coro_getset},
      {Py_am_await, reinterpret_cast<void*>(coro_await)},
      {Py_am_send, reinterpret_cast<void*>(coro_am_send)},
      {Py_tp_doc, const_cast<char*>("A coroutine whose body is compiled C++.")},
      {0, nullptr},
  };
  PyType_Spec spec = {
      coroutine_type_name.c_str(),
      static_cast<int>(sizeof(CoroObject)),
      static_cast<int>(sizeof(PyObject*)),
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_WEAKREF |
          Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
      slots,
  };
  runtime_types.coroutine =
      reinterpret_cast<PyTypeObject*>(require(PyType_FromSpec(&spec)).release());
}

bool is_coroutine(Borrowed object) noexcept {
  return runtime_types.coroutine != nullptr && object.type() == runtime_types.coroutine;
}

// ---- async for ----

Ref async_iter(Borrowed iterable) {
  PyTypeObject* type = iterable.type();
  unaryfunc aiter = type->tp_as_async != nullptr ? type->tp_as_async->am_aiter : nullptr;
  if (aiter == nullptr) {
    PyErr_Format(PyExc_TypeError,
                 "'async for' requires an object with __aiter__ method, got %.100s", type->tp_name);
    throw_error();
  }
  Ref iterator = require(aiter(iterable.get()));
  PyTypeObject* iterator_type = iterator.type();
  if (iterator_type->tp_as_async == nullptr || iterator_type->tp_as_async->am_anext == nullptr) {
    PyErr_Format(PyExc_TypeError,
                 "'async for' received an object from __aiter__ that does not implement "
                 "__anext__: %.100s",
                 iterator_type->tp_name);
    throw_error();
  }
  return iterator;
}

Ref async_next(Borrowed iterator) {
  Ref awaitable = require(iterator.type()->tp_as_async->am_anext(iterator.get()));
  return awaitable;
}

Task<std::optional<Ref>> anext_value(Borrowed iterator) {
  Ref item = co_await anext(iterator);
  if (!item) co_return std::nullopt;
  co_return item;
}

}  // namespace pyrt
