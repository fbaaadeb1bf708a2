// Coroutine objects and the frames of their bodies and steps (from PyMem_Malloc).
#include <new>

#include "frames.hpp"
#include "pyrt/call.hpp"
#include "pyrt/compat.hpp"
// After Python.h (through internal.hpp), which it needs.
#include <frameobject.h>

namespace pyrt {

namespace {

#ifdef PYRT_TRACK_REFS
CoroObject* running_coroutine() noexcept {
  return t_driver != nullptr ? t_driver->current : nullptr;
}
#endif

}  // namespace

namespace detail {

void* allocate_frame(std::size_t size) {
  void* frame = PyMem_Malloc(size);
  if (frame == nullptr) throw std::bad_alloc();
#ifdef PYRT_TRACK_REFS
  child_frames()[frame] = {size, running_coroutine()};
#endif
  return frame;
}

void free_frame(void* frame) noexcept {
#ifdef PYRT_TRACK_REFS
  child_frames().erase(frame);
#endif
  PyMem_Free(frame);
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
  if (runtime_types.coroutine == nullptr) no_runtime_types();
  CoroObject* raw = PyObject_GC_NewVar(CoroObject, runtime_types.coroutine, count);
  if (raw == nullptr) throw PyError::fetch();
  new (&raw->f) CoroFields();
  raw->f.state = FrameState::cleared;  // until the body exists, nothing to warn about or close
  Ref coro = Ref::steal(as_object(raw));
  PyObject** slots = raw->args();
  Borrowed views[max_params];  // count <= max_params: make_function checked the spec
  for (Py_ssize_t i = 0; i < count; ++i) {
    slots[i] = Py_NewRef(args[i]);
    views[i] = Borrowed(slots[i]);
  }
  Task<Ref>::Handle handle = function->f.spec->coroutine(views).release();
#ifdef PYRT_TRACK_REFS
  if (auto found = child_frames().find(handle.address()); found != child_frames().end()) {
    found->second.owner = raw;
  }
#endif
  raw->f.function = Ref::borrow(reinterpret_cast<PyObject*>(function));
  raw->f.name = function->f.name;
  raw->f.qualname = function->f.qualname;
  raw->f.promise = &handle.promise();
  raw->f.promise->owner = raw;
  raw->f.promise->is_body = true;
  // Turned on by sys.set_coroutine_origin_tracking_depth (asyncio's debug mode does it).
  if (int depth = compat::origin_tracking_depth(Where::current()); depth > 0) {
    raw->f.origin = creation_origin(depth);
  }
  raw->f.state = FrameState::created;  // the one way into the lifecycle, not a transition
  PyObject_GC_Track(as_object(raw));
  return coro;
}

}  // namespace pyrt
