// The Python coroutine type: its entry points, introspection and lifecycle (finalisation,
// collection, deallocation). Its objects and their frames are made in frame_allocation.cpp.
#include <string>

#include "internal.hpp"
// After Python.h (through internal.hpp), which it needs.
#include <frameobject.h>

#include "pyrt/call.hpp"
#include "pyrt/compat.hpp"
#include "pyrt/interned.hpp"

namespace pyrt {

RuntimeTypes runtime_types;

namespace {

// ---- Python entry points ----

PySendResult coro_am_send(PyObject* self, PyObject* value, PyObject** result) noexcept {
  *result = nullptr;
  return boundary([&] { return send_impl(as_coro(self), value, result); }, PYGEN_ERROR);
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

// The await expression refuses a coroutine suspended in an await of its own: someone else
// awaits it already. As for native coroutines, __await__() itself does not check.
PyObject* coro_await(PyObject* self) noexcept {
  CoroObject* coro = as_coro(self);
  if (coro->f.awaited && coro->f.state == FrameState::suspended) {
    PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
    return nullptr;
  }
  return Py_NewRef(self);
}

PyObject* coro_dunder_await(PyObject* self, PyObject*) noexcept {
  return Py_NewRef(self);
}

// Refused in every pickle protocol, as for native coroutines (copyreg would otherwise try to
// rebuild a heap type's instance in protocols 0 and 1).
PyObject* coro_reduce(PyObject* self, PyObject*) noexcept {
  PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(self)->tp_name);
  return nullptr;
}

// CPython's own wording and route for an unawaited coroutine, so warning filters apply.
void warn_never_awaited(CoroObject* self) noexcept {
  PyObject* self_object = as_object(self);
  boundary(
      [&] {
        compat::warn_unawaited(Borrowed(self_object));
        return true;
      },
      false);
  if (PyErr_Occurred()) PyErr_WriteUnraisable(self_object);
}

void coro_finalize(PyObject* self_object) noexcept {
  CoroObject* self = as_coro(self_object);
  PyObject* saved = PyErr_GetRaisedException();
  if (self->f.state == FrameState::created) {
    if (self->f.promise != nullptr) warn_never_awaited(self);
    end_coroutine(self);
  } else if (self->f.state == FrameState::suspended) {
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
  if (self->f.state == FrameState::executing) return 0;
  // Without its frame the coroutine is finished: resuming it later raises as for a native one.
  end_coroutine(self);
  clear_links(self);
  if (CoroObject* parent = self->f.linked_parent) {
    // The parent now awaits a finished coroutine, like any other iterator.
    parent->f.awaited_is_link = false;
    self->f.linked_parent = nullptr;
  }
  self->f.awaited.reset();
  self->f.inbox_value.reset();
  self->f.inbox_error.reset();
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
  if (self->f.promise != nullptr) {
    PyObject_GC_Track(self_object);
    if (PyObject_CallFinalizerFromDealloc(self_object) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self_object);
  }
  destroy_body(self);
  clear_links(self);
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
  if (coro->f.state != FrameState::suspended || !coro->f.awaited) Py_RETURN_NONE;
  return Py_NewRef(coro->f.awaited.get());
}

PyObject* get_cr_running(PyObject* self, void*) noexcept {
  CoroObject* coro = as_coro(self);
  return boolean(coro->f.state == FrameState::executing).release();
}

PyObject* get_cr_suspended(PyObject* self, void*) noexcept {
  CoroObject* coro = as_coro(self);
  return boolean(coro->f.state == FrameState::suspended).release();
}

PyObject* get_cr_frame(PyObject* self_object, void*) noexcept {
  CoroObject* self = as_coro(self_object);
  if (has_ended(self)) Py_RETURN_NONE;
  return boundary(
      [&]() -> PyObject* {
        if (!self->f.frame_object) {
          auto* function = reinterpret_cast<FunctionObject*>(self->f.function.get());
          Ref code = function_code(function);
          Ref globals = function->f.globals ? function->f.globals : require(PyDict_New());
          // The frame's locals are the arguments, as a debugger shows them for a Python frame.
          Ref locals = require(PyDict_New());
          PyObject** args = self->args();
          for (Py_ssize_t i = 0; i < Py_SIZE(self); ++i) {
            if (args[i] == nullptr) continue;
            PyObject* name = PyTuple_GET_ITEM(function->f.param_names.get(), i);
            require(PyDict_SetItem(locals.get(), name, args[i]));
          }
          self->f.frame_object = Ref::steal(reinterpret_cast<PyObject*>(
              PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                          globals.get(), locals.get())));
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

PyObject* get_cr_origin(PyObject* self, void*) noexcept {
  const Ref& origin = as_coro(self)->f.origin;
  return Py_NewRef(origin ? origin.get() : Py_None);
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
    // Replaces the slot's wrapper, which would refuse as the await expression does.
    {"__await__", coro_dunder_await, METH_NOARGS | METH_COEXIST,
     PyDoc_STR("Return an iterator to be used in await expression.")},
    {"__reduce__", coro_reduce, METH_NOARGS, nullptr},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, PyDoc_STR("See PEP 585")},
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
      reinterpret_cast<PyTypeObject*>(detail::keep(PyType_FromSpec(&spec), Where::current()));
}

}  // namespace pyrt
