// Layout of the runtime's objects, shared by its translation units.
#pragma once

#include <coroutine>
#include <cstdint>

#include "pyrt/function.hpp"

namespace pyrt {

// The whole lifecycle of a coroutine object, after the interpreter's frame states. A body only
// ever suspends inside an await, so `suspended` is the interpreter's "suspended in yield from"; a
// bare yield (its plain "suspended") has no counterpart. Every coroutine of a chain that a driver
// runs (the one sent to, and the coroutines it awaits directly, linked) is `executing`. Changed
// only through set_state, which checks the transition in debug builds.
enum class FrameState : std::uint8_t {
  created,    // made, body not started
  suspended,  // waiting at an await for an iterator or a linked coroutine
  executing,  // a driver runs the chain it belongs to
  completed,  // the body returned or raised; its frame is gone
  cleared,    // ended without completing: closed or thrown into before starting, or cleared
};

struct CoroFields {
  Ref function;  // the Function that made this coroutine
  Ref name;
  Ref qualname;
  Ref awaited;      // iterator the suspended frame waits on, or a linked child coroutine
  Ref inbox_value;  // outcome of the awaited object, for the frame to pick up
  Ref inbox_error;
  Ref frame_object;  // made on first access of cr_frame
  Ref origin;        // cr_origin: where it was made, while origin tracking is on
  // The body's frame (its handle: promise->frame), while it exists.
  detail::PromiseBase* promise = nullptr;
  detail::PromiseBase* suspended = nullptr;  // the frame (body or step) waiting at a co_await
  CoroObject* linked_parent = nullptr;       // the coroutine whose frame awaits this one directly
  detail::LocalNode locals;                  // sentinel of the list of live Locals
  Handling* handling = nullptr;              // innermost active exception handler
  FrameState state = FrameState::created;
  bool awaited_is_link = false;

  CoroFields() noexcept { locals.prev = locals.next = &locals; }
};

struct CoroObject {
  PyObject_VAR_HEAD CoroFields f;

  PyObject** args() noexcept {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(this) + sizeof(CoroObject));
  }
};

struct FunctionFields {
  const FunctionSpec* spec = nullptr;
  Ref name;
  Ref qualname;
  Ref module;
  Ref doc;
  Ref annotations;  // null after __annotate__ was replaced: made by calling it
  Ref annotate;     // __annotate__: the spec's own (made on first use), or as assigned
  Ref globals;
  Ref builtins;               // the builtins namespace that `globals` uses
  Ref type_params;            // tuple, writable as a Python function's is
  Ref code;                   // made on first use
  Ref param_names;            // tuple of interned parameter names
  bool checks_types = false;  // some parameter takes only one exact type
};

struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  FunctionFields f;
};

// One activation of the driver (or a plain-code scope) on this thread.
struct Driver {
  Driver* outer = nullptr;
  CoroObject* current = nullptr;  // coroutine whose frame is executing; null in plain code
  const detail::PromiseBase* frame = nullptr;  // the frame the loop resumed last: executing
  Ref yielded;                                 // what the frame that just suspended yields
  Ref outer_handled;  // sys.exc_info() of the caller, saved before the first change
  bool handled_changed = false;
};
extern thread_local Driver* t_driver;

// The exception an except clause of the chain that `coro` belongs to is handling, innermost
// first, or null (frame_errors.cpp).
PyObject* chain_handled(CoroObject* coro);
// Makes `exception` the thread's handled exception for the code `driver` runs, saving the
// caller's first.
void set_handled(Driver& driver, PyObject* exception);

// Makes `coro` (or none) the coroutine whose frame `driver` runs, and its Locals the list that
// new Locals join.
inline void set_running(Driver& driver, CoroObject* coro) noexcept {
  driver.current = coro;
  detail::running_locals = coro != nullptr ? &coro->f.locals : nullptr;
}

inline CoroObject* as_coro(PyObject* object) noexcept {
  return reinterpret_cast<CoroObject*>(object);
}
inline PyObject* as_object(CoroObject* coro) noexcept {
  return reinterpret_cast<PyObject*>(coro);
}

// Moves `coro` to state `to`; debug builds stop at a transition the lifecycle does not have.
void set_state(CoroObject* coro, FrameState to) noexcept;
// Whether the coroutine ended (completed or cleared): it cannot run again.
inline bool has_ended(const CoroObject* coro) noexcept {
  return coro->f.state == FrameState::completed || coro->f.state == FrameState::cleared;
}
// The coroutine at the inner end of the chain of linked coroutines that starts at `coro`.
CoroObject* innermost(CoroObject* coro) noexcept;
// Frees the body's frame (running the destructors of its locals), if it still has one, and lets
// go of the arguments and of the frame object made for cr_frame.
void destroy_body(CoroObject* coro) noexcept;
// Marks the coroutine finished and frees its frame: the one way a coroutine ends early, so that
// no state ever points at a destroyed frame.
void end_coroutine(CoroObject* coro) noexcept;

// The coroutine protocol; each returns as PyIter_Send does, with the exception raised on error.
PySendResult send_impl(CoroObject* self, PyObject* value, PyObject** result);
PySendResult throw_impl(CoroObject* self, Ref exception, PyObject** result);
PyObject* close_impl(CoroObject* self);

// Drops the watchers of the interpreter that releases what the runtime keeps
// (watch.cpp).
void release_watches() noexcept;
namespace detail {
// Whether the current interpreter keeps objects for the runtime (see detail::keep), i.e. has not
// released them yet.
bool keeping() noexcept;
}  // namespace detail

struct RuntimeTypes {
  PyTypeObject* coroutine = nullptr;
  PyTypeObject* function = nullptr;
};
// The runtime's types, made once per interpreter lifetime (init_runtime), kept by that
// interpreter (detail::keep) and forgotten when it releases them.
extern RuntimeTypes runtime_types;

// Making an object of a runtime type when there is none: before init_runtime, or late in the
// interpreter's finalisation, after it released the types.
[[noreturn]] inline void no_runtime_types() {
  throw PyError::format(PyExc_RuntimeError, "the compiled runtime is not initialised here");
}

#ifdef PYRT_TRACK_REFS
// Debug builds, when a chain of frames has just suspended: stops the process if a suspended
// frame of the chain that starts at `root` holds a non-null Ref that tp_traverse cannot see.
void check_suspended_frames(CoroObject* root) noexcept;
#endif

// Plain (non-coroutine) code runs with no current coroutine, so Locals and Handlings made in it
// behave as ordinary scoped objects.
class PlainScope {
 public:
  explicit PlainScope(const FunctionObject* function) noexcept;
  ~PlainScope();
  PlainScope(const PlainScope&) = delete;
  PlainScope& operator=(const PlainScope&) = delete;

 private:
  void* saved_;
  detail::LocalNode* saved_locals_;
  const FunctionObject* saved_function_;
};

// Setter of a str-only attribute such as __name__, as the interpreter's own objects word it.
int set_string_attribute(Ref& field, PyObject* value, const char* what) noexcept;

// Adds the traceback entry of one call of `function` (a plain function or its argument check).
void add_function_entry(PyError& error, FunctionObject* function, const void* activation) noexcept;

inline FunctionObject* as_function(PyObject* object) noexcept {
  return reinterpret_cast<FunctionObject*>(object);
}
// The vectorcall of every function object (function_call.cpp).
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) noexcept;

Ref make_coroutine(FunctionObject* function, PyObject* const* args, Py_ssize_t count);
Ref function_code(FunctionObject* function);
void init_coroutine_type(const char* module);
void init_function_type(const char* module);

}  // namespace pyrt
