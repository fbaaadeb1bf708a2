// Python-visible functions whose bodies are C++.
//
// A Function is a vectorcall object that binds like a Python function (a bound method on an
// instance, itself on the class), checks its arguments the way Python does, and either runs a
// plain body or returns a coroutine object driving a C++ coroutine body. Coroutine functions
// pass asyncio's and inspect's coroutine-function tests.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "pyrt/call.hpp"
#include "pyrt/coroutine.hpp"
#include "pyrt/where.hpp"

namespace pyrt {

// The most parameters a function may have: calls bind their arguments in fixed-size arrays of
// this length, and make_function refuses a spec with more.
inline constexpr std::size_t max_params = 16;

struct Param {
  const char* name;
  PyTypeObject* exact_type = nullptr;  // only objects of exactly this type are accepted
  const char* annotation = nullptr;    // string annotation, or none
};

using PlainBody = Ref (*)(const Borrowed* args);
using CoroutineBody = Task<Ref> (*)(const Borrowed* args);

struct FunctionSpec {
  const char* name;
  const char* qualname;
  const char* doc = nullptr;  // no docstring when null
  std::span<const Param> params;
  const char* return_annotation = nullptr;  // not annotated when null
  PlainBody plain = nullptr;                // exactly one of plain and coroutine is set
  CoroutineBody coroutine = nullptr;
  const char* source_file = "";  // shown as the coroutine's code location
  int source_line = 0;
};

namespace detail {
template <class F>
struct Arity;
template <class R, class... A>
struct Arity<R (*)(A...)> {
  static constexpr std::size_t value = sizeof...(A);
};
template <auto Body, std::size_t... I>
auto invoke_body(const Borrowed* args, std::index_sequence<I...>) {
  return Body(args[I]...);
}
template <auto Body>
auto adapt_body(const Borrowed* args) {
  return invoke_body<Body>(args, std::make_index_sequence<Arity<decltype(Body)>::value>());
}
// Completes a spec with its body (plain or coroutine, from its return type) and its location.
template <auto Body>
constexpr FunctionSpec with_body(FunctionSpec spec, Where where) {
  using Result = decltype(adapt_body<Body>(nullptr));
  if constexpr (std::is_same_v<Result, Task<Ref>>) {
    spec.coroutine = &adapt_body<Body>;
  } else {
    static_assert(std::is_same_v<Result, Ref>, "a body returns Ref or Task<Ref>");
    spec.plain = &adapt_body<Body>;
  }
  spec.source_file = where.file_name();
  spec.source_line = static_cast<int>(where.line());
  return spec;
}
}  // namespace detail

// Describes a plain function `Ref body(Borrowed...)` or a coroutine function
// `Task<Ref> body(Borrowed...)`; the body takes one Borrowed per parameter, in order.
template <auto Body, std::size_t N>
constexpr FunctionSpec function_spec(const char* name, const char* qualname, const char* doc,
                                     const Param (&params)[N], const char* return_annotation,
                                     Where where = Where::current()) {
  static_assert(detail::Arity<decltype(Body)>::value == N, "one parameter per body argument");
  return detail::with_body<Body>(
      {name, qualname, doc, std::span<const Param>(params, N), return_annotation}, where);
}

// The same for a body without parameters.
template <auto Body>
constexpr FunctionSpec function_spec(const char* name, const char* qualname, const char* doc,
                                     const char* return_annotation,
                                     Where where = Where::current()) {
  static_assert(detail::Arity<decltype(Body)>::value == 0, "the body takes no arguments");
  return detail::with_body<Body>({name, qualname, doc, {}, return_annotation}, where);
}

// Creates the Python function for `spec`, which must outlive it (a static). `module` is its
// __module__; `globals` (a dict, or null for a new empty one) is its __globals__ and what its
// coroutines' frames show as globals.
Ref make_function(const FunctionSpec& spec, Borrowed module, Borrowed globals);

// Creates the runtime's types; once per interpreter lifetime, before any make_function (the
// interpreter keeps them and releases them while it finalises). `module` is the dotted name they
// are shown under.
void init_runtime(const char* module);

namespace detail {

// The function of `method` when it is a method bound to args[0] of this runtime's coroutine
// function made from `spec`, and `args` (self first) pass that function's argument checks; else
// null.
PyObject* own_coroutine_function(Borrowed method, const FunctionSpec& spec, const Borrowed* args,
                                 std::size_t count) noexcept;
// As a coroutine ending with StopIteration raises RuntimeError instead.
void convert_stop_iteration(Ref& error);

// Awaits a method call: either the function's body, run as a child of the awaiting frame, or the
// awaitable that calling the method returned.
class MethodAwaiter {
 public:
  MethodAwaiter(Task<Ref> body, PyObject* function, Where where) noexcept
      : body_(body.handle()),
        owned_body_(std::in_place, std::move(body)),
        function_(function),
        where_(where) {}
  MethodAwaiter(Ref awaitable, Where where) noexcept
      : awaited_(std::in_place, std::move(awaitable), where), where_(where) {}

  bool await_ready() { return awaited_ ? awaited_->await_ready() : false; }
  template <class Promise>
  void await_suspend(std::coroutine_handle<Promise> parent) noexcept {
    if (awaited_) {
      awaited_->await_suspend(parent);
      return;
    }
    body_.promise().enter_as_child_of(parent.promise());
    body_.promise().entry_function = function_;
    next_frame = &body_.promise();
  }
  Ref await_resume() {
    if (awaited_) return awaited_->await_resume();
    auto& promise = body_.promise();
    if (promise.error) {
      convert_stop_iteration(promise.error);
      PyError error(std::move(promise.error));
      error.at(where_);
      throw error;
    }
    return promise.take();
  }

 private:
  // Exactly one is set: the body run directly (its handle, and the Task that owns its frame), or
  // the awaitable that calling the method returned.
  Task<Ref>::Handle body_;
  std::optional<Task<Ref>> owned_body_;
  std::optional<PyAwaiter> awaited_;
  PyObject* function_ = nullptr;
  Where where_;
};

}  // namespace detail

// `await method(*args)` where `method` is what `self.<name>` gave. When that is `self`'s own
// operation made from `own` (nothing overrides it on the instance or a subclass) and the
// arguments pass its checks, its body runs directly as a child of the awaiting coroutine: no
// coroutine object, no trip through the awaitable protocol, and an error gets the same traceback
// entry. Anything else is called and awaited as usual. `method` must stay alive until the await
// ends (hold it in a Local).
template <class... Args>
detail::MethodAwaiter await_method(CallSite method, Borrowed self, const FunctionSpec& own,
                                   const Args&... args) {
  const Borrowed argv[] = {self, Borrowed(args)...};
  if (PyObject* function =
          detail::own_coroutine_function(method.object, own, argv, sizeof...(Args) + 1)) {
    return detail::MethodAwaiter(own.coroutine(argv), function, method.where);
  }
  return detail::MethodAwaiter(call(method, args...), method.where);
}

}  // namespace pyrt
