// Awaiting Python objects from coroutine bodies, and `async for`.
#include "internal.hpp"
#include "pyrt/interned.hpp"

namespace pyrt {

namespace detail {

Ref awaitable_iterator(Ref object, Where where) {
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
    throw_error(where);
  }
  Ref iterator = require(await_slot(object.get()), where);
  if (PyCoro_CheckExact(iterator.get())) {
    PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
    throw_error(where);
  }
  if (PyIter_Check(iterator.get()) == 0) {
    PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                 iterator.type()->tp_name);
    throw_error(where);
  }
  return iterator;
}

namespace {

const Name cr_await("cr_await");
// The native coroutine type's `cr_await` descriptor, found once per interpreter lifetime: the
// type is immutable, so the attribute lookup on a native coroutine always ends at it.
detail::PerInterpreter cr_await_descriptor;

// What `coroutine.cr_await` gives (a native coroutine's): None when it awaits nothing.
Ref native_coroutine_awaited(Borrowed coroutine, Where where) {
  if (!cr_await_descriptor.current()) {
    Ref dict = require(PyType_GetDict(&PyCoro_Type), where);
    PyObject* found = nullptr;
    require(PyDict_GetItemRef(dict.get(), cr_await.get().get(), &found), where);
    cr_await_descriptor.hold(found != nullptr ? found : Py_NewRef(Py_None), where);
  }
  PyObject* descriptor = cr_await_descriptor.object().get();
  descrgetfunc get = Py_TYPE(descriptor)->tp_descr_get;
  if (get == nullptr) return getattr(coroutine, cr_await, where);  // no descriptor found
  return require(get(descriptor, coroutine.get(), reinterpret_cast<PyObject*>(&PyCoro_Type)),
                 where);
}

// As the await expression does: a native coroutine suspended in an await of its own is awaited
// by someone else already.
void refuse_if_being_awaited(Borrowed coroutine, Where where) {
  Ref awaited = native_coroutine_awaited(coroutine, where);
  if (awaited && !awaited.is_none()) {
    PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
    throw_error(where);
  }
}
}  // namespace

// Every error of the awaited object arises, for the awaiting function, at its co_await.
bool PyAwaiter::await_ready() {
  Ref object = std::move(pending_);
  if (!object) return true;  // an exhausted async iterator: await_resume gives an empty Ref
  if (object.type() == runtime_types.coroutine) {
    CoroObject* child = as_coro(object.get());
    if (child->f.state == FrameState::created && child->f.linked_parent == nullptr) {
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
      iterator = awaitable_iterator(std::move(object), where_);
    } catch (PyError& error) {
      PyErr_Format(PyExc_TypeError, "'async for' received an invalid object from __anext__: %.100s",
                   type->tp_name);
      PyError wrapped = PyError::fetch();
      wrapped.at(where_);
      PyException_SetCause(wrapped.value().get(), Ref::borrow(error.value()).release());
      PyException_SetContext(wrapped.value().get(), error.take().release());
      throw wrapped;
    }
  } else {
    if (PyCoro_CheckExact(object.get())) refuse_if_being_awaited(object, where_);
    iterator = awaitable_iterator(std::move(object), where_);
  }
  PyObject* step = nullptr;
  switch (PyIter_Send(iterator.get(), Py_None, &step)) {
    case PYGEN_RETURN:
      yielded_ = Ref::steal(step);  // the result, picked up by await_resume
      return true;
    case PYGEN_ERROR:
      if (ends_on_stop_async_ && PyErr_ExceptionMatches(PyExc_StopAsyncIteration) != 0) {
        PyErr_Clear();
        return true;  // exhausted: await_resume gives an empty Ref
      }
      throw_error(where_);
    case PYGEN_NEXT:
      break;
  }
  pending_ = std::move(iterator);
  yielded_ = Ref::steal(step);
  return false;
}

void PyAwaiter::suspend(PromiseBase& frame) noexcept {
  CoroObject* owner = owner_;
  owner->f.suspended = &frame;
  owner->f.awaited = std::move(pending_);
  if (link_) {
    CoroObject* child = as_coro(owner->f.awaited.get());
    owner->f.awaited_is_link = true;
    child->f.linked_parent = owner;
    set_state(child, FrameState::executing);
    set_running(*t_driver, child);
    next_frame = child->f.promise;
    return;
  }
  owner->f.awaited_is_link = false;
  t_driver->yielded = std::move(yielded_);
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
    if (ends_on_stop_async_ &&
        PyErr_GivenExceptionMatches(error.get(), PyExc_StopAsyncIteration) != 0) {
      return {};
    }
    PyError failure(std::move(error));
    failure.at(where_);
    throw failure;
  }
  return std::move(owner->f.inbox_value);
}

}  // namespace detail

// ---- async for ----

Ref async_iter(Borrowed iterable, Where where) {
  PyTypeObject* type = iterable.type();
  unaryfunc aiter = type->tp_as_async != nullptr ? type->tp_as_async->am_aiter : nullptr;
  if (aiter == nullptr) {
    PyErr_Format(PyExc_TypeError,
                 "'async for' requires an object with __aiter__ method, got %.100s", type->tp_name);
    throw_error(where);
  }
  Ref iterator = require(aiter(iterable.get()), where);
  PyTypeObject* iterator_type = iterator.type();
  if (iterator_type->tp_as_async == nullptr || iterator_type->tp_as_async->am_anext == nullptr) {
    PyErr_Format(PyExc_TypeError,
                 "'async for' received an object from __aiter__ that does not implement "
                 "__anext__: %.100s",
                 iterator_type->tp_name);
    throw_error(where);
  }
  return iterator;
}

Ref async_next(Borrowed iterator, Where where) {
  PyTypeObject* type = iterator.type();
  if (type->tp_as_async == nullptr || type->tp_as_async->am_anext == nullptr) {
    // As the builtin anext() says it; async_iter() never returns such an object.
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not an async iterator", type->tp_name);
    throw_error(where);
  }
  Ref awaitable = Ref::steal(type->tp_as_async->am_anext(iterator.get()));
  // `async for` also ends when __anext__ itself raises StopAsyncIteration.
  if (!awaitable && PyErr_ExceptionMatches(PyExc_StopAsyncIteration) != 0) {
    PyErr_Clear();
    return {};
  }
  if (!awaitable) throw_error(where);
  return awaitable;
}

Task<std::optional<Ref>, "anext_value"> anext_value(Borrowed iterator) {
  Ref item = co_await anext(iterator);
  if (!item) co_return std::nullopt;
  co_return item;
}

}  // namespace pyrt
