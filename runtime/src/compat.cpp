// The private details of CPython and its standard library that the runtime uses, each behind a
// gate and with its fallback (pyrt/compat.hpp says what each assumes).
#include "pyrt/compat.hpp"

#include <array>
#include <cstdlib>
#include <cstring>

#include "pyrt/call.hpp"
#include "pyrt/error.hpp"
#include "pyrt/interned.hpp"

namespace pyrt::compat {

namespace {

// Plain data: which way each entry went in this process. A self-check that failed holds for the
// process, whatever interpreter comes later.
std::array<Path, static_cast<std::size_t>(Entry::count)> paths{};

bool public_paths_forced() noexcept {
  static const bool forced = [] {
    const char* setting = std::getenv("PYRT_COMPAT");  // NOLINT(concurrency-mt-unsafe): read once
    return setting != nullptr && std::strcmp(setting, "public") == 0;
  }();
  return forced;
}

Path& path_of(Entry entry) noexcept {
  return paths[static_cast<std::size_t>(entry)];
}

// Whether `entry` may take its private path now; the first call decides for an entry without a
// self-check.
bool may_go_private(Entry entry) noexcept {
  Path& path = path_of(entry);
  if (path == Path::private_path) return true;  // decided: the common case is one comparison
  if (path == Path::public_path) return false;
  if (!private_details_allowed()) {
    path = Path::public_path;
    return false;
  }
  return true;
}

const Name cr_await_name("cr_await"), sys_module("sys"),
    get_depth("get_coroutine_origin_tracking_depth"), suggestions_module("_suggestions"),
    generate_suggestions("_generate_suggestions"), warnings_module("warnings"),
    warn_unawaited_name("_warn_unawaited_coroutine");

const PyGetSetDef* find_cr_await_getter() noexcept {
  for (const PyGetSetDef* entry = PyCoro_Type.tp_getset; entry != nullptr && entry->name != nullptr;
       ++entry) {
    if (std::strcmp(entry->name, "cr_await") == 0 && entry->get != nullptr) return entry;
  }
  return nullptr;
}

Ref public_awaited(Borrowed coroutine, Where where) {
  PyObject* found = nullptr;
  require(PyObject_GetOptionalAttr(coroutine.get(), cr_await_name.get().get(), &found), where);
  return Ref::steal(found);
}

int public_depth(Where where) {
  Ref depth = call_method({import(sys_module, where), where}, get_depth);
  const long value = PyLong_AsLong(depth.get());
  if (value == -1 && PyErr_Occurred()) throw_error(where);
  return static_cast<int>(value);
}

}  // namespace

Path path_taken(Entry entry) noexcept {
  return path_of(entry);
}

bool private_details_allowed() noexcept {
  if (public_paths_forced()) return false;
  for (std::uint32_t version : verified_versions) {
    if (Py_Version == version) return true;
  }
  return false;
}

bool choose(Entry entry, bool private_path_agrees) noexcept {
  if (!may_go_private(entry) || !private_path_agrees) {
    path_of(entry) = Path::public_path;
    return false;
  }
  path_of(entry) = Path::private_path;
  return true;
}

namespace detail {

const PyGetSetDef* cr_await_getter = nullptr;
bool origin_depth_field = false;

// The first use decides (the inline fast path takes over once the private way is chosen).
Ref native_coroutine_awaited_slow(Borrowed coroutine, Where where) {
  const PyGetSetDef* getter = find_cr_await_getter();
  if (getter == nullptr || !may_go_private(Entry::cr_await_getter)) {
    path_of(Entry::cr_await_getter) = Path::public_path;
    return public_awaited(coroutine, where);
  }
  Ref awaited = require(getter->get(coroutine.get(), getter->closure), where);
  Ref checked = public_awaited(coroutine, where);
  if (!choose(Entry::cr_await_getter, checked.get() == awaited.get())) return checked;
  cr_await_getter = getter;
  return awaited;
}

int origin_tracking_depth_slow(Where where) {
  if (!may_go_private(Entry::origin_tracking_depth)) return public_depth(where);
  const int depth = PyThreadState_Get()->coroutine_origin_tracking_depth;
  const int checked = public_depth(where);
  if (!choose(Entry::origin_tracking_depth, checked == depth)) return checked;
  origin_depth_field = true;
  return depth;
}

}  // namespace detail

bool warn_unawaited(Borrowed coroutine) {
  if (!may_go_private(Entry::unawaited_warning)) return false;
  // While the interpreter shuts down nothing may be imported any more: only a module still
  // loaded is used, as the interpreter's own warning does.
  Ref module = Ref::steal(PyImport_GetModule(warnings_module.get().get()));
  if (!module || module.is_none()) {
    PyErr_Clear();
    return false;
  }
  PyObject* warn = nullptr;
  if (PyObject_GetOptionalAttr(module.get(), warn_unawaited_name.get().get(), &warn) < 0) {
    return false;
  }
  if (warn == nullptr) {
    path_of(Entry::unawaited_warning) = Path::public_path;
    return false;
  }
  path_of(Entry::unawaited_warning) = Path::private_path;
  Ref method = Ref::steal(warn);
  Ref result = Ref::steal(PyObject_CallOneArg(method.get(), coroutine.get()));
  // A filter that turns the warning into an error has warned too: the error stays set.
  return result || PyErr_ExceptionMatches(PyExc_RuntimeWarning) != 0;
}

bool assign_version_tag(PyTypeObject* type) noexcept {
  if (!may_go_private(Entry::type_version_tag)) return false;
  path_of(Entry::type_version_tag) = Path::private_path;
  return PyUnstable_Type_AssignVersionTag(type) != 0;
}

Ref keyword_suggestion(Borrowed names, Borrowed keyword) {
  if (!may_go_private(Entry::keyword_suggestion)) return {};
  path_of(Entry::keyword_suggestion) = Path::private_path;
  Ref engine = Ref::steal(PyImport_Import(suggestions_module.get().get()));
  Ref suggestion =
      engine ? Ref::steal(PyObject_CallMethodObjArgs(engine.get(), generate_suggestions.get().get(),
                                                     names.get(), keyword.get(), nullptr))
             : Ref();
  PyErr_Clear();  // only a hint: its failure must not replace the error it is for
  if (!suggestion || !PyUnicode_Check(suggestion.get())) return {};
  return suggestion;
}

// ---- An asyncio.Queue re-bound to the running loop ----

namespace {

const Name asyncio_name("asyncio"), mixins_name("asyncio.mixins"), queue_name("Queue"),
    mixin_name("_LoopBoundMixin"), loop_name("_loop"), getters_name("_getters"),
    putters_name("_putters"), bind_name("_get_loop"), collections_name("collections"),
    deque_name("deque"), get_running_loop_name("get_running_loop"), get_loop_name("get_loop"),
    is_closed_name("is_closed"), clear_name("clear"), callbacks_name("_callbacks"),
    create_future_name("create_future"), add_callback_name("add_done_callback"),
    remove_callback_name("remove_done_callback");

// An attribute, or an empty Ref when it is missing.
Ref optional_attribute(Borrowed object, const Name& name, Where where) {
  PyObject* value = nullptr;
  require(PyObject_GetOptionalAttr(object.get(), name.get().get(), &value), where);
  return Ref::steal(value);
}

bool is_exact_deque(Borrowed object, Where where) {
  Ref deque = getattr(import(collections_name, where), deque_name, where);
  return object && Py_IS_TYPE(object.get(), reinterpret_cast<PyTypeObject*>(deque.get()));
}

// The self-check: Queue derives from _LoopBoundMixin, a new queue is on no loop, has its waiter
// deques, binds the running loop at _get_loop() and binds it again once `_loop` is None.
bool queue_internals_as_assumed(Borrowed asyncio, Borrowed running, Where where) {
  try {
    Ref mixin = optional_attribute(import(mixins_name, where), mixin_name, where);
    Ref queue_type = getattr(asyncio, queue_name, where);
    if (!mixin || !PyType_Check(mixin.get()) ||
        require(PyObject_IsSubclass(queue_type.get(), mixin.get()), where) != 1) {
      return false;
    }
    Ref probe = call({queue_type, where});
    if (!getattr(probe, loop_name, where).is_none() ||
        !is_exact_deque(optional_attribute(probe, getters_name, where), where) ||
        !is_exact_deque(optional_attribute(probe, putters_name, where), where)) {
      return false;
    }
    // A future's `_callbacks` lists (callback, context) pairs, the callbacks that
    // remove_done_callback() takes.
    Ref future = call_method({running, where}, create_future_name);
    call_method({future, where}, add_callback_name, bind_name.get());  // any callable will do
    Ref callbacks = getattr(future, callbacks_name, where);
    if (!PyList_CheckExact(callbacks.get()) || PyList_GET_SIZE(callbacks.get()) != 1) return false;
    Borrowed pair(PyList_GET_ITEM(callbacks.get(), 0));
    if (!PyTuple_CheckExact(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2 ||
        PyTuple_GET_ITEM(pair.get(), 0) != bind_name.get().get()) {
      return false;
    }
    call_method({future, where}, remove_callback_name, bind_name.get());
    Ref left = getattr(future, callbacks_name, where);
    if (!left.is_none() && (!PyList_CheckExact(left.get()) || PyList_GET_SIZE(left.get()) != 0)) {
      return false;
    }
    for (int round = 0; round < 2; ++round) {
      if (!call_method({probe, where}, bind_name).is(running) ||
          !getattr(probe, loop_name, where).is(running)) {
        return false;
      }
      require(PyObject_SetAttr(probe.get(), loop_name.get().get(), Py_None), where);
    }
    return true;
  } catch (PyError& error) {
    exception_family(error);
    return false;
  }
}

// Whether every waiter in `waiters` (an exact deque) belongs to a closed loop and has its
// callbacks listed as expected.
bool only_dead_waiters(Borrowed waiters, Where where) {
  Ref iterator = require(PyObject_GetIter(waiters.get()), where);
  while (Ref waiter = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref loop = call_method({waiter, where}, get_loop_name);
    if (!truthy(call_method({loop, where}, is_closed_name), where)) return false;
    Ref callbacks = optional_attribute(waiter, callbacks_name, where);
    if (!callbacks || !(callbacks.is_none() || PyList_CheckExact(callbacks.get()))) return false;
  }
  if (PyErr_Occurred()) throw_error(where);
  return true;
}

// Takes the callbacks off every waiter in `waiters` and empties it. The waiting task never runs
// again; when it is closed, its own cancel() of the waiter then has nothing to schedule on the
// closed loop (which would fail).
void drop_dead_waiters(Borrowed waiters, Where where) {
  Ref iterator = require(PyObject_GetIter(waiters.get()), where);
  while (Ref waiter = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref callbacks = getattr(waiter, callbacks_name, where);
    if (callbacks.is_none()) continue;
    Ref pairs = require(PyList_GetSlice(callbacks.get(), 0, PY_SSIZE_T_MAX), where);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
      Borrowed pair(PyList_GET_ITEM(pairs.get(), i));
      if (PyTuple_Check(pair.get()) && PyTuple_GET_SIZE(pair.get()) >= 1) {
        call_method({waiter, where}, remove_callback_name,
                    Borrowed(PyTuple_GET_ITEM(pair.get(), 0)));
      }
    }
  }
  if (PyErr_Occurred()) throw_error(where);
  call_method({waiters, where}, clear_name);
}

// The private path for one queue of asyncio, bound to `bound` (not None).
QueueBinding rebind(Borrowed queue, Borrowed asyncio, Borrowed bound, Where where) {
  Ref getters, putters;
  try {
    if (bound.is(call_method({asyncio, where}, get_running_loop_name))) {
      return QueueBinding::usable;
    }
    getters = optional_attribute(queue, getters_name, where);
    putters = optional_attribute(queue, putters_name, where);
    if (!is_exact_deque(getters, where) || !is_exact_deque(putters, where) ||
        !only_dead_waiters(getters, where) || !only_dead_waiters(putters, where)) {
      return QueueBinding::maybe_bound_elsewhere;
    }
    // `_loop` first: a subclass that refuses it has lost nothing.
    require(PyObject_SetAttr(queue.get(), loop_name.get().get(), Py_None), where);
  } catch (PyError& error) {
    exception_family(error);
    return QueueBinding::maybe_bound_elsewhere;
  }
  // Dropping futures nothing will ever wake; waking one would need its closed loop.
  drop_dead_waiters(getters, where);
  drop_dead_waiters(putters, where);
  return QueueBinding::usable;
}

// The asyncio module: looked up among the loaded modules (it runs the loop, so it is loaded).
Ref asyncio_module(Where where) {
  Ref loaded = Ref::steal(PyImport_GetModule(asyncio_name.get().get()));
  if (loaded) return loaded;
  if (PyErr_Occurred()) throw_error(where);
  return import(asyncio_name, where);
}

}  // namespace

// Cheapest first: it runs at every put and every wait of the bridge.
QueueBinding rebind_queue(Borrowed queue, Where where) {
  Ref asyncio = asyncio_module(where);
  if (require(PyObject_IsInstance(queue.get(), getattr(asyncio, queue_name, where).get()), where) !=
      1) {
    return QueueBinding::not_asyncio;
  }
  Path& path = path_of(Entry::queue_loop_binding);
  if (path == Path::unused && public_paths_forced()) path = Path::public_path;
  if (path == Path::unused) {
    // The self-check needs a running loop; with none (a coroutine driven by hand) it waits.
    Ref running =
        Ref::steal(PyObject_CallMethodNoArgs(asyncio.get(), get_running_loop_name.get().get()));
    if (!running) {
      if (PyErr_ExceptionMatches(PyExc_RuntimeError) == 0) throw_error(where);
      PyErr_Clear();
      return QueueBinding::maybe_bound_elsewhere;
    }
    path = queue_internals_as_assumed(asyncio, running, where) ? Path::private_path
                                                               : Path::public_path;
  }
  if (path != Path::private_path) return QueueBinding::maybe_bound_elsewhere;
  Ref bound;
  try {
    bound = optional_attribute(queue, loop_name, where);
  } catch (PyError& error) {
    exception_family(error);
  }
  if (!bound) return QueueBinding::maybe_bound_elsewhere;
  if (bound.is_none()) return QueueBinding::usable;
  return rebind(queue, asyncio, bound, where);
}

}  // namespace pyrt::compat
