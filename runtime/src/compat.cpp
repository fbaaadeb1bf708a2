// The private details of CPython and its standard library that the runtime uses, each behind the
// guarantee that covers it and with its fallback (pyrt/compat.hpp says what each assumes).
#include "pyrt/compat.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "pyrt/call.hpp"
#include "pyrt/error.hpp"
#include "pyrt/interned.hpp"
#include "pyrt/text.hpp"

namespace pyrt::compat {

namespace {

constexpr const char* entry_names[] = {"origin_tracking_depth", "unawaited_warning",
                                       "keyword_suggestion",    "logging_internals",
                                       "coroutine_marker",      "queue_loop_binding"};
static_assert(std::size(entry_names) == static_cast<std::size_t>(Entry::count));

struct Settings {
  std::uint32_t public_forced = 0;  // by Entry
  bool report = false;
};

// PYRT_COMPAT, read once: a comma-separated list of "public" (every entry), "public:ENTRY" (one)
// and "report".
Settings settings() noexcept {
  static const Settings read = [] {
    Settings found;
    const char* setting = std::getenv("PYRT_COMPAT");  // NOLINT(concurrency-mt-unsafe): read once
    std::string_view rest = setting != nullptr ? setting : "";
    while (!rest.empty()) {
      const std::size_t comma = rest.find(',');
      const std::string_view word = rest.substr(0, comma);
      found.report = found.report || word == "report";
      for (std::size_t i = 0; i < std::size(entry_names); ++i) {
        if (word == "public" || (word.starts_with("public:") && word.substr(7) == entry_names[i])) {
          found.public_forced |= std::uint32_t{1} << i;
        }
      }
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    return found;
  }();
  return read;
}

// Plain data: which way each entry went in this process. A self-check that failed holds for the
// process, whatever interpreter comes later.
std::array<Path, static_cast<std::size_t>(Entry::count)> paths{};

Path& path_of(Entry entry) noexcept {
  return paths[static_cast<std::size_t>(entry)];
}

// Sets the way of `entry` (`why` says why a public one), reported once per change on request.
// Written straight to the C stream: no Python code may run where an entry is decided.
void decide(Entry entry, Path path, const char* why = nullptr) noexcept {
  if (path_of(entry) == path) return;
  path_of(entry) = path;
  if (!settings().report) return;
  if (path == Path::private_path) {
    std::fprintf(stderr, "pyrt.compat: %s: private\n", entry_name(entry));
  } else {
    std::fprintf(stderr, "pyrt.compat: %s: public (%s)\n", entry_name(entry), why);
  }
  std::fflush(stderr);
}

constexpr const char* self_check_failed = "self-check failed";

const Name sys_module("sys"), get_depth("get_coroutine_origin_tracking_depth"),
    suggestions_module("_suggestions"), generate_suggestions("_generate_suggestions"),
    warnings_module("warnings"), warn_unawaited_name("_warn_unawaited_coroutine"),
    code_name("__code__"), arg_count("co_argcount"), qualname("__qualname__"), origin("cr_origin"),
    traceback_module("traceback"), format_list("format_list"), linecache_module("linecache"),
    getline("getline"), warn("warn"), rstrip("rstrip"), coroutines_module("asyncio.coroutines"),
    coroutine_marker_name("_is_coroutine");

// sys.get_coroutine_origin_tracking_depth, found in sys once per interpreter lifetime: the
// interpreter's own coroutines read the depth it reports without calling it, so one put in its
// place later changes nothing for them either.
pyrt::detail::PerInterpreter depth_getter;

// What sys.get_coroutine_origin_tracking_depth() reports.
int public_depth(Where where) {
  if (!depth_getter.current()) {
    Ref sys = Ref::steal(PyImport_GetModule(sys_module.get().get()));
    if (!sys) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "lost sys");
      throw_error(where);
    }
    depth_getter.hold(getattr(sys, get_depth, where).release(), where);
  }
  Ref depth = call({depth_getter.object(), where});
  const long value = PyLong_AsLong(depth.get());
  if (value == -1 && PyErr_Occurred()) throw_error(where);
  return static_cast<int>(value);
}

// warnings._warn_unawaited_coroutine, when warnings is loaded (while the interpreter shuts down
// nothing may be imported) and it has the shape expected: a function of one parameter.
Ref private_unawaited_warner(Where where) {
  Ref module = Ref::steal(PyImport_GetModule(warnings_module.get().get()));
  if (!module) {
    if (PyErr_Occurred()) throw_error(where);
    return {};
  }
  Ref warner = optional_attribute(module, warn_unawaited_name, where);
  Ref code = warner && PyFunction_Check(warner.get()) ? optional_attribute(warner, code_name, where)
                                                      : Ref();
  Ref count = code ? optional_attribute(code, arg_count, where) : Ref();
  const bool shaped = count && PyLong_CheckExact(count.get()) && PyLong_AsLong(count.get()) == 1;
  return choose(Entry::unawaited_warning, shaped) ? warner : Ref();
}

// What warnings._warn_unawaited_coroutine says, made through public API: the first line, then,
// while the coroutine knows where it was made, those frames as traceback.format_list formats them,
// outermost first.
Ref unawaited_message(Borrowed coroutine, Where where) {
  Ref name = getattr(coroutine, qualname, where);
  Ref message =
      require(PyUnicode_FromFormat("coroutine '%S' was never awaited\n", name.get()), where);
  Ref frames = getattr(coroutine, origin, where);
  if (!frames.is_none()) {
    Ref lines = require(PyList_New(0), where);
    Ref frame_list = require(PySequence_List(frames.get()), where);
    require(PyList_Reverse(frame_list.get()), where);
    Ref linecache = import(linecache_module, where);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(frame_list.get()); ++i) {
      PyObject* frame = PyList_GET_ITEM(frame_list.get(), i);
      PyObject *file = nullptr, *line = nullptr, *function = nullptr;
      if (PyArg_ParseTuple(frame, "OOO", &file, &line, &function) == 0) throw_error(where);
      Ref source = call_method({linecache, where}, getline, Borrowed(file), Borrowed(line));
      Ref entry = require(PyTuple_Pack(4, file, line, function, source.get()), where);
      require(PyList_Append(lines.get(), entry.get()), where);
    }
    Ref formatted = call_method({import(traceback_module, where), where}, format_list, lines);
    Ref header = string("Coroutine created at (most recent call last)\n", where);
    Ref empty = string("", where);
    Ref body = require(PyUnicode_Join(empty.get(), formatted.get()), where);
    message = concat({message, header, body}, where);
  }
  return call_method({message, where}, rstrip, text<"\n">());
}

}  // namespace

const char* entry_name(Entry entry) noexcept {
  return entry_names[static_cast<std::size_t>(entry)];
}

Path path_taken(Entry entry) noexcept {
  return path_of(entry);
}

bool covers(std::uint32_t release) noexcept {
  return (release >> 16) == covered_series;
}

bool may_go_private(Entry entry) noexcept {
  const Path path = path_of(entry);
  if (path != Path::unused) return path == Path::private_path;
  if ((settings().public_forced >> static_cast<unsigned>(entry) & 1U) != 0) {
    decide(entry, Path::public_path, "forced by PYRT_COMPAT");
    return false;
  }
  if (!covers(Py_Version)) {
    decide(entry, Path::public_path, "not a 3.14 release");
    return false;
  }
  return true;
}

bool choose(Entry entry, bool private_path_agrees) noexcept {
  if (!may_go_private(entry)) return false;
  decide(entry, private_path_agrees ? Path::private_path : Path::public_path, self_check_failed);
  return private_path_agrees;
}

namespace detail {

bool origin_depth_field = false;

int origin_tracking_depth_slow(Where where) {
  const int checked = public_depth(where);
  if (!may_go_private(Entry::origin_tracking_depth)) return checked;
  const int depth = PyThreadState_Get()->coroutine_origin_tracking_depth;
  if (!choose(Entry::origin_tracking_depth, checked == depth)) return checked;
  origin_depth_field = true;
  return depth;
}

}  // namespace detail

void warn_unawaited(Borrowed coroutine) {
  const Where where = Where::current();
  if (may_go_private(Entry::unawaited_warning)) {
    if (Ref warner = private_unawaited_warner(where)) {
      call({warner, where}, coroutine);
      return;
    }
  }
  Ref message = unawaited_message(coroutine, where);
  Ref module = Ref::steal(PyImport_GetModule(warnings_module.get().get()));
  if (module) {  // where it was made goes to tracemalloc's report, as the interpreter's does
    Ref level = require(PyLong_FromLong(1), where);
    call({getattr(module, warn, where), where}, message, Borrowed(PyExc_RuntimeWarning), level,
         coroutine);
    return;
  }
  if (PyErr_Occurred()) throw_error(where);
  if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "%U", message.get()) < 0) throw_error(where);
}

Ref keyword_suggestion(Borrowed names, Borrowed keyword) {
  if (!may_go_private(Entry::keyword_suggestion)) return {};
  Ref engine = Ref::steal(PyImport_Import(suggestions_module.get().get()));
  auto suggest = [&](PyObject* candidates, PyObject* name) {
    return engine ? Ref::steal(PyObject_CallMethodObjArgs(
                        engine.get(), generate_suggestions.get().get(), candidates, name, nullptr))
                  : Ref();
  };
  if (path_of(Entry::keyword_suggestion) == Path::unused) {
    Ref right = Ref::steal(PyUnicode_FromString("right"));
    Ref typo = Ref::steal(PyUnicode_FromString("rigth"));
    Ref candidates = right ? Ref::steal(PyList_New(1)) : Ref();
    if (candidates) PyList_SET_ITEM(candidates.get(), 0, Ref(right).release());
    Ref answer = candidates && typo ? suggest(candidates.get(), typo.get()) : Ref();
    const bool works = answer && PyUnicode_Check(answer.get()) &&
                       PyUnicode_Compare(answer.get(), right.get()) == 0;
    PyErr_Clear();  // only a hint: its failure must not replace the error it is for
    if (!choose(Entry::keyword_suggestion, works)) return {};
  }
  Ref suggestion = suggest(names.get(), keyword.get());
  PyErr_Clear();
  if (!suggestion || !PyUnicode_Check(suggestion.get())) return {};
  return suggestion;
}

void mark_coroutine_function(Borrowed function, Where where) {
  if (!may_go_private(Entry::coroutine_marker)) return;
  Ref marker = optional_attribute(import(coroutines_module, where), coroutine_marker_name, where);
  if (!choose(Entry::coroutine_marker, marker && Py_IS_TYPE(marker.get(), &PyBaseObject_Type))) {
    return;
  }
  setattr(function, coroutine_marker_name, marker, where);
}

namespace logging {

namespace {
const Name private_method_names[] = {Name("_log"), Name("findCaller")};
const Name level_cache_name("_cache"), source_file("_srcfile");
}  // namespace

std::span<const Name> private_methods() {
  return private_method_names;
}

const Name& level_cache() {
  return level_cache_name;
}

int records_located(PyObject* logging_namespace) {
  PyObject* file = nullptr;
  if (PyDict_GetItemRef(logging_namespace, source_file.get().get(), &file) < 0) PyErr_Clear();
  Ref held = Ref::steal(file);
  if (file == nullptr || (file != Py_None && !PyUnicode_Check(file))) return -1;
  return file != Py_None && PyUnicode_GET_LENGTH(file) != 0 ? 1 : 0;
}

}  // namespace logging

// ---- An asyncio.Queue re-bound to the running loop ----

namespace {

const Name asyncio_name("asyncio"), mixins_name("asyncio.mixins"), queue_name("Queue"),
    mixin_name("_LoopBoundMixin"), loop_name("_loop"), getters_name("_getters"),
    putters_name("_putters"), bind_name("_get_loop"), collections_name("collections"),
    deque_name("deque"), get_running_loop_name("get_running_loop"), get_loop_name("get_loop"),
    is_closed_name("is_closed"), clear_name("clear"), callbacks_name("_callbacks"),
    create_future_name("create_future"), add_callback_name("add_done_callback"),
    remove_callback_name("remove_done_callback");

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

// The asyncio module, read from the interpreter's loaded modules: it runs the loop, so its import
// has finished. PyImport_GetModule would also wait for an import in progress, and asking whether
// one is costs two attribute reads, half of a put's look at its queue.
Ref asyncio_module(Where where) {
  PyObject* found = nullptr;
  require(PyMapping_GetOptionalItem(PyImport_GetModuleDict(), asyncio_name.get().get(), &found),
          where);
  Ref loaded = Ref::steal(found);
  if (loaded && !loaded.is_none()) return loaded;
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
  if (!may_go_private(Entry::queue_loop_binding)) return QueueBinding::maybe_bound_elsewhere;
  if (path_of(Entry::queue_loop_binding) == Path::unused) {
    // The self-check needs a running loop; with none (a coroutine driven by hand) it waits.
    Ref running =
        Ref::steal(PyObject_CallMethodNoArgs(asyncio.get(), get_running_loop_name.get().get()));
    if (!running) {
      if (PyErr_ExceptionMatches(PyExc_RuntimeError) == 0) throw_error(where);
      PyErr_Clear();
      return QueueBinding::maybe_bound_elsewhere;
    }
    if (!choose(Entry::queue_loop_binding, queue_internals_as_assumed(asyncio, running, where))) {
      return QueueBinding::maybe_bound_elsewhere;
    }
  }
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
