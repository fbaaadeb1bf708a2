// A test-only module exposing small C++ coroutines and functions built on the runtime.
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>

#include "pyrt/call.hpp"
#include "pyrt/compat.hpp"
#include "pyrt/function.hpp"
#include "pyrt/text.hpp"

namespace {

using pyrt::Borrowed;
using pyrt::Local;
using pyrt::PyError;
using pyrt::Ref;
using pyrt::Task;

// References never turn into raw pointers (or back) behind the reader's back.
static_assert(!std::is_convertible_v<Ref, PyObject*>);
static_assert(!std::is_convertible_v<Borrowed, PyObject*>);
static_assert(!std::is_convertible_v<PyObject*, Ref>);
static_assert(!std::is_convertible_v<PyObject*, Borrowed>);
static_assert(!std::is_constructible_v<Ref, PyObject*>);

// Borrowed: the module, and so its `chain` function, live as long as the process.
PyObject* chain_function = nullptr;

Ref pair(Borrowed first, Borrowed second) {
  return pyrt::require(PyTuple_Pack(2, first.get(), second.get()));
}

Task<Ref> await_value(Borrowed awaitable) {
  co_return co_await pyrt::awaitable(Ref::borrow(awaitable));
}

Task<Ref> return_value(Borrowed value) {
  co_return Ref::borrow(value);
}

Task<Ref> raise_error(Borrowed exception) {
  PyErr_SetRaisedException(Py_NewRef(exception.get()));
  pyrt::throw_error();
  co_return Ref();
}

// result = await awaitable, as a step.
Task<void, "await_into"> await_into(Borrowed awaitable, Local& result) {
  result = co_await pyrt::awaitable(Ref::borrow(awaitable));
}

// Awaits and reports either ("ok", result) or ("caught", exception) for the Exception family.
Task<Ref> catch_exception(Borrowed awaitable) {
  Local result;
  if (pyrt::Caught error = co_await pyrt::catching(await_into(awaitable, result))) {
    co_return pair(pyrt::string("caught"), error.value());
  }
  co_return pair(pyrt::string("ok"), result);
}

// Catches the failure of `first`, then, while handling it, calls probe(), awaits `second` and
// calls probe() again; returns both probe results.
Task<Ref> handle_then_await(Borrowed first, Borrowed probe, Borrowed second) {
  Local ignored;
  pyrt::Caught caught = co_await pyrt::catching(await_into(first, ignored));
  if (!caught) co_return Ref::none();
  pyrt::Handling handling(caught);
  Local before(pyrt::call(probe));
  co_await pyrt::awaitable(Ref::borrow(second));
  Local after(pyrt::call(probe));
  co_return pair(before, after);
}

// Catches the failure of `first`, awaits `second` while handling it, then raises `type`.
Task<Ref> raise_in_handler(Borrowed first, Borrowed second, Borrowed type) {
  Local ignored;
  pyrt::Caught caught = co_await pyrt::catching(await_into(first, ignored));
  if (!caught) co_return Ref::none();
  pyrt::Handling handling(caught);
  co_await pyrt::awaitable(Ref::borrow(second));
  PyErr_SetString(type.get(), "raised in handler");
  pyrt::throw_error();
}

// `try: return await awaitable finally: on_exit()`.
Task<Ref> finally_call(Borrowed awaitable, Borrowed on_exit) {
  Local result;
  pyrt::Caught ended = co_await pyrt::finishing(await_into(awaitable, result));
  {
    pyrt::Handling handling(ended);
    pyrt::call(on_exit);
  }
  ended.raise_if_any();
  co_return result.take();
}

// Catches the failure of `awaitable` and raises it again.
Task<Ref> reraise(Borrowed awaitable) {
  Local ignored;
  pyrt::Caught caught = co_await pyrt::catching(await_into(awaitable, ignored));
  caught.raise_if_any();
  co_return Ref::none();
}

Task<Ref> iterate(Borrowed iterable) {
  Local iterator(pyrt::async_iter(iterable));
  Local items(pyrt::require(PyList_New(0)));
  while (std::optional<Ref> item = co_await pyrt::anext_value(iterator)) {
    pyrt::require(PyList_Append(items.get(), item->get()));
  }
  co_return items.take();
}

// Awaits itself, called through Python, `depth` times, then awaits `awaitable`.
Task<Ref> chain(Borrowed depth, Borrowed awaitable) {
  long remaining = PyLong_AsLong(depth.get());
  if (remaining < 0 && PyErr_Occurred()) pyrt::throw_error();
  if (remaining == 0) co_return co_await pyrt::awaitable(Ref::borrow(awaitable));
  Local next_depth(pyrt::require(PyLong_FromLong(remaining - 1)));
  co_return co_await pyrt::awaitable(pyrt::call(Borrowed(chain_function), next_depth, awaitable));
}

Task<Ref> hold_across(Borrowed object, Borrowed awaitable) {
  Local held(Ref::borrow(object));
  co_await pyrt::awaitable(Ref::borrow(awaitable));
  co_return held.take();
}

Task<long, "doubled"> doubled(Borrowed awaitable) {
  Ref value = co_await pyrt::awaitable(Ref::borrow(awaitable));
  long number = PyLong_AsLong(value.get());
  if (number == -1 && PyErr_Occurred()) pyrt::throw_error();
  co_return number * 2;
}

// Awaits a C++ child coroutine that awaits `awaitable` and doubles its integer result.
Task<Ref> cpp_child(Borrowed awaitable) {
  long value = co_await doubled(awaitable);
  co_return pyrt::require(PyLong_FromLong(value));
}

Task<Ref> raise_stop_iteration() {
  PyErr_SetString(PyExc_StopIteration, "leaked");
  pyrt::throw_error();
  co_return Ref();
}

// Keeps awaiting fresh awaitables from `factory`, swallowing everything, GeneratorExit included.
Task<Ref> ignore_exit(Borrowed factory) {
  for (;;) {
    try {
      co_await pyrt::awaitable(pyrt::call(factory));
    } catch (PyError&) {
      continue;  // swallowed, whatever it is
    }
  }
}

// Calls on_exit() from a C++ destructor when the frame goes away, however it ends.
struct ExitProbe {
  Borrowed callback;
  ~ExitProbe() {
    PyObject* result = PyObject_CallNoArgs(callback.get());
    if (result == nullptr) PyErr_WriteUnraisable(callback.get());
    Py_XDECREF(result);
  }
};

Task<Ref> guarded(Borrowed awaitable, Borrowed on_exit) {
  ExitProbe probe{on_exit};
  co_return co_await pyrt::awaitable(Ref::borrow(awaitable));
}

Ref add(Borrowed left, Borrowed right) {
  return pyrt::require(PyNumber_Add(left.get(), right.get()));
}

Ref bound_pair(Borrowed self, Borrowed value) {
  return pair(self, value);
}

Task<Ref> typed(Borrowed text, Borrowed data) {
  co_return pair(text, data);
}

Ref raise_plain(Borrowed exception) {
  PyErr_SetRaisedException(Py_NewRef(exception.get()));
  pyrt::throw_error();
}

// Fails in the helper named `helper` on an `argument` it rejects. Each helper is called on a line
// of its own: the traceback entry must name that line, whichever helpers it calls in turn.
Task<Ref> helper_error(Borrowed helper, Borrowed argument) {
  const char* utf8 = PyUnicode_AsUTF8(helper.get());
  if (utf8 == nullptr) pyrt::throw_error();
  const std::string_view name(utf8);
  if (name == "call") co_return pyrt::call(argument);
  if (name == "call_method") co_return pyrt::call_method(argument, pyrt::text<"missing">());
  if (name == "getattr") co_return pyrt::getattr(argument, pyrt::text<"missing">());
  if (name == "concat") co_return pyrt::concat({argument, argument});
  if (name == "prefix") co_return pyrt::prefix(argument, 1);
  if (name == "import_from") {
    static const pyrt::KwNames fromlist("missing");
    co_return pyrt::import_from(argument, pyrt::text<"missing">(), fromlist, Borrowed(Py_None));
  }
  if (name == "async_iter") co_return pyrt::async_iter(argument);
  Ref next = co_await pyrt::anext(argument);
  co_return next ? std::move(next) : Ref::borrow(Py_None);
}

// sys.exception() as seen while a plain function handles `exception`.
Ref plain_handled(Borrowed exception, Borrowed probe) {
  PyErr_SetRaisedException(Py_NewRef(exception.get()));
  PyError error = PyError::fetch();
  pyrt::Handling handling(error);
  return pyrt::call(probe);
}

// The address of this call's frame: how deep the C stack is where Python called it. The frame
// address, not a local's: AddressSanitizer may move locals to a heap-allocated fake stack.
Ref stack_address(Borrowed) {
#if defined(__GNUC__) || defined(__clang__)
  void* frame = __builtin_frame_address(0);
#else
  volatile char marker = 0;
  void* frame = const_cast<char*>(&marker);
#endif
  return pyrt::require(PyLong_FromVoidPtr(frame));
}

// A C++ allocation failure, in plain code and in a coroutine body after `awaitable`.
Ref fail_allocation(Borrowed) {
  throw std::bad_alloc();
}

Task<Ref> fail_allocation_after(Borrowed awaitable) {
  co_await pyrt::awaitable(Ref::borrow(awaitable));
  throw std::bad_alloc();
}

// What the cycle collector does to an object it breaks out of a cycle: its tp_clear.
Ref clear_object(Borrowed object) {
  if (inquiry clear = object.type()->tp_clear) clear(object.get());
  return Ref::none();
}

// The way each private-detail entry has gone: {name: "unused" | "private" | "public"}.
Ref compat_paths() {
  Ref paths = pyrt::require(PyDict_New());
  for (std::size_t i = 0; i < static_cast<std::size_t>(pyrt::compat::Entry::count); ++i) {
    const auto entry = static_cast<pyrt::compat::Entry>(i);
    const auto path = pyrt::compat::path_taken(entry);
    const char* word = path == pyrt::compat::Path::unused         ? "unused"
                       : path == pyrt::compat::Path::private_path ? "private"
                                                                  : "public";
    Ref value = pyrt::require(PyUnicode_FromString(word));
    pyrt::require(PyDict_SetItemString(paths.get(), pyrt::compat::entry_name(entry), value.get()));
  }
  return paths;
}

// Whether the entries' guarantees cover an interpreter of `release` (as sys.hexversion spells it).
Ref compat_covers(Borrowed release) {
  const long long value = PyLong_AsLongLong(release.get());
  if (value == -1 && PyErr_Occurred()) pyrt::throw_error();
  return pyrt::boolean(pyrt::compat::covers(static_cast<std::uint32_t>(value)));
}

constexpr pyrt::Param p_awaitable[] = {{"awaitable"}};
constexpr pyrt::Param p_object[] = {{"object"}};
constexpr pyrt::Param p_release[] = {{"release"}};
constexpr pyrt::Param p_value[] = {{"value"}};
constexpr pyrt::Param p_exception[] = {{"exception"}};
constexpr pyrt::Param p_handle[] = {{"first"}, {"probe"}, {"second"}};
constexpr pyrt::Param p_raise_in_handler[] = {{"first"}, {"second"}, {"type"}};
constexpr pyrt::Param p_iterable[] = {{"iterable"}};
constexpr pyrt::Param p_chain[] = {{"depth"}, {"awaitable"}};
constexpr pyrt::Param p_hold[] = {{"object"}, {"awaitable"}};
constexpr pyrt::Param p_none[] = {{"unused"}};
constexpr pyrt::Param p_factory[] = {{"factory"}};
constexpr pyrt::Param p_guarded[] = {{"awaitable"}, {"on_exit"}};
constexpr pyrt::Param p_add[] = {{"left", nullptr, "int"}, {"right", nullptr, "int"}};
constexpr pyrt::Param p_bound[] = {{"self"}, {"value"}};
// Not constexpr: the types' addresses are not constants where they are a DLL's data.
const pyrt::Param p_typed[] = {{"text", &PyUnicode_Type, "str"},
                               {"data", &PyDict_Type, "dict[str, Any]"}};
constexpr pyrt::Param p_plain_handled[] = {{"exception"}, {"probe"}};
constexpr pyrt::Param p_helper_error[] = {{"helper"}, {"argument"}};

Task<Ref> stop_iteration_body(Borrowed) {
  return raise_stop_iteration();
}

const pyrt::FunctionSpec specs[] = {
    pyrt::function_spec<&await_value>("await_value", "await_value", "Await and return.",
                                      p_awaitable, "Any"),
    pyrt::function_spec<&return_value>("return_value", "return_value", nullptr, p_value, nullptr),
    pyrt::function_spec<&raise_error>("raise_error", "raise_error", nullptr, p_exception, nullptr),
    pyrt::function_spec<&catch_exception>("catch_exception", "catch_exception", nullptr,
                                          p_awaitable, nullptr),
    pyrt::function_spec<&handle_then_await>("handle_then_await", "handle_then_await", nullptr,
                                            p_handle, nullptr),
    pyrt::function_spec<&raise_in_handler>("raise_in_handler", "raise_in_handler", nullptr,
                                           p_raise_in_handler, nullptr),
    pyrt::function_spec<&iterate>("iterate", "iterate", nullptr, p_iterable, nullptr),
    pyrt::function_spec<&chain>("chain", "chain", nullptr, p_chain, nullptr),
    pyrt::function_spec<&hold_across>("hold_across", "hold_across", nullptr, p_hold, nullptr),
    pyrt::function_spec<&cpp_child>("cpp_child", "cpp_child", nullptr, p_awaitable, nullptr),
    pyrt::function_spec<&stop_iteration_body>("raise_stop_iteration", "raise_stop_iteration",
                                              nullptr, p_none, nullptr),
    pyrt::function_spec<&ignore_exit>("ignore_exit", "ignore_exit", nullptr, p_factory, nullptr),
    pyrt::function_spec<&guarded>("guarded", "guarded", nullptr, p_guarded, nullptr),
    pyrt::function_spec<&finally_call>("finally_call", "finally_call", nullptr, p_guarded, nullptr),
    pyrt::function_spec<&reraise>("reraise", "reraise", nullptr, p_awaitable, nullptr),
    pyrt::function_spec<&add>("add", "add", "Add two numbers.", p_add, "int"),
    pyrt::function_spec<&bound_pair>("bound_pair", "Holder.bound_pair", nullptr, p_bound, nullptr),
    pyrt::function_spec<&typed>("typed", "typed", nullptr, p_typed, "tuple"),
    pyrt::function_spec<&raise_plain>("raise_plain", "raise_plain", nullptr, p_exception, nullptr),
    pyrt::function_spec<&helper_error>("helper_error", "helper_error", nullptr, p_helper_error,
                                       nullptr),
    pyrt::function_spec<&plain_handled>("plain_handled", "plain_handled", nullptr, p_plain_handled,
                                        nullptr),
    pyrt::function_spec<&stack_address>("stack_address", "stack_address", nullptr, p_none, nullptr),
    pyrt::function_spec<&fail_allocation>("fail_allocation", "fail_allocation", nullptr, p_none,
                                          nullptr),
    pyrt::function_spec<&fail_allocation_after>("fail_allocation_after", "fail_allocation_after",
                                                nullptr, p_awaitable, nullptr),
    pyrt::function_spec<&clear_object>("clear_object", "clear_object", nullptr, p_object, nullptr),
    pyrt::function_spec<&compat_paths>("compat_paths", "compat_paths", nullptr, nullptr),
    pyrt::function_spec<&compat_covers>("compat_covers", "compat_covers", nullptr, p_release,
                                        "bool"),
};

int exec_module(PyObject* module) noexcept {
  return pyrt::boundary(
      [&] {
        pyrt::init_runtime("_pyrt_testmod");
        Ref name = pyrt::require(PyModule_GetNameObject(module));
        Borrowed globals(PyModule_GetDict(module));
        // String annotations name Any, as in the twins' module.
        Ref typing = pyrt::require(PyImport_ImportModule("typing"));
        Ref any = pyrt::require(PyObject_GetAttrString(typing.get(), "Any"));
        pyrt::require(PyModule_AddObjectRef(module, "Any", any.get()));
        for (const pyrt::FunctionSpec& spec : specs) {
          Ref function = pyrt::make_function(spec, name, globals);
          pyrt::require(PyModule_AddObjectRef(module, spec.name, function.get()));
          if (std::strcmp(spec.name, "chain") == 0) chain_function = function.get();
        }
        return 0;
      },
      -1);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "_pyrt_testmod",
    "Coroutines and functions for testing the runtime.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

// The interpreter looks the module up by this name.
PyMODINIT_FUNC PyInit__pyrt_testmod() {  // NOLINT(bugprone-reserved-identifier)
  return PyModuleDef_Init(&definition);
}
