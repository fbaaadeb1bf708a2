// C++20 coroutine bodies driven as Python coroutines.
//
// A body is a C++ coroutine returning Task<Ref>. pyrt::Function (function.hpp) wraps it in a
// Python-visible coroutine object that asyncio, inspect and debuggers treat like a native one.
// Inside a body:
//   - `co_await pyrt::awaitable(obj)` awaits any Python awaitable. An awaitable that completes at
//     once continues without yielding to the event loop; awaiting another coroutine of this
//     library links its frame directly instead of forwarding through the interpreter.
//   - `co_await some_task()` runs a C++ child coroutine (Task<T>) as part of the same coroutine.
//   - A Python exception arrives as pyrt::PyError at the co_await that raised it, so C++
//     destructors and catch clauses run on cancellation and close.
//   - References held across a co_await must be pyrt::Local, so the cycle collector sees them.
//   - C++ forbids co_await inside a catch block; to await while handling an exception, keep the
//     error (`pyrt::exception_family`) and open a pyrt::Handling scope after the catch block:
//     Python code called inside it sees the error as the handled exception, as in an except
//     clause, also after an await.
#pragma once

#include <coroutine>
#include <cstddef>
#include <optional>
#include <utility>

#include "pyrt/error.hpp"

namespace pyrt {

struct CoroObject;

namespace detail {

struct PromiseBase;

// Keeps the references of one Local reachable from its coroutine object.
struct LocalNode {
  Ref ref;
  LocalNode* prev = nullptr;
  LocalNode* next = nullptr;
};

// The list of Locals of the coroutine whose frame is running; null in plain code.
LocalNode* current_locals() noexcept;

void* allocate_frame(std::size_t size);
void free_frame(void* frame) noexcept;

// Called when the body of a coroutine object finishes; returns the frame to continue with.
std::coroutine_handle<> body_finished(PromiseBase& promise) noexcept;
Ref store_unhandled_exception() noexcept;

struct FinalAwaiter {
  bool await_ready() const noexcept { return false; }
  template <class Promise>
  std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> handle) noexcept {
    PromiseBase& promise = handle.promise();
    return finish(promise);
  }
  void await_resume() const noexcept {}
  static std::coroutine_handle<> finish(PromiseBase& promise) noexcept;
};

struct PromiseBase {
  CoroObject* owner = nullptr;           // the coroutine object this frame runs for
  std::coroutine_handle<> continuation;  // the C++ frame awaiting this one, if any
  Ref error;                             // the exception the body ended with
  Ref result;                            // the value of a body returning Ref
  bool is_body = false;                  // the outermost frame of `owner`

  std::suspend_always initial_suspend() const noexcept { return {}; }
  FinalAwaiter final_suspend() const noexcept { return {}; }
  void unhandled_exception() noexcept { error = store_unhandled_exception(); }

  static void* operator new(std::size_t size) { return allocate_frame(size); }
  static void operator delete(void* frame) noexcept { free_frame(frame); }
};

inline std::coroutine_handle<> FinalAwaiter::finish(PromiseBase& promise) noexcept {
  if (promise.continuation) return promise.continuation;
  if (promise.is_body) return body_finished(promise);
  return std::noop_coroutine();
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
  bool await_ready() const noexcept { return false; }
  template <class Promise>
  std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> parent) noexcept {
    child.promise().owner = parent.promise().owner;
    child.promise().continuation = parent;
    return child;
  }
  T await_resume() {
    auto& promise = child.promise();
    if (promise.error) throw PyError(std::move(promise.error));
    return promise.take();
  }
};

}  // namespace detail

// The return type of every coroutine body and C++ child coroutine.
template <class T = Ref>
class [[nodiscard]] Task {
 public:
  struct promise_type : detail::TaskPromise<T> {
    Task get_return_object() noexcept {
      return Task(std::coroutine_handle<promise_type>::from_promise(*this));
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
// Awaiting a Python object. The first step is taken eagerly, in await_ready.
class PyAwaiter {
 public:
  explicit PyAwaiter(Ref awaitable, bool ends_on_stop_async = false) noexcept
      : pending_(std::move(awaitable)), ends_on_stop_async_(ends_on_stop_async) {}
  bool await_ready();
  template <class Promise>
  std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> handle) noexcept {
    PromiseBase& promise = handle.promise();
    owner_ = promise.owner;
    return suspend(handle);
  }
  Ref await_resume();

 private:
  std::coroutine_handle<> suspend(std::coroutine_handle<> handle) noexcept;

  Ref pending_;  // the awaitable's iterator (or our own coroutine) until the frame suspends
  Ref yielded_;  // what its first step yielded
  CoroObject* owner_ = nullptr;
  bool link_ = false;
  bool ends_on_stop_async_ = false;  // StopAsyncIteration gives an empty result, not an error
};
}  // namespace detail

inline detail::PyAwaiter awaitable(Ref object) noexcept {
  return detail::PyAwaiter(std::move(object));
}

// A reference the cycle collector sees while the frame is suspended. Declare every Ref that
// lives across a co_await as a Local. Outside a coroutine body it is a plain owned reference.
class Local {
 public:
  Local() noexcept : Local(Ref()) {}
  explicit Local(Ref ref) noexcept {
    node_.ref = std::move(ref);
    if (detail::LocalNode* head = detail::current_locals()) {
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

// An exception kept for handling after its catch block, also across co_await (C++ forbids
// co_await inside a catch block): `caught.emplace(pyrt::exception_family(error))` in the catch,
// then `if (caught) ...` after it. Unlike std::optional<PyError>, the collector sees it (a Local).
class Caught {
 public:
  Caught() noexcept = default;
  void emplace(PyError error) noexcept { exception_ = error.take(); }
  void reset() noexcept { exception_ = Ref(); }
  explicit operator bool() const noexcept { return static_cast<bool>(exception_); }
  Borrowed value() const noexcept { return exception_; }
  bool matches(PyObject* type) const noexcept {
    return PyErr_GivenExceptionMatches(exception_.get(), type) != 0;
  }
  // Hands the exception over, to be thrown on: `throw caught.take();`.
  PyError take() noexcept { return PyError(exception_.take()); }

 private:
  Local exception_;
};

// While alive, `error` is the exception being handled, as inside an `except` clause: Python code
// called meanwhile sees it in sys.exc_info() (so Logger.exception attaches its traceback), and
// an exception raised meanwhile gets it as __context__. In a coroutine body this holds across
// awaits.
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

// `async for` support: returns the asynchronous iterator of `iterable`, raising TypeError as the
// interpreter does when it has none.
Ref async_iter(Borrowed iterable);
// The awaitable that produces the next item; await it with anext_value().
Ref async_next(Borrowed iterator);
// `co_await anext(iterator)` gives the next item of an asynchronous iterator, or an empty Ref
// when it is exhausted (without raising and catching StopAsyncIteration as a C++ exception).
inline detail::PyAwaiter anext(Borrowed iterator) {
  return detail::PyAwaiter(async_next(iterator), true);
}
// The same as a C++ child coroutine; nullopt when the iterator is exhausted.
Task<std::optional<Ref>> anext_value(Borrowed iterator);

}  // namespace pyrt
