// The TelegramBridge class: a Telegram bot as a two-way interface to the host's agent.
//
// Each operation below is one method of the Python class, named as Python sees it. The bridge
// keeps no reference to host objects: the connector and the agent are looked up through the
// server state at every use, and module-level names (`logger`, `asyncio`, ...) are read from the
// module namespace at every use, so a host that rebinds them changes what the bridge uses.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "pyrt/call.hpp"
#include "pyrt/coroutine.hpp"
#include "pyrt/function.hpp"
#include "pyrt/interned.hpp"
#include "pyrt/text.hpp"

namespace telegram_bridge {

using pyrt::Borrowed;
using pyrt::Local;
using pyrt::Name;
using pyrt::PyError;
using pyrt::Ref;
using pyrt::Task;
using pyrt::Where;

inline constexpr const char* module_name = "kavori.connectors.telegram_bridge";

// ---- The class (bridge_class.cpp) ----
Ref init(Borrowed self);
Ref is_running(Borrowed self);
Task<Ref> start(Borrowed self);
Task<Ref> stop(Borrowed self);
Ref get_telegram_bridge();

// ---- Event loop changes (loop_changes.cpp) ----
// Whether the worker task's event loop has been closed: the worker is gone for good.
bool worker_loop_closed(Borrowed task);
// The running event loop (None when none runs), and whether `loop` (None: none) has been closed.
Ref running_loop(Where where = Where::current());
bool loop_closed(Borrowed loop, Where where = Where::current());
// Re-binds `queue` to the running loop when an earlier, finished loop bound it; leaves it as it
// is otherwise. Run on the loop that is about to use it.
void hand_queue_over(Borrowed queue, Where where = Where::current());
// hand_queue_over(), then whether a wait on `queue` is sure to be a wait on the running loop:
// false for an asyncio.Queue that could not be re-bound (empty, it may refuse to wait here).
bool queue_waits_here(Borrowed queue, Where where = Where::current());
// queue.empty()
bool queue_empty(Borrowed queue, Where where = Where::current());

// ---- Host access (host_access.cpp) ----
Ref _get_telegram(Borrowed self);
Ref _get_agent(Borrowed self);

// ---- Message pipeline (message_pipeline.cpp) ----
Task<Ref> _on_telegram_message(Borrowed self, Borrowed text, Borrowed metadata);
Task<Ref> _process_queue(Borrowed self);
Task<Ref> _handle_message(Borrowed self, Borrowed text, Borrowed metadata);

// ---- Telegram output (telegram_output.cpp) ----
Task<Ref> _send_reply(Borrowed self, Borrowed text, Borrowed metadata);
Task<Ref> _send_screenshot(Borrowed self, Borrowed image_base64, Borrowed chat_id,
                           Borrowed telegram);

// The class's operations in namespace order, each with its Python name, signature, annotations
// and docstring.
struct Operation {
  const pyrt::FunctionSpec* spec;
  bool is_property;
};
extern const Operation operations[];
// The specs of the operations the bridge awaits on itself (see pyrt::await_method).
extern const pyrt::FunctionSpec handle_message_spec, send_reply_spec, send_screenshot_spec;
extern const std::size_t operation_count;
extern const pyrt::FunctionSpec get_telegram_bridge_spec;

// ---- Shared helpers (shared_helpers.cpp, module_namespace.cpp, logging.cpp) ----
// Each takes the caller's location last, for the traceback entry of an error (see pyrt/error.hpp).

// The executed module's namespace (module_loading.cpp); RuntimeError when it is not loaded.
PyObject* module_dict(Where where);
// The module namespace, read at every use.
// NameError when the name is unbound.
Ref module_global(const Name& name, Where where = Where::current());
void set_module_global(Borrowed name, Borrowed value, Where where = Where::current());
// `from module import name`, as the module's own code would write it (pyrt::import_from with the
// module's namespace as its globals); `fromlist` holds just `name`.
Ref import_in_module(Borrowed module, Borrowed name, Borrowed fromlist,
                     Where where = Where::current());

enum class Level : std::uint8_t { debug, info, warning, error, exception };
// One call of the module logger at `level`, decided before its message is built: with the
// standard logging.Logger, a call it would drop is not made, and a record it would make is made
// and handed to it directly, located at `where` (see logger_plan.hpp).
class LogCall {
 public:
  LogCall(Level level, Where where);
  // Whether the logger drops the call: nothing more is done.
  bool dropped() const noexcept { return dropped_; }
  // The call, with its finished message; only when not dropped.
  void make(Borrowed message);

 private:
  Level level_;
  Where where_;
  Ref logger_;
  Ref level_number_;
  bool dropped_ = false;
  bool located_ = true;
  bool made_here_ = false;  // the record is made as the method would make it
  bool asked_ = false;      // isEnabledFor was asked
};
// One call of the module logger with one finished message (built by the caller, as Python builds
// the argument).
void log(Level level, Borrowed message, Where where = Where::current());
// Whether str() of every input runs no Python code and cannot fail but for memory (an exact
// str, None, a bool, a 64-bit exact int, or an exact list or tuple of those).
bool plain_inputs(std::initializer_list<Borrowed> inputs) noexcept;
// log(level, build()) for a message built from `inputs` (evaluated already) by str(), slicing and
// concatenation. When building it could not be seen (plain_inputs), the call is decided first and
// a dropped one is not built at all; otherwise it is built first, as Python builds the argument.
template <class Build>
void log_lazily(Level level, std::initializer_list<Borrowed> inputs, Build&& build,
                Where where = Where::current()) {
  if (!plain_inputs(inputs)) {
    log(level, std::forward<Build>(build)(), where);
    return;
  }
  LogCall call(level, where);
  if (!call.dropped()) call.make(std::forward<Build>(build)());
}
// The str of a text naming where the running code is, for a record's location: a source file
// (Where::file_name) or the running step's or function's name (pyrt::running_function_name).
// Made once per text and interpreter lifetime (see log_location.cpp).
Ref location_text(const char* text, Where where);

// A fixed text as a str, made once: text_of<"...">().
template <pyrt::detail::FixedText Text>
Ref text_of() {
  return Ref::borrow(pyrt::text<Text>());
}
// metadata.get(key) / metadata.get(key, default) on an exact dict.
Ref dict_get(Borrowed dict, Borrowed key, Borrowed fallback = Borrowed(Py_None),
             Where where = Where::current());
// mapping.get(key) / mapping.get(key, fallback): looked up directly in an exact dict (whose get
// nothing can override), called as a method on anything else.
Ref get_from(Borrowed mapping, Borrowed key, Where where = Where::current());
Ref get_from(Borrowed mapping, Borrowed key, Borrowed fallback, Where where = Where::current());
// The first `count` characters of `text`, as text[:count] gives them.
Ref head(Borrowed text, Py_ssize_t count, Where where = Where::current());
// Whether `error` is the asyncio.CancelledError of the module's `asyncio`.
bool is_cancellation(const PyError& error);
// `a == b` tested for truth.
bool equals(Borrowed a, Borrowed b, Where where = Where::current());

namespace names {
extern const Name asyncio, base64, logging, tempfile, Path, Any, logger, TelegramBridge, _bridge,
    get_telegram_bridge;
extern const Name _running, _processing, _queue, _worker_task;
extern const Name _get_telegram, _get_agent, _on_telegram_message, _process_queue, _handle_message,
    _send_reply, _send_screenshot;
extern const Name get, start, stop, set_message_handler, send_typing, send_message, send_photo,
    is_configured, _chat_id, process_message, to_dict, broadcast, manager, get_state;
extern const Name chat_id, from_name, type, data;
extern const Name Queue, CancelledError, name, message;
}  // namespace names

}  // namespace telegram_bridge
