// The Python coroutine type: its entry points, introspection and lifecycle (finalisation,
// collection, deallocation), and the coroutine objects that hold their bodies' frames.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "internal.hpp"
// After Python.h (through internal.hpp), which it needs.
#include <frameobject.h>

#include "pyrt/call.hpp"
#include "pyrt/compat.hpp"

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
  const bool warned =
      boundary([&] { return compat::warn_unawaited(Borrowed(self_object)); }, false);
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
  if (self->f.state == FrameState::created) {
    if (self->f.body) warn_never_awaited(self);
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
  if (self->f.body) {
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

// Precedes every frame, keeping the alignment operator new promises.
struct alignas(__STDCPP_DEFAULT_NEW_ALIGNMENT__) FrameHeader {
  bool in_object;               // freed with its coroutine object
  std::uint8_t size_class = 0;  // a recycled child frame's block size, in granules; 0: not recycled
  std::size_t size = 0;         // of the frame that follows
};

// Blocks of finished child frames, kept for the next ones: a step awaited for every message
// would otherwise cost an allocation and a free each time. A few blocks per size, per thread (a
// thread that ends leaves its few behind); raw memory, so a block outlives any one interpreter.
// AddressSanitizer builds do without, so that a frame used after its end is still reported.
struct FrameCache {
  static constexpr std::size_t granule = 128;
  static constexpr std::size_t sizes = 8;  // blocks up to 1 KiB
  static constexpr std::size_t depth = 4;
  void* blocks[sizes][depth];
  std::uint8_t count[sizes];
};
#if defined(__SANITIZE_ADDRESS__)
constexpr bool recycle_frames = false;
#else
constexpr bool recycle_frames = true;
#endif

// One thread-local block, so that a frame's allocation reads the thread's storage once. Zero at
// first (no initializers, so no guarded initialisation on each access).
struct FrameAllocation {
  Reservation* reservation;  // set while make_coroutine runs a body's ramp
  FrameCache cache;
};
thread_local FrameAllocation t_frames;

std::size_t frame_offset(Py_ssize_t count) {
  std::size_t end = sizeof(CoroObject) + static_cast<std::size_t>(count) * sizeof(PyObject*);
  return (end + alignof(FrameHeader) - 1) / alignof(FrameHeader) * alignof(FrameHeader);
}

CoroObject* allocate_coroutine(const Reservation& reservation, std::size_t frame_size) {
  std::size_t extra =
      frame_offset(reservation.count) + sizeof(FrameHeader) + frame_size - sizeof(CoroObject);
  auto items = static_cast<Py_ssize_t>((extra + sizeof(PyObject*) - 1) / sizeof(PyObject*));
  if (runtime_types.coroutine == nullptr) no_runtime_types();
  CoroObject* raw = PyObject_GC_NewVar(CoroObject, runtime_types.coroutine, items);
  if (raw == nullptr) throw PyError::fetch();
  Py_SET_SIZE(raw, reservation.count);  // the variable part counts the arguments only
  new (&raw->f) CoroFields();
  raw->f.state = FrameState::cleared;  // until the body exists, nothing to warn about or close
  PyObject** slots = raw->args();
  for (Py_ssize_t i = 0; i < reservation.count; ++i) slots[i] = Py_NewRef(reservation.args[i]);
  char* block = reinterpret_cast<char*>(raw) + frame_offset(reservation.count);
  new (block) FrameHeader{true, 0, frame_size};
  return raw;
}

#ifdef PYRT_TRACK_REFS
// Debug builds: the Refs made while a coroutine body runs, and the C++ child frames with the
// coroutine they were made in. Plain pointers in never-destroyed containers: they own nothing.
std::unordered_set<const void*>& tracked_refs() {
  static auto* refs = new std::unordered_set<const void*>();
  return *refs;
}
struct ChildFrame {
  std::size_t size;
  CoroObject* owner;
};
std::unordered_map<const void*, ChildFrame>& child_frames() {
  static auto* frames = new std::unordered_map<const void*, ChildFrame>();
  return *frames;
}
CoroObject* running_coroutine() noexcept {
  return t_driver != nullptr ? t_driver->current : nullptr;
}
#endif

}  // namespace

namespace detail {

void* allocate_frame(std::size_t size) {
  FrameAllocation& state = t_frames;
  if (Reservation* reservation = std::exchange(state.reservation, nullptr)) {
    CoroObject* made = allocate_coroutine(*reservation, size);
    reservation->made = made;
    return reinterpret_cast<char*>(made) + frame_offset(reservation->count) + sizeof(FrameHeader);
  }
  std::size_t granules =
      (sizeof(FrameHeader) + size + FrameCache::granule - 1) / FrameCache::granule;
  if (recycle_frames && granules <= FrameCache::sizes) {
    FrameCache& cache = state.cache;
    std::uint8_t& count = cache.count[granules - 1];
    void* block = count > 0 ? cache.blocks[granules - 1][--count]
                            : PyMem_RawMalloc(granules * FrameCache::granule);
    if (block == nullptr) throw std::bad_alloc();
    new (block) FrameHeader{false, static_cast<std::uint8_t>(granules), size};
    void* frame = static_cast<char*>(block) + sizeof(FrameHeader);
#ifdef PYRT_TRACK_REFS
    child_frames()[frame] = {size, running_coroutine()};
#endif
    return frame;
  }
  void* block = PyMem_Malloc(sizeof(FrameHeader) + size);
  if (block == nullptr) throw std::bad_alloc();
  new (block) FrameHeader{false, 0, size};
  void* frame = static_cast<char*>(block) + sizeof(FrameHeader);
#ifdef PYRT_TRACK_REFS
  child_frames()[frame] = {size, running_coroutine()};
#endif
  return frame;
}

void free_frame(void* frame) noexcept {
  auto* header = reinterpret_cast<FrameHeader*>(static_cast<char*>(frame) - sizeof(FrameHeader));
  if (header->in_object) return;
#ifdef PYRT_TRACK_REFS
  child_frames().erase(frame);
#endif
  if (std::uint8_t granules = header->size_class) {
    FrameCache& cache = t_frames.cache;
    std::uint8_t& count = cache.count[granules - 1];
    if (count < FrameCache::depth) {
      cache.blocks[granules - 1][count++] = header;
    } else {
      PyMem_RawFree(header);
    }
    return;
  }
  PyMem_Free(header);
}

#ifdef PYRT_TRACK_REFS
void track_ref(const void* ref) noexcept {
  if (running_coroutine() != nullptr) tracked_refs().insert(ref);
}

void untrack_ref(const void* ref) noexcept {
  auto& refs = tracked_refs();
  if (!refs.empty()) refs.erase(ref);
}
#endif

}  // namespace detail

#ifdef PYRT_TRACK_REFS
void check_suspended_frames(CoroObject* root) noexcept {
  struct Range {
    const char* begin;
    const char* end;
    CoroObject* coro;
  };
  std::vector<Range> ranges;
  std::unordered_set<const void*> visible;  // what tp_traverse visits
  for (CoroObject* coro = root;; coro = as_coro(coro->f.awaited.get())) {
    if (coro->f.body) {
      const char* block = reinterpret_cast<const char*>(coro) + frame_offset(Py_SIZE(coro));
      const auto* header = reinterpret_cast<const FrameHeader*>(block);
      const char* frame = block + sizeof(FrameHeader);
      ranges.push_back({frame, frame + header->size, coro});
    }
    for (const auto& [frame, child] : child_frames()) {
      const auto* begin = static_cast<const char*>(frame);
      if (child.owner == coro) ranges.push_back({begin, begin + child.size, coro});
    }
    for (detail::LocalNode* node = coro->f.locals.next; node != &coro->f.locals;
         node = node->next) {
      visible.insert(&node->ref);
    }
    for (const Handling* handling = coro->f.handling; handling != nullptr;
         handling = handling->outer()) {
      visible.insert(&handling->exception_ref());
    }
    if (coro->f.promise != nullptr) {
      visible.insert(&coro->f.promise->result);
      visible.insert(&coro->f.promise->error);
    }
    if (!coro->f.awaited_is_link) break;
  }
  for (const void* address : tracked_refs()) {
    const auto* ref = static_cast<const Ref*>(address);
    if (!*ref || visible.contains(address)) continue;
    for (const Range& range : ranges) {
      const auto* at = static_cast<const char*>(address);
      if (at < range.begin || at >= range.end) continue;
      const char* name = PyUnicode_Check(range.coro->f.qualname.get())
                             ? PyUnicode_AsUTF8(range.coro->f.qualname.get())
                             : nullptr;
      std::fprintf(stderr,
                   "pyrt: coroutine %s suspended holding a plain owning reference to a '%s' "
                   "object at offset %td of a frame, invisible to the cycle collector; hold it "
                   "in a pyrt::Local\n",
                   name != nullptr ? name : "?", ref->type()->tp_name, at - range.begin);
      std::abort();
    }
  }
}
#endif

// ---- Creation ----

namespace {
// Where a coroutine is made, as cr_origin records it: (file, line, function) of at most `depth`
// calling frames, innermost first.
Ref creation_origin(int depth) {
  Ref frames = require(PyList_New(0));
  Ref frame = Ref::borrow(reinterpret_cast<PyObject*>(PyEval_GetFrame()));
  for (int i = 0; frame && i < depth; ++i) {
    auto* current = reinterpret_cast<PyFrameObject*>(frame.get());
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(current)));
    auto* code_object = reinterpret_cast<PyCodeObject*>(code.get());
    Ref entry = require(Py_BuildValue("OiO", code_object->co_filename,
                                      PyFrame_GetLineNumber(current), code_object->co_name));
    require(PyList_Append(frames.get(), entry.get()));
    frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(current)));
  }
  return require(PyList_AsTuple(frames.get()));
}
}  // namespace

Ref make_coroutine(FunctionObject* function, PyObject* const* args, Py_ssize_t count) {
  Borrowed views[max_params];  // count <= max_params: make_function checked the spec
  for (Py_ssize_t i = 0; i < count; ++i) views[i] = Borrowed(args[i]);
  // The body's frame allocation (the first thing its ramp does) creates the object.
  Reservation reservation{args, count};
  t_frames.reservation = &reservation;
  Task<Ref>::Handle handle;
  try {
    handle = function->f.spec->coroutine(views).release();
  } catch (...) {
    t_frames.reservation = nullptr;
    if (reservation.made != nullptr) Py_DECREF(as_object(reservation.made));
    throw;
  }
  t_frames.reservation = nullptr;
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
  // Turned on by sys.set_coroutine_origin_tracking_depth (asyncio's debug mode does it).
  if (int depth = compat::origin_tracking_depth(Where::current()); depth > 0) {
    raw->f.origin = creation_origin(depth);
  }
  raw->f.state = FrameState::created;  // the one way into the lifecycle, not a transition
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
  runtime_types.coroutine = reinterpret_cast<PyTypeObject*>(detail::keep(PyType_FromSpec(&spec)));
}

}  // namespace pyrt
