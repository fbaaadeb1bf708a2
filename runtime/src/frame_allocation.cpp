// Coroutine objects and the frames of their bodies and steps: a body's frame lives inside its
// coroutine object; steps' frames come from PyMem_Malloc.
#include <cstdint>
#include <new>
#include <utility>

#include "frames.hpp"
#include "pyrt/call.hpp"
#include "pyrt/compat.hpp"
// After Python.h (through internal.hpp), which it needs.
#include <frameobject.h>

namespace pyrt {

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

// Set while make_coroutine runs a body's ramp: the ramp's frame allocation makes the object.
thread_local constinit Reservation* t_reservation = nullptr;

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
  new (block) FrameHeader{true, frame_size};
  return raw;
}

#ifdef PYRT_TRACK_REFS
CoroObject* running_coroutine() noexcept {
  return t_driver != nullptr ? t_driver->current : nullptr;
}
#endif

}  // namespace

namespace detail {

void* allocate_frame(std::size_t size) {
  if (Reservation* reservation = std::exchange(t_reservation, nullptr)) {
    CoroObject* made = allocate_coroutine(*reservation, size);
    reservation->made = made;
    return reinterpret_cast<char*>(made) + frame_offset(reservation->count) + sizeof(FrameHeader);
  }
  void* block = PyMem_Malloc(sizeof(FrameHeader) + size);
  if (block == nullptr) throw std::bad_alloc();
  new (block) FrameHeader{false, size};
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
  // Turned on by sys.set_coroutine_origin_tracking_depth (asyncio's debug mode does it).
  if (int depth = compat::origin_tracking_depth(Where::current()); depth > 0) {
    raw->f.origin = creation_origin(depth);
  }
  raw->f.state = FrameState::created;  // the one way into the lifecycle, not a transition
  PyObject_GC_Track(as_object(raw));
  return coro;
}

}  // namespace pyrt
