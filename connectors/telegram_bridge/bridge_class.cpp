// The TelegramBridge class: its operations' table, construction, starting and stopping, and the
// process-wide bridge.
#include "bridge.hpp"

namespace telegram_bridge {

namespace {
const Name create_task("create_task"), done("done"), cancel("cancel");
}  // namespace

// ---- The class ----

Ref init(Borrowed self) {
  pyrt::setattr(self, names::_running, pyrt::boolean(false));
  pyrt::setattr(self, names::_processing, pyrt::boolean(false));
  Ref queue = pyrt::call(pyrt::getattr(module_global(names::asyncio), names::Queue));
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
  // All or nothing from here: the queue is handed over before the bridge counts as running, and
  // a worker that cannot be created leaves it stopped.
  hand_queue_over(pyrt::getattr(self, names::_queue));
  pyrt::setattr(self, names::_running, pyrt::boolean(true));
  Ref task;
  try {
    // asyncio.create_task(self._process_queue()): the callee first, as Python evaluates it.
    Ref create = pyrt::getattr(module_global(names::asyncio), create_task);
    task = pyrt::call(create, pyrt::call_method(self, names::_process_queue));
  } catch (PyError&) {
    pyrt::setattr(self, names::_running, pyrt::boolean(false));
    throw;
  }
  pyrt::setattr(self, names::_worker_task, task);
  log(Level::info, text_of<"Telegram bridge started — two-way messaging active">());
  co_return Ref::none();
}

Task<Ref> stop(Borrowed self) {
  pyrt::setattr(self, names::_running, pyrt::boolean(false));
  Local task(pyrt::getattr(self, names::_worker_task));
  // A worker whose loop has been closed can neither be cancelled nor awaited: it is dropped.
  if (pyrt::truthy(task) && !pyrt::truthy(pyrt::call_method(task, done)) &&
      !worker_loop_closed(task)) {
    pyrt::call_method(task, cancel);
    try {
      co_await pyrt::awaitable(task.ref());
    } catch (PyError& error) {
      if (!is_cancellation(error)) throw;
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
// Not constexpr: where the interpreter's types are imported data (a DLL's), their addresses are
// not constants.
const pyrt::Param text_metadata[] = {
    {"self"}, {"text", &PyUnicode_Type, "str"}, {"metadata", &PyDict_Type, "dict[str, Any]"}};
const pyrt::Param screenshot_params[] = {{"self"},
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

}  // namespace telegram_bridge
