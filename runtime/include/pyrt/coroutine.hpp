// C++20 coroutine bodies driven as Python coroutines.
//
// A body is a C++ coroutine returning Task<Ref>. pyrt::Function (function.hpp) wraps it in a
// Python-visible coroutine object that asyncio, inspect and debuggers treat like a native one.
// Inside a body:
//   - `co_await pyrt::awaitable(obj)` awaits any Python awaitable. An awaitable that completes at
//     once continues without yielding to the event loop; awaiting another coroutine of this
//     library links its frame directly instead of forwarding through the interpreter.
//   - `co_await some_step()` runs a C++ child coroutine (a step: Task<T, "name">) as part of the
//     same coroutine. A step is named in its type, and its traceback entries carry the qualified
//     name of the function that defines it, a dot and that name, whichever coroutine runs it.
//   - Control passes between frames only through the driver's loop (coroutine_driver.cpp): an
//     awaiter that hands over to another frame names it as the thread's next frame and suspends.
//     The C stack stays the same however many steps complete without suspending, at any
//     optimisation level (no reliance on the compiler turning a transfer into a tail call).
//   - A Python exception arrives as pyrt::PyError at the co_await that raised it, so C++
//     destructors and catch clauses run on cancellation and close.
//   - References held across a co_await must be pyrt::Local, so the cycle collector sees them.
//   - `try: await step(...) except Exception as e:` is one expression, with the except clause as
//     its block: `if (pyrt::Caught e = co_await pyrt::catching(step(...))) {...}`, where `step`
//     is a step (Task<void, "name">). Cancellation and the rest outside the Exception
//     family pass through. Inside the block, a pyrt::Handling scope makes `e` the handled
//     exception that Python code called there sees, also after an await.
//     `co_await pyrt::finishing(step(...))` is `try: ... finally:`: it holds whatever ended the
//     step until the clean-up has run and `raise_if_any()` raises it again.
//   - Every exception that leaves a body or a child coroutine, or is caught by catching() or
//     finishing(), gets one traceback entry for that function, as the interpreter adds one per
//     frame: the function's qualified name (a child's is the body's, a dot and its own name) and
//     the line where the error arose in it.
#pragma once

#include <cassert>
#include <coroutine>
#include <cstddef>
#include <optional>
#include <utility>

#include "pyrt/error.hpp"
#include "pyrt/fixed_text.hpp"
#include "pyrt/where.hpp"

namespace pyrt {

struct CoroObject;
namespace detail {
struct PromiseBase;
}  // namespace detail
template <class T, detail::FixedText Name>
class Task;

namespace detail {

// The frame the driver's loop resumes next on this thread, or null: set by an awaiter that hands
// control to another frame, just before its own frame suspends.
extern thread_local constinit PromiseBase* next_frame;

// Keeps the references of one Local reachable from its coroutine object.
struct LocalNode {
  Ref ref;
  LocalNode* prev = nullptr;
  LocalNode* next = nullptr;
};

// The list of Locals of the coroutine whose frame is running on this thread; null in plain
// code. The driver sets it whenever it changes the running coroutine, so that making a Local
// reads one thread-local pointer (constinit: no initialisation guard on access).
extern thread_local constinit LocalNode* running_locals;
#ifndef NDEBUG
// The same, found from the driver's state: debug builds check that the two agree.
LocalNode* driver_locals() noexcept;
#endif

void* allocate_frame(std::size_t size);
void free_frame(void* frame) noexcept;

// Called when the body of a coroutine object finishes; returns the frame to continue with.
PromiseBase* body_finished(PromiseBase& promise) noexcept;
// The in-flight exception that ends the frame of `promise`, with the frame's traceback entry.
Ref store_unhandled_exception(PromiseBase& promise) noexcept;
// Adds the traceback entry of the frame of `promise` to `error`, unless it already has it.
void add_traceback_entry(PyError& error, const PromiseBase& promise) noexcept;

template <class T, class Handle>
struct TaskAwaiter;

struct FinalAwaiter {
  bool await_ready() const noexcept { return false; }
  template <class Promise>
  void await_suspend(std::coroutine_handle<Promise> handle) noexcept {
    next_frame = finish(handle.promise());
  }
  void await_resume() const noexcept {}
  static PromiseBase* finish(PromiseBase& promise) noexcept;
};

struct PromiseBase {
  std::coroutine_handle<> frame;            // this frame, resumed by the driver's loop
  CoroObject* owner = nullptr;              // the coroutine object this frame runs for
  PromiseBase* continuation = nullptr;      // the frame awaiting this one, if any
  Ref error;                                // the exception the body ended with
  Ref result;                               // the value of a body returning Ref
  Where origin;                             // the coroutine function's first line
  PyObject* entry_function = nullptr;       // a function's body run as a child: its own entry name
  const char* step_name = nullptr;          // a step's own name; null for a function's body
  const PromiseBase* defined_in = nullptr;  // a step: the function body that defines it
  bool is_body = false;                     // the outermost frame of `owner`

  // A frame awaited by `parent` runs for the same coroutine object; a step belongs to the
  // function body that `parent` belongs to.
  void enter_as_child_of(PromiseBase& parent) noexcept {
    owner = parent.owner;
    continuation = &parent;
    defined_in = parent.step_name != nullptr ? parent.defined_in : &parent;
  }

  std::suspend_always initial_suspend() const noexcept { return {}; }
  FinalAwaiter final_suspend() const noexcept { return {}; }
  void unhandled_exception() noexcept { error = store_unhandled_exception(*this); }

  // Awaiting a child coroutine keeps the line of the co_await, for the traceback entry of an
  // error that comes back from it.
  template <class U, FixedText Name>
  TaskAwaiter<U, typename Task<U, Name>::Handle> await_transform(
      Task<U, Name>&& child, Where where = Where::current()) noexcept;
  template <class Awaitable>
  Awaitable&& await_transform(Awaitable&& awaitable) noexcept {
    return static_cast<Awaitable&&>(awaitable);
  }

  static void* operator new(std::size_t size) { return allocate_frame(size); }
  static void operator delete(void* frame) noexcept { free_frame(frame); }
};

inline PromiseBase* FinalAwaiter::finish(PromiseBase& promise) noexcept {
  if (promise.continuation != nullptr) return promise.continuation;
  if (promise.is_body) return body_finished(promise);
  return nullptr;
}

template <class T>
struct TaskPromise : PromiseBase {
  std::optional<T> value;
  void return_value(T v) { value.emplace(std::move(v)); }
  // Only after the body returned without an error, so return_value has set it.
  T take() { return std::move(*value); }  // NOLINT(bugprone-unchecked-optional-access)
};
// A body returning Ref stores its value where the coroutine object finds it.
template <>
struct TaskPromise<Ref> : PromiseBase {
  void return_value(Ref v) noexcept { result = std::move(v); }
  Ref take() noexcept { return std::move(result); }
};
template <>
struct TaskPromise<void> : PromiseBase {
  void return_void() noexcept {}
  void take() noexcept {}
};

template <class T, class Handle>
struct TaskAwaiter {
  Handle child;
  Where where;  // of the co_await
  bool await_ready() const noexcept { return false; }
  template <class Promise>
  void await_suspend(std::coroutine_handle<Promise> parent) noexcept {
    child.promise().enter_as_child_of(parent.promise());
    next_frame = &child.promise();
  }
  T await_resume() {
    auto& promise = child.promise();
    if (promise.error) {
      PyError error(std::move(promise.error));
      error.at(where);
      throw error;
    }
    return promise.take();
  }
};

}  // namespace detail

// The return type of every coroutine body (Task<Ref>) and of every step, a C++ child coroutine
// named in its type: Task<void, "run_agent">. Awaiting a step without a name does not compile.
template <class T = Ref, detail::FixedText Name = "">
class [[nodiscard]] Task {
 public:
  struct promise_type : detail::TaskPromise<T> {
    // The default argument locates the coroutine function being called.
    explicit promise_type(Where origin = Where::current()) noexcept {
      this->origin = origin;
      if constexpr (sizeof(Name.chars) > 1) this->step_name = Name.chars;
    }
    Task get_return_object() noexcept {
      auto handle = std::coroutine_handle<promise_type>::from_promise(*this);
      this->frame = handle;
      return Task(handle);
    }
  };
  using Handle = std::coroutine_handle<promise_type>;

  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&&) = delete;
  ~Task() {
    if (handle_) handle_.destroy();
  }

  // Awaiting a Task runs it as a child: same coroutine object, direct transfer of control.
  detail::TaskAwaiter<T, Handle> operator co_await() && noexcept { return {handle_}; }

  Handle handle() const noexcept { return handle_; }
  Handle release() noexcept { return std::exchange(handle_, {}); }

 private:
  explicit Task(Handle handle) noexcept : handle_(handle) {}
  Handle handle_;
};

namespace detail {

template <class U, FixedText Name>
TaskAwaiter<U, typename Task<U, Name>::Handle> PromiseBase::await_transform(Task<U, Name>&& child,
                                                                            Where where) noexcept {
  static_assert(sizeof(Name.chars) > 1, "a step is named in its type: Task<T, \"name\">");
  return {child.handle(), where};
}

// Awaiting a Python object. The first step is taken eagerly, in await_ready.
class PyAwaiter {
 public:
  PyAwaiter(Ref awaitable, Where where, bool ends_on_stop_async = false) noexcept
      : pending_(std::move(awaitable)), where_(where), ends_on_stop_async_(ends_on_stop_async) {}
  bool await_ready();
  template <class Promise>
  void await_suspend(std::coroutine_handle<Promise> handle) noexcept {
    PromiseBase& promise = handle.promise();
    owner_ = promise.owner;
    suspend(promise);
  }
  Ref await_resume();

 private:
  void suspend(PromiseBase& frame) noexcept;

  Ref pending_;  // the awaitable's iterator (or our own coroutine) until the frame suspends
  Ref yielded_;  // what its first step yielded
  Where where_;  // of the co_await
  CoroObject* owner_ = nullptr;
  bool link_ = false;
  bool ends_on_stop_async_ = false;  // StopAsyncIteration gives an empty result, not an error
};
}  // namespace detail

inline detail::PyAwaiter awaitable(Ref object, Where where = Where::current()) noexcept {
  return {std::move(object), where};
}

// A reference the cycle collector sees while the frame is suspended. Declare every Ref that
// lives across a co_await as a Local. Outside a coroutine body it is a plain owned reference.
class Local {
 public:
  Local() noexcept : Local(Ref()) {}
  explicit Local(Ref ref) noexcept {
    node_.ref = std::move(ref);
    assert(detail::running_locals == detail::driver_locals());
    if (detail::LocalNode* head = detail::running_locals) {
      node_.prev = head;
      node_.next = head->next;
      head->next->prev = &node_;
      head->next = &node_;
    }
  }
  Local(const Local&) = delete;
  Local& operator=(const Local&) = delete;
  ~Local() {
    if (node_.prev != nullptr) {
      node_.prev->next = node_.next;
      node_.next->prev = node_.prev;
    }
  }

  Local& operator=(Ref ref) noexcept {
    node_.ref = std::move(ref);
    return *this;
  }

  PyObject* get() const noexcept { return node_.ref.get(); }
  Borrowed borrowed() const noexcept { return node_.ref.borrowed(); }
  operator Borrowed() const noexcept { return node_.ref.borrowed(); }  // NOLINT
  const Ref& ref() const noexcept { return node_.ref; }
  Ref take() noexcept { return std::move(node_.ref); }
  explicit operator bool() const noexcept { return static_cast<bool>(node_.ref); }

 private:
  detail::LocalNode node_;
};

// The exception that catching() or finishing() took from a step, or none. It is collector-visible,
// so a handler may keep it across awaits.
class Caught {
 public:
  Caught() noexcept = default;
  explicit Caught(PyError error) noexcept : entry_owner_(error.entry_owner()) {
    exception_.emplace(error.take());
  }
  Caught(const Caught&) = delete;
  Caught& operator=(const Caught&) = delete;

  explicit operator bool() const noexcept { return exception_.has_value(); }
  Borrowed value() const noexcept { return exception_ ? exception_->borrowed() : Borrowed(); }
  bool matches(PyObject* type) const noexcept {
    return exception_ && PyErr_GivenExceptionMatches(exception_->get(), type) != 0;
  }
  // Raises it again, as a bare `raise` would: the traceback gets no second entry for this
  // function.
  [[noreturn]] void raise();
  void raise_if_any() {
    if (exception_) raise();
  }

 private:
  std::optional<Local> exception_;  // made only for an exception: the common case costs nothing
  const void* entry_owner_ = nullptr;
};

// While alive, `error` is the exception being handled, as inside an `except` clause: Python code
// called meanwhile sees it in sys.exc_info() (so Logger.exception attaches its traceback), and
// an exception raised meanwhile gets it as __context__. In a coroutine body this holds across
// awaits. Made from an empty Caught it does nothing, as a `finally:` clause reached without an
// exception.
class Handling {
 public:
  explicit Handling(const PyError& error) noexcept : Handling(error.value()) {}
  explicit Handling(const Caught& caught) noexcept : Handling(caught.value()) {}
  explicit Handling(Borrowed exception) noexcept;
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;
  ~Handling();

  Borrowed exception() const noexcept { return exception_; }
  const Ref& exception_ref() const noexcept { return exception_; }
  const Handling* outer() const noexcept { return outer_; }

 private:
  Ref exception_;
  Ref saved_;                  // outside a coroutine: the handled exception to restore
  Handling* outer_ = nullptr;  // in a coroutine: the enclosing handler of the same coroutine
  CoroObject* owner_ = nullptr;
};

namespace detail {
// Runs a step as awaiting it would, but hands its exception to the awaiting frame as a Caught.
class GuardAwaiter {
 public:
  template <FixedText Name>
  GuardAwaiter(Task<void, Name> step, Where where, bool exception_family_only) noexcept
      : step_(&step.release().promise()),
        where_(where),
        exception_family_only_(exception_family_only) {
    static_assert(sizeof(Name.chars) > 1, "a step is named in its type: Task<void, \"name\">");
  }
  GuardAwaiter(const GuardAwaiter&) = delete;
  GuardAwaiter& operator=(const GuardAwaiter&) = delete;
  ~GuardAwaiter() { step_->frame.destroy(); }
  bool await_ready() const noexcept { return false; }
  template <class Promise>
  void await_suspend(std::coroutine_handle<Promise> parent) noexcept {
    parent_ = &parent.promise();
    step_->enter_as_child_of(*parent_);
    next_frame = step_;
  }
  Caught await_resume();

 private:
  PromiseBase* step_;  // owns the step's frame
  Where where_;
  PromiseBase* parent_ = nullptr;
  bool exception_family_only_;
};
}  // namespace detail

// `try: await step except Exception as e:`: an empty Caught when the step finished, its exception
// when that belongs to the Exception family; anything else passes through.
template <detail::FixedText Name>
detail::GuardAwaiter catching(Task<void, Name> step, Where where = Where::current()) noexcept {
  return {std::move(step), where, true};
}
// `try: await step finally:`: whatever ended the step, kept for raise_if_any() after the clean-up.
template <detail::FixedText Name>
detail::GuardAwaiter finishing(Task<void, Name> step, Where where = Where::current()) noexcept {
  return {std::move(step), where, false};
}

// The name of the module function whose code is executing on this thread, for a log record's
// funcName: a step's own name, else the name its function was defined with (a coroutine's body, a
// function's body run as a step, a plain function called from Python); null when none is. A
// static text: it lives as long as the module.
const char* running_function_name() noexcept;

// `async for` support: returns the asynchronous iterator of `iterable`, raising TypeError as the
// interpreter does when it has none.
Ref async_iter(Borrowed iterable, Where where = Where::current());
// The awaitable that produces the next item, or an empty Ref when __anext__ itself raised
// StopAsyncIteration (the iterator is exhausted); anext() awaits it.
Ref async_next(Borrowed iterator, Where where);
// `co_await anext(iterator)` gives the next item of an asynchronous iterator, or an empty Ref
// when it is exhausted (without raising and catching StopAsyncIteration as a C++ exception).
inline detail::PyAwaiter anext(Borrowed iterator, Where where = Where::current()) {
  return {async_next(iterator, where), where, true};
}
// The same as a step; nullopt when the iterator is exhausted.
Task<std::optional<Ref>, "anext_value"> anext_value(Borrowed iterator);

}  // namespace pyrt
