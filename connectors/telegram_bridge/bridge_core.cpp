// The module's load-time behaviour, the TelegramBridge class, the process-wide bridge, and
// starting and stopping the bridge.
#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <cstdint>
#include <span>

#include "bridge.hpp"
#include "pyrt/watch.hpp"

namespace telegram_bridge {

namespace names {
const Name asyncio("asyncio"), base64("base64"), logging("logging"), tempfile("tempfile"),
    Path("Path"), Any("Any"), logger("logger"), TelegramBridge("TelegramBridge"),
    _bridge("_bridge"), get_telegram_bridge("get_telegram_bridge");
const Name _running("_running"), _processing("_processing"), _queue("_queue"),
    _worker_task("_worker_task");
const Name _get_telegram("_get_telegram"), _get_agent("_get_agent"),
    _on_telegram_message("_on_telegram_message"), _process_queue("_process_queue"),
    _handle_message("_handle_message"), _send_reply("_send_reply"),
    _send_screenshot("_send_screenshot");
const Name get("get"), start("start"), stop("stop"), set_message_handler("set_message_handler"),
    send_typing("send_typing"), send_message("send_message"), send_photo("send_photo"),
    is_configured("is_configured"), _chat_id("_chat_id"), process_message("process_message"),
    to_dict("to_dict"), broadcast("broadcast"), manager("manager"), get_state("get_state");
const Name chat_id("chat_id"), from_name("from_name"), type("type"), data("data");
}  // namespace names

namespace {

// The module loads into one interpreter, once. That interpreter keeps the executed module
// (pyrt::detail::keep) and releases it while it finalises; the pointer here is valid while its
// generation is the current one. The interpreter's identifier is forgotten once it has
// finalised, so an embedding host that initialises Python again can import the module again.
std::atomic<std::int64_t> recorded_interpreter{-1};
PyObject* executed_module = nullptr;
std::uint32_t executed_generation = 0;

// Runs after the interpreter has finalised; the C API is gone.
void forget_interpreter() noexcept {
  recorded_interpreter = -1;
}

// The executed module of the current interpreter, or null.
PyObject* executed() noexcept {
  return executed_generation == pyrt::detail::interpreter_generation ? executed_module : nullptr;
}

// Its namespace, for the operations; they run only while the module lives.
PyObject* module_dict(Where where) {
  PyObject* module = executed();
  if (module == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the module telegram_bridge is not loaded");
    pyrt::throw_error(where);
  }
  return PyModule_GetDict(module);
}

const Name cancelled_error("CancelledError"), create_task("create_task"), done("done"),
    cancel("cancel"), queue_type("Queue"), get_logger("getLogger"), spec_name("name"),
    pathlib("pathlib"), typing("typing");

}  // namespace

// ---- Shared helpers ----

namespace {
// The globals read on every message (logger, asyncio), kept from one read to the next while
// the namespace is unchanged: it is watched (pyrt/watch.hpp), so a host that rebinds a name is
// seen at the next use, as without the cache.
struct GlobalSlot {
  PyObject* dict = nullptr;   // only compared
  PyObject* name = nullptr;   // only compared: a Name's interned string
  PyObject* value = nullptr;  // borrowed from the namespace, alive while the epoch holds
  std::uint64_t epoch = 0;
};
std::array<GlobalSlot, 8> global_slots;
std::size_t next_global_slot = 0;
}  // namespace

Ref module_global(const Name& name, Where where) {
  PyObject* dict = module_dict(where);
  PyObject* key = name.get().get();
  for (const GlobalSlot& slot : global_slots) {
    if (slot.name == key && slot.dict == dict && slot.epoch == pyrt::detail::cache_epoch) {
      return Ref::borrow(Borrowed(slot.value));
    }
  }
  const std::uint64_t epoch = pyrt::detail::cache_epoch;
  PyObject* value = nullptr;
  int found = PyDict_GetItemRef(dict, key, &value);
  if (found < 0) pyrt::throw_error(where);
  if (found == 0) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    pyrt::throw_error(where);
  }
  Ref result = Ref::steal(value);
  if (pyrt::watch_dict(dict)) {
    // The name's own slot or a stale one, else the next in turn.
    GlobalSlot* slot = nullptr;
    for (GlobalSlot& candidate : global_slots) {
      if (candidate.name == key || candidate.epoch != pyrt::detail::cache_epoch) {
        slot = &candidate;
        break;
      }
    }
    if (slot == nullptr) {
      slot = &global_slots[next_global_slot];
      next_global_slot = (next_global_slot + 1) % global_slots.size();
    }
    *slot = {dict, key, value, epoch};
  }
  return result;
}

void set_module_global(Borrowed name, Borrowed value, Where where) {
  pyrt::require(PyDict_SetItem(module_dict(where), name.get(), value.get()), where);
}

namespace {

const Name log_methods[] = {Name("debug"), Name("info"), Name("warning"), Name("error"),
                            Name("exception")};
// What the standard Logger's log methods run on the way to a record, besides the method itself.
const Name is_enabled_for("isEnabledFor"), low_level_log("_log"), find_caller("findCaller");
const Name logger_class("Logger"), disabled("disabled"), level_cache("_cache"),
    code_qualname("co_qualname"), source_file("_srcfile"), make_record("makeRecord"),
    handle_record("handle");
const Name level_constants[] = {Name("DEBUG"), Name("INFO"), Name("WARNING"), Name("ERROR")};

// What a call of the module logger at each level comes to. When the logger is exactly the
// standard logging.Logger, whose log methods (above) are logging's own and which nothing on the
// instance shadows, its own level cache (`_cache`, which `isEnabledFor` fills and `setLevel` and
// `logging.disable` clear) and `disabled` flag decide what the call would do:
//   skip  the call would return at once: it is not made;
//   emit  the call would make a record and hand it to the logger: the module does the same
//         through the logger's `makeRecord` and `handle`, as the method would, except that the
//         record is located at the module's own log call (its source file, line and function)
//         instead of wherever logging's frame search would land (a C function has no frame);
//   ask   the cache does not know the level yet: `isEnabledFor` is asked (and fills it), as the
//         method would ask it, and the record is made as for `emit` when the answer is true;
//   call  anything else, or any doubt: the method is called.
// Everything the answer rests on is watched (pyrt/watch.hpp): the logger's instance dict (level,
// `disabled`, `_cache`, `name`, any shadowing attribute), the cache, the Logger class and
// logging's namespace (the level constants, `_srcfile`); any change is seen at the next call.
enum class Route : std::uint8_t { call, skip, emit, ask };
struct LoggerPlan {
  std::uint64_t epoch = 0;
  PyObject* logger = nullptr;        // compared; used only while `bound` and the epoch hold
  PyTypeObject* type = nullptr;      // only compared
  PyObject* dict = nullptr;          // only compared: the instance dict watched, if any
  bool bound = false;                // `logger` was read from the module's watched namespace
  bool located = false;              // logging._srcfile is set: records name where they were made
  std::array<Route, 5> routes = {};  // by Level
  // logging's DEBUG, INFO, WARNING, ERROR: borrowed from its watched namespace, for `emit`.
  std::array<PyObject*, 4> levels = {};
};
LoggerPlan logger_plan;

// What the lookup of `name` along the type's MRO finds first (a new reference; null when
// nothing). `failed` when a namespace cannot be read (the error cleared).
Ref find_in_type(PyTypeObject* type, PyObject* name, bool& failed) noexcept {
  PyObject* mro = type->tp_mro;
  failed = mro == nullptr || !PyTuple_Check(mro);
  for (Py_ssize_t i = 0; !failed && i < PyTuple_GET_SIZE(mro); ++i) {
    PyObject* base = PyTuple_GET_ITEM(mro, i);
    Ref dict = PyType_Check(base)
                   ? Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)))
                   : Ref();
    PyObject* value = nullptr;
    failed = !dict || PyDict_GetItemRef(dict.get(), name, &value) < 0;
    if (value != nullptr) return Ref::steal(value);
  }
  if (failed) PyErr_Clear();
  return {};
}

// Whether `function` is logging's own Logger.<name>: defined in logging's namespace, under that
// name (not another of its methods put in its place).
bool is_logging_method(PyObject* function, const Name& name, PyObject* logging_dict) {
  if (function == nullptr || !PyFunction_Check(function) ||
      PyFunction_GetGlobals(function) != logging_dict) {
    return false;
  }
  Ref qualname =
      Ref::steal(PyObject_GetAttr(PyFunction_GetCode(function), code_qualname.get().get()));
  if (!qualname) {
    PyErr_Clear();
    return false;
  }
  Ref expected = Ref::steal(PyUnicode_FromFormat("Logger.%s", name.text()));
  bool same = expected && PyUnicode_Check(qualname.get()) &&
              PyUnicode_Equal(qualname.get(), expected.get()) == 1;
  if (!expected) PyErr_Clear();
  return same;
}

// The value under `key` in `dict` (a new reference), null when missing or unreadable (the error
// cleared).
Ref dict_value(PyObject* dict, PyObject* key) noexcept {
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(dict, key, &value) < 0) PyErr_Clear();
  return Ref::steal(value);
}
Ref dict_value(PyObject* dict, const Name& key) {
  return dict_value(dict, key.get().get());
}

// Works out logger_plan for `logger`, read under `epoch` (from the module's watched namespace
// when `bound`), afresh. Anything unexpected (including a failure, whose error is cleared: the
// call that follows meets it again if it matters) routes every level to the call.
// Not noexcept: the names it looks up are made on first use, and that can fail like any call.
void plan_logger(PyObject* logger, std::uint64_t epoch, bool bound) {
  LoggerPlan found{epoch, logger, Py_TYPE(logger), nullptr, bound, false, {}, {}};
  auto decided = [&] {
    assert(!PyErr_Occurred());
    logger_plan = found;
  };
  // The rules above are those of logging in Python 3.14; on any other version every call is made.
  if ((Py_Version >> 16) != 0x030e) return decided();
  PyObject* logging_module = PyImport_GetModule(names::logging.get().get());  // only if imported
  Ref logging_ref = Ref::steal(logging_module);
  if (logging_module == nullptr || !PyModule_Check(logging_module)) {
    PyErr_Clear();
    return decided();
  }
  PyObject* logging_dict = PyModule_GetDict(logging_module);
  if (!pyrt::watch_dict(logging_dict)) return decided();
  Ref standard = dict_value(logging_dict, logger_class);
  PyTypeObject* type = Py_TYPE(logger);
  if (reinterpret_cast<PyObject*>(type) != standard.get() || !pyrt::watch_type(type) ||
      type->tp_getattro != PyObject_GenericGetAttr) {
    return decided();
  }
  const std::array<const Name*, 8> methods = {&log_methods[0], &log_methods[1], &log_methods[2],
                                              &log_methods[3], &log_methods[4], &is_enabled_for,
                                              &low_level_log,  &find_caller};
  bool failed = false;
  for (const Name* name : methods) {
    Ref function = find_in_type(type, name->get().get(), failed);
    if (failed || !is_logging_method(function.get(), *name, logging_dict)) return decided();
  }
  for (const Name* name : {&disabled, &level_cache}) {  // instance attributes, nothing in the class
    if (find_in_type(type, name->get().get(), failed) || failed) return decided();
  }
  std::array<Ref, 4> levels;
  for (std::size_t i = 0; i < levels.size(); ++i) {
    levels[i] = dict_value(logging_dict, level_constants[i]);
    if (!levels[i] || !PyLong_CheckExact(levels[i].get())) return decided();
  }
  // Logger._log asks for the caller's location only while _srcfile is set (logging's documented
  // way to save that cost); anything but a str or None leaves the calls to logging.
  Ref srcfile = dict_value(logging_dict, source_file);
  if (!srcfile || (srcfile.get() != Py_None && !PyUnicode_Check(srcfile.get()))) return decided();
  found.located = srcfile.get() != Py_None && PyUnicode_GET_LENGTH(srcfile.get()) != 0;
  PyObject* cache = nullptr;
  if (PyObject_GetOptionalAttr(logger, level_cache.get().get(), &cache) < 0) PyErr_Clear();
  Ref cache_ref = Ref::steal(cache);
  if (cache == nullptr || !PyDict_CheckExact(cache) || !pyrt::watch_dict(cache)) return decided();
  Ref dict = Ref::steal(PyObject_GenericGetDict(logger, nullptr));
  if (!dict || !PyDict_CheckExact(dict.get()) || !pyrt::watch_dict(dict.get())) {
    PyErr_Clear();
    return decided();
  }
  for (const Name* name : methods) {
    int shadowed = PyDict_Contains(dict.get(), name->get().get());
    if (shadowed != 0) {
      PyErr_Clear();
      return decided();
    }
  }
  Ref flag = dict_value(dict.get(), disabled);
  Ref own_cache = dict_value(dict.get(), level_cache);
  if (own_cache.get() != cache || (flag.get() != Py_True && flag.get() != Py_False)) {
    return decided();
  }
  found.dict = dict.get();
  for (std::size_t level = 0; level < found.routes.size(); ++level) {
    // `exception` logs at ERROR, through `error`.
    PyObject* number = levels[std::min(level, levels.size() - 1)].get();
    Ref enabled = dict_value(cache, number);
    found.routes[level] = flag.get() == Py_True || enabled.get() == Py_False ? Route::skip
                          : enabled.get() == Py_True                         ? Route::emit
                                                                             : Route::ask;
  }
  for (std::size_t i = 0; i < levels.size(); ++i) found.levels[i] = levels[i].get();
  return decided();
}

// Whether `logger`'s instance dict is still `watched`: a dict put in its place (`__dict__`
// assignment) is not watched, and the one it replaced reports nothing while someone keeps it.
bool has_instance_dict(PyObject* logger, PyObject* watched) noexcept {
  Ref dict = Ref::steal(PyObject_GenericGetDict(logger, nullptr));
  if (!dict) PyErr_Clear();
  return dict.get() == watched;
}

// Whether `plan` holds for `logger` at level `index` under `epoch`. `logger` is dereferenced only
// once the epoch is known to hold (the plan's logger is alive then, while bound).
bool plan_fits(const LoggerPlan& plan, PyObject* logger, std::size_t index,
               std::uint64_t epoch) noexcept {
  return plan.epoch == epoch && plan.logger == logger && Py_TYPE(logger) == plan.type &&
         (plan.routes[index] == Route::call || has_instance_dict(logger, plan.dict));
}

// What the standard Logger's `level` method does once it knows the level is enabled:
// self.handle(self.makeRecord(self.name, LEVEL, file, line, message, (), exc_info, function,
// None, None)), with the location of the module's log call (see LoggerPlan). `exc_info` is the
// handled exception for `exception`, as sys.exc_info() gives it, else None.
void emit(Borrowed logger, Level level, Borrowed level_number, bool located, Borrowed message,
          Where where) {
  Ref file, line, function;
  if (located) {
    file = location_text(where.file_name(), where);
    line = pyrt::require(PyLong_FromUnsignedLong(where.line()), where);
    // The step or module function running the log call, by the name it was given in the code.
    const char* name = pyrt::running_function_name();
    function = name != nullptr ? location_text(name, where) : text_of<"(unknown function)">();
  } else {
    file = text_of<"(unknown file)">();
    line = pyrt::require(PyLong_FromLong(0), where);
    function = text_of<"(unknown function)">();
  }
  Ref exc_info = Ref::none();
  if (level == Level::exception) {
    Ref handled = Ref::steal(PyErr_GetHandledException());
    if (handled && !handled.is_none()) {
      Ref traceback = Ref::steal(PyException_GetTraceback(handled.get()));
      exc_info = pyrt::require(PyTuple_Pack(3, Py_TYPE(handled.get()), handled.get(),
                                            traceback ? traceback.get() : Py_None),
                               where);
    } else {
      exc_info = pyrt::require(PyTuple_Pack(3, Py_None, Py_None, Py_None), where);
    }
  }
  Ref name = pyrt::getattr(logger, spec_name, where);
  Ref no_args = pyrt::require(PyTuple_New(0), where);
  Ref record =
      pyrt::call_method({logger, where}, make_record, name, level_number, file, line, message,
                        no_args, exc_info, function, Borrowed(Py_None), Borrowed(Py_None));
  pyrt::call_method({logger, where}, handle_record, record);
}

}  // namespace

void log(Level level, Borrowed message, Where where) {
  const auto index = static_cast<std::size_t>(level);
  const LoggerPlan& plan = logger_plan;
  const std::uint64_t epoch = pyrt::detail::cache_epoch;  // before the read it vouches for
  // While the epoch holds, the module's namespace still binds the logger the plan was made for
  // (and keeps it alive): no read of the namespace is needed.
  Ref logger;
  if (!plan.bound || !plan_fits(plan, plan.logger, index, epoch)) {
    logger = module_global(names::logger, where);
    if (!plan_fits(plan, logger.get(), index, epoch)) {
      plan_logger(logger.get(), epoch, pyrt::watch_dict(module_dict(where)));
    }
  }
  // A plan made stale while it was made is not followed.
  const Route route = plan.epoch == pyrt::detail::cache_epoch ? plan.routes[index] : Route::call;
  if (route == Route::skip) return;
  if (!logger) logger = Ref::borrow(Borrowed(plan.logger));  // held: the call may rebind it
  if (route == Route::call) {
    pyrt::call_method({logger, where}, log_methods[index], message);
    return;
  }
  // Taken before any Python code runs: that may change what the plan borrows.
  Ref level_number = Ref::borrow(Borrowed(plan.levels[std::min(index, plan.levels.size() - 1)]));
  const bool located = plan.located;
  if (route == Route::ask &&
      !pyrt::truthy(pyrt::call_method({logger, where}, is_enabled_for, level_number), where)) {
    return;
  }
  emit(logger, level, level_number, located, message, where);
}

Ref dict_get(Borrowed dict, Borrowed key, Borrowed fallback, Where where) {
  PyObject* value = nullptr;
  if (pyrt::require(PyDict_GetItemRef(dict.get(), key.get(), &value), where) == 0) {
    return Ref::borrow(fallback);
  }
  return Ref::steal(value);
}

Ref get_from(Borrowed mapping, Borrowed key, Where where) {
  if (PyDict_CheckExact(mapping.get())) return dict_get(mapping, key, Borrowed(Py_None), where);
  return pyrt::call_method({mapping, where}, names::get, key);
}

Ref get_from(Borrowed mapping, Borrowed key, Borrowed fallback, Where where) {
  if (PyDict_CheckExact(mapping.get())) return dict_get(mapping, key, fallback, where);
  return pyrt::call_method({mapping, where}, names::get, key, fallback);
}

Ref head(Borrowed text, Py_ssize_t count, Where where) {
  if (PyUnicode_CheckExact(text.get())) return pyrt::prefix(text, count, where);
  Ref stop = pyrt::require(PyLong_FromSsize_t(count), where);
  Ref slice = pyrt::require(PySlice_New(nullptr, stop.get(), nullptr), where);
  return pyrt::require(PyObject_GetItem(text.get(), slice.get()), where);
}

bool equals(Borrowed a, Borrowed b, Where where) {
  if (PyUnicode_CheckExact(a.get()) && PyUnicode_CheckExact(b.get())) {
    if (a.is(b)) return true;
    return PyUnicode_Equal(a.get(), b.get()) == 1;  // lengths first, as str.__eq__
  }
  return pyrt::truthy(pyrt::require(PyObject_RichCompare(a.get(), b.get(), Py_EQ), where), where);
}

// ---- The class ----

Ref init(Borrowed self) {
  pyrt::setattr(self, names::_running, pyrt::boolean(false));
  pyrt::setattr(self, names::_processing, pyrt::boolean(false));
  Ref queue = pyrt::call(pyrt::getattr(module_global(names::asyncio), queue_type));
  pyrt::setattr(self, names::_queue, queue);
  pyrt::setattr(self, names::_worker_task, Ref::none());
  return Ref::none();
}

// A worker whose event loop has been closed does not count: the bridge is not running then,
// whatever `_running` still says.
Ref is_running(Borrowed self) {
  Ref running = pyrt::getattr(self, names::_running);
  if (!pyrt::truthy(running)) return running;
  if (worker_loop_closed(pyrt::getattr(self, names::_worker_task))) return pyrt::boolean(false);
  return running;
}

Task<Ref> start(Borrowed self) {
  if (pyrt::truthy(pyrt::getattr(self, names::_running))) {
    if (!worker_loop_closed(pyrt::getattr(self, names::_worker_task))) {
      log(Level::info, text_of<"Telegram bridge already running">());
      co_return Ref::none();
    }
    // The worker's loop has ended without stop(): whatever it was doing is over.
    pyrt::setattr(self, names::_running, pyrt::boolean(false));
    pyrt::setattr(self, names::_processing, pyrt::boolean(false));
    pyrt::setattr(self, names::_worker_task, Ref::none());
  }
  Local telegram(pyrt::call_method(self, names::_get_telegram));
  if (!pyrt::truthy(telegram)) {
    log(Level::error,
        text_of<
            "Cannot start Telegram bridge — Telegram connector not available or not configured">());
    co_return Ref::none();
  }
  pyrt::call_method(telegram, names::set_message_handler,
                    pyrt::getattr(self, names::_on_telegram_message));
  log(Level::info, text_of<"Message handler registered">());
  co_await pyrt::awaitable(pyrt::call_method(telegram, names::start));
  log(Level::info, text_of<"Telegram polling started">());
  pyrt::setattr(self, names::_running, pyrt::boolean(true));
  rehome_queue(self);
  // asyncio.create_task(self._process_queue()): the callee first, as Python evaluates it.
  Ref create = pyrt::getattr(module_global(names::asyncio), create_task);
  Ref task = pyrt::call(create, pyrt::call_method(self, names::_process_queue));
  pyrt::setattr(self, names::_worker_task, task);
  note_queue_loop(pyrt::getattr(self, names::_queue), task);
  log(Level::info, text_of<"Telegram bridge started — two-way messaging active">());
  co_return Ref::none();
}

Task<Ref> stop(Borrowed self) {
  pyrt::setattr(self, names::_running, pyrt::boolean(false));
  Local task(pyrt::getattr(self, names::_worker_task));
  if (pyrt::truthy(task) && !pyrt::truthy(pyrt::call_method(task, done))) {
    pyrt::call_method(task, cancel);
    try {
      co_await pyrt::awaitable(task.ref());
    } catch (PyError& error) {
      Ref cancelled = pyrt::getattr(module_global(names::asyncio), cancelled_error);
      if (!error.matches(cancelled.get())) throw;
    }
  }
  task = Ref();
  pyrt::setattr(self, names::_worker_task, Ref::none());
  Local telegram(pyrt::call_method(self, names::_get_telegram));
  if (pyrt::truthy(telegram)) {
    co_await pyrt::awaitable(pyrt::call_method(telegram, names::stop));
  }
  log(Level::info, text_of<"Telegram bridge stopped">());
  co_return Ref::none();
}

Ref get_telegram_bridge() {
  if (module_global(names::_bridge).is_none()) {
    Ref bridge = pyrt::call(module_global(names::TelegramBridge));
    set_module_global(names::_bridge, bridge);
  }
  return module_global(names::_bridge);
}

// ---- The operation table ----

namespace {

constexpr pyrt::Param self_only[] = {{"self"}};
constexpr pyrt::Param text_metadata[] = {
    {"self"}, {"text", &PyUnicode_Type, "str"}, {"metadata", &PyDict_Type, "dict[str, Any]"}};
constexpr pyrt::Param screenshot_params[] = {{"self"},
                                             {"image_base64", &PyUnicode_Type, "str"},
                                             {"chat_id", nullptr, "str | int | None"},
                                             {"telegram", nullptr, "Any"}};

const pyrt::FunctionSpec init_spec =
    pyrt::function_spec<&init>("__init__", "TelegramBridge.__init__", nullptr, self_only, "None");
const pyrt::FunctionSpec start_spec = pyrt::function_spec<&start>(
    "start", "TelegramBridge.start",
    "Start the bridge — begins processing incoming Telegram messages.", self_only, "None");
const pyrt::FunctionSpec stop_spec = pyrt::function_spec<&stop>(
    "stop", "TelegramBridge.stop", "Stop the bridge.", self_only, "None");
const pyrt::FunctionSpec is_running_spec = pyrt::function_spec<&is_running>(
    "is_running", "TelegramBridge.is_running", nullptr, self_only, "bool");
const pyrt::FunctionSpec get_telegram_spec = pyrt::function_spec<&_get_telegram>(
    "_get_telegram", "TelegramBridge._get_telegram",
    "Get the Telegram connector from the server state.", self_only, nullptr);
const pyrt::FunctionSpec get_agent_spec = pyrt::function_spec<&_get_agent>(
    "_get_agent", "TelegramBridge._get_agent", "Get the Kavori agent from the server state.",
    self_only, nullptr);
const pyrt::FunctionSpec on_message_spec = pyrt::function_spec<&_on_telegram_message>(
    "_on_telegram_message", "TelegramBridge._on_telegram_message",
    "Callback when a Telegram message arrives — queue it for processing.", text_metadata, "None");
const pyrt::FunctionSpec process_queue_spec = pyrt::function_spec<&_process_queue>(
    "_process_queue", "TelegramBridge._process_queue",
    "Worker that processes queued Telegram messages one at a time.", self_only, "None");

}  // namespace

const pyrt::FunctionSpec handle_message_spec = pyrt::function_spec<&_handle_message>(
    "_handle_message", "TelegramBridge._handle_message",
    "Route a Telegram message through the agent and send the response back.", text_metadata,
    "None");
const pyrt::FunctionSpec send_reply_spec = pyrt::function_spec<&_send_reply>(
    "_send_reply", "TelegramBridge._send_reply", "Send a reply back to the Telegram user.",
    text_metadata, "None");
const pyrt::FunctionSpec send_screenshot_spec = pyrt::function_spec<&_send_screenshot>(
    "_send_screenshot", "TelegramBridge._send_screenshot",
    "Decode a base64 screenshot and send it as a photo to Telegram.", screenshot_params, "bool");

const Operation operations[] = {
    {&init_spec, false},       {&start_spec, false},           {&stop_spec, false},
    {&is_running_spec, true},  {&get_telegram_spec, false},    {&get_agent_spec, false},
    {&on_message_spec, false}, {&process_queue_spec, false},   {&handle_message_spec, false},
    {&send_reply_spec, false}, {&send_screenshot_spec, false},
};
const std::size_t operation_count = sizeof(operations) / sizeof(operations[0]);

const pyrt::FunctionSpec get_telegram_bridge_spec = pyrt::function_spec<&get_telegram_bridge>(
    "get_telegram_bridge", "get_telegram_bridge", "Get or create the singleton Telegram bridge.",
    "TelegramBridge");

// ---- Loading ----

namespace {

constexpr const char* module_doc =
    "Telegram \u2194 Agent bridge \u2014 makes Telegram a full two-way interface to Kavori.\n"
    "\n"
    "Flow:\n"
    "  1. User sends message to the Telegram bot\n"
    "  2. Polling loop in TelegramConnector picks it up\n"
    "  3. This bridge receives it via the on_message callback\n"
    "  4. Sends an immediate \"thinking...\" indicator to Telegram\n"
    "  5. Routes it through the Standard Agent (same as WebSocket chat)\n"
    "  6. Collects the agent's text response events\n"
    "  7. Sends the response back to the user via Telegram\n"
    "  8. Also broadcasts events to WebSocket so the UI stays in sync\n"
    "  9. Screenshots and files generated during processing are sent as photos/docs\n"
    "\n"
    "The bridge processes messages sequentially via a queue to prevent\n"
    "concurrent agent calls from interfering with each other.\n";

constexpr const char* interpreter_change =
    "Interpreter change detected - this module can only be loaded into one interpreter per "
    "process.";

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
  return pyrt::boundary(
      [&]() -> PyObject* {
        std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (interpreter < 0) pyrt::throw_error();
        std::int64_t expected = -1;
        if (recorded_interpreter.compare_exchange_strong(expected, interpreter)) {
          // Once per interpreter lifetime, however many imports fail and are tried again: the
          // process has few exit-function slots.
          if (Py_AtExit(forget_interpreter) < 0) {
            recorded_interpreter = -1;
            throw PyError::format(PyExc_RuntimeError,
                                  "no room left for an interpreter exit function");
          }
        } else if (expected != interpreter) {
          throw PyError::format(PyExc_ImportError, interpreter_change);
        }
        if (PyObject* module = executed()) return Py_NewRef(module);
        Ref name = pyrt::getattr(Borrowed(spec), spec_name);
        // __loader__, __file__, __package__ and __spec__ come from the import system, which sets
        // them from the spec on the module this returns.
        return pyrt::require(PyModule_NewObject(name.get())).release();
      },
      static_cast<PyObject*>(nullptr));
}

Ref make_class(Borrowed module_name_object) {
  Ref namespace_dict = pyrt::require(PyDict_New());
  pyrt::require(PyDict_SetItemString(namespace_dict.get(), "__module__", module_name_object.get()));
  Ref qualname = pyrt::string("TelegramBridge");
  pyrt::require(PyDict_SetItemString(namespace_dict.get(), "__qualname__", qualname.get()));
  Ref doc =
      pyrt::string("Routes Telegram messages through the Kavori agent and sends responses back.");
  pyrt::require(PyDict_SetItemString(namespace_dict.get(), "__doc__", doc.get()));
  Borrowed globals(module_dict(Where::current()));
  for (const Operation& operation : std::span(operations, operation_count)) {
    const pyrt::FunctionSpec& spec = *operation.spec;
    Ref function = pyrt::make_function(spec, module_name_object, globals);
    if (operation.is_property) {
      function = pyrt::call(Borrowed(reinterpret_cast<PyObject*>(&PyProperty_Type)), function);
    }
    pyrt::require(PyDict_SetItemString(namespace_dict.get(), spec.name, function.get()));
  }
  Ref bases = pyrt::require(PyTuple_New(0));
  return pyrt::call(Borrowed(reinterpret_cast<PyObject*>(&PyType_Type)), qualname, bases,
                    namespace_dict);
}

void fill_namespace(Borrowed module) {
  if ((Py_Version >> 24) != 3 || ((Py_Version >> 16) & 0xff) != 14) {
    pyrt::require(PyErr_WarnFormat(
        PyExc_RuntimeWarning, 1,
        "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3, 14,
        module_name, "does not match", static_cast<int>(Py_Version >> 24),
        static_cast<int>((Py_Version >> 16) & 0xff)));
  }
  auto bind = [&](const Name& name, const Ref& value) {
    pyrt::require(PyModule_AddObjectRef(module.get(), name.text(), value.get()));
  };
  for (const Name* name : {&names::asyncio, &names::base64, &names::logging, &names::tempfile}) {
    bind(*name, pyrt::import(*name));
  }
  bind(names::Path, pyrt::import_from(pathlib, names::Path));
  bind(names::Any, pyrt::import_from(typing, names::Any));
  Ref module_name_object = pyrt::string(module_name);
  bind(names::logger,
       pyrt::call_method(module_global(names::logging), get_logger, module_name_object));
  pyrt::init_runtime(module_name);
  bind(names::TelegramBridge, make_class(module_name_object));
  bind(names::_bridge, Ref::none());
  bind(names::get_telegram_bridge, pyrt::make_function(get_telegram_bridge_spec, module_name_object,
                                                       Borrowed(PyModule_GetDict(module.get()))));
}

int exec_module(PyObject* module) noexcept {
  if (PyObject* remembered = executed()) {
    if (remembered == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'telegram_bridge' has already been imported. Re-initialisation is "
                    "not supported.");
    return -1;
  }
  // Remembered while the namespace fills (what runs meanwhile reads it), kept once filled.
  executed_module = module;
  executed_generation = pyrt::detail::interpreter_generation;
  int status = pyrt::boundary(
      [&] {
        fill_namespace(Borrowed(module));
        pyrt::detail::keep(Py_NewRef(module));
        return 0;
      },
      -1);
  if (status < 0) executed_module = nullptr;  // a later import starts afresh
  return status;
}

// The interpreter is told any interpreter may load the module so that the creation step itself
// can refuse a second one, with its own message.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "telegram_bridge", module_doc, 0,       nullptr,
    module_slots,          nullptr,           nullptr,    nullptr,
};

}  // namespace

}  // namespace telegram_bridge

PyMODINIT_FUNC PyInit_telegram_bridge() {
  return PyModuleDef_Init(&telegram_bridge::module_definition);
}
