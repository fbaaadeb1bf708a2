// The inbound queue and its worker, the handling of one message through the agent, and the
// rules for each agent event and for composing the reply.
#include <algorithm>
#include <cstdint>

#include "bridge.hpp"

namespace telegram_bridge {

namespace {

const Name put("put"), wait_for("wait_for"), sleep("sleep"), ws_module("kavori.gateway.ws"),
    content("content"), tool("tool"), arguments("arguments"), operation("operation"),
    screenshot("screenshot"), image_base64("image_base64"), strip("strip"), source("source");
const pyrt::KwNames timeout_keyword("timeout");
const pyrt::KwNames manager_fromlist("manager");
const pyrt::KwNames chat_id_keyword("chat_id");

// How long the worker waits for a work item before it polls again; also the longest pause after
// a failing poll.
constexpr double poll_seconds = 2.0;
// How often a queue that will not wait on the running loop is looked at.
constexpr double refused_poll_seconds = 0.05;

// The poll timeout as a float, made once per interpreter lifetime and kept by it (as pyrt::Name).
Borrowed poll_timeout() {
  static pyrt::detail::PerInterpreter timeout;
  return timeout.current() ? timeout.object()
                           : timeout.hold(PyFloat_FromDouble(poll_seconds), Where::current());
}

// `first, second = item`, as tuple unpacking does it.
void unpack_pair(Borrowed item, Ref& first, Ref& second, Where where = Where::current()) {
  if (PyTuple_CheckExact(item.get()) && PyTuple_GET_SIZE(item.get()) == 2) {
    first = Ref::borrow(PyTuple_GET_ITEM(item.get(), 0));
    second = Ref::borrow(PyTuple_GET_ITEM(item.get(), 1));
    return;
  }
  Ref iterator = pyrt::require(PyObject_GetIter(item.get()), where);
  Ref values[3];
  int count = 0;
  for (; count < 3; ++count) {
    values[count] = Ref::steal(PyIter_Next(iterator.get()));
    if (!values[count]) {
      if (PyErr_Occurred()) pyrt::throw_error(where);
      break;
    }
  }
  if (count != 2) {
    if (count > 2) {
      PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    } else {
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", count);
    }
    pyrt::throw_error(where);
  }
  first = std::move(values[0]);
  second = std::move(values[1]);
}

// ---- The worker ----

// How the wait for a work item ended.
// `refused`: the queue would not wait on this loop (see queue_waits_here); it is polled then.
enum class Poll : std::uint8_t { failed, item, timed_out, cancelled, refused };

// self._processing = True; await self._handle_message(text, metadata)
Task<void, "run_handler"> run_handler(Borrowed self, Borrowed text, Borrowed metadata) {
  pyrt::setattr(self, names::_processing, pyrt::boolean(true));
  Local handler(pyrt::getattr(self, names::_handle_message));
  co_await pyrt::await_method(handler, self, handle_message_spec, text, metadata);
}

// The per-message guard: a failed message is logged with its traceback and the user gets an
// apology with the start of the error text.
Task<void, "handle_item"> handle_item(Borrowed self, Borrowed text, Borrowed metadata) {
  if (pyrt::Caught error = co_await pyrt::catching(run_handler(self, text, metadata))) {
    pyrt::Handling handling(error);
    Local error_text(pyrt::str(error.value()));
    log(Level::exception,
        pyrt::concat({text_of<"Error processing Telegram message: ">(), error_text}));
    Local apology(
        pyrt::concat({text_of<"⚠️ Sorry, I encountered an error:\n">(), head(error_text, 500)}));
    Local send_reply(pyrt::getattr(self, names::_send_reply));
    co_await pyrt::await_method(send_reply, self, send_reply_spec, apology, metadata);
  }
}

// One turn of the worker: wait for a work item and handle it. `poll` tells how the wait ended,
// also when the turn fails. `settled` is the queue last found to wait on this loop (a worker
// stays on one loop, and nothing binds that queue elsewhere meanwhile): it is not looked at again.
Task<void, "take_and_handle"> take_and_handle(Borrowed self, Poll& poll, Local& settled) {
  Local text;
  Local metadata;
  {
    // text, metadata = await asyncio.wait_for(self._queue.get(), timeout=2.0): the callee first,
    // then its arguments, as Python evaluates the call.
    Local wait(pyrt::getattr(module_global(names::asyncio), wait_for));
    Ref queue = pyrt::getattr(self, names::_queue);
    // A queue that may be bound to another loop, kept to be looked at if its wait fails.
    Local unsettled;
    if (!queue.is(settled)) {
      if (queue_waits_here(queue)) {
        settled = Ref(queue);
      } else {
        unsettled = Ref(queue);
      }
    }
    Local waiter(
        pyrt::call_kw(wait, timeout_keyword, pyrt::call_method(queue, names::get), poll_timeout()));
    queue = Ref();
    Ref item;
    try {
      item = co_await pyrt::awaitable(waiter.take());
    } catch (PyError& error) {
      // The wait's expected endings; anything else is a failure of the turn.
      if (error.matches(PyExc_TimeoutError)) {
        poll = Poll::timed_out;
      } else if (is_cancellation(error)) {
        poll = Poll::cancelled;
      } else if (unsettled && error.matches(PyExc_RuntimeError) && queue_empty(unsettled)) {
        // The wait on a queue that may be bound elsewhere failed and left it empty: it would not
        // wait on this loop, and nothing was taken.
        poll = Poll::refused;
      } else {
        throw;
      }
      co_return;
    }
    poll = Poll::item;
    Ref first, second;
    unpack_pair(item, first, second);
    text = std::move(first);
    metadata = std::move(second);
  }
  log_lazily(Level::info, {text}, [&] {
    return pyrt::concat({text_of<"Processing queued message: ">(), pyrt::str(head(text, 80))});
  });
  pyrt::Caught ended = co_await pyrt::finishing(handle_item(self, text, metadata));
  {
    pyrt::Handling handling(ended);
    pyrt::setattr(self, names::_processing, pyrt::boolean(false));
  }
  ended.raise_if_any();
}

// The pause before the next poll after a failure that took no work item: 0.1 s, doubling up to
// the poll timeout, so a persistent fault costs one log line every two seconds, not a busy loop.
class Backoff {
 public:
  double next() {
    double delay = delay_;
    delay_ = std::min(delay_ * 2, poll_seconds);
    return delay;
  }
  void reset() { delay_ = 0.1; }

 private:
  double delay_ = 0.1;
};

// await asyncio.sleep(delay); false when the worker is cancelled meanwhile.
Task<bool, "pause"> pause(double delay) {
  Local sleep_function(pyrt::getattr(module_global(names::asyncio), sleep));
  Local sleeping(pyrt::call(sleep_function, pyrt::require(PyFloat_FromDouble(delay))));
  try {
    co_await pyrt::awaitable(sleeping.take());
  } catch (PyError& error) {
    if (is_cancellation(error)) co_return false;
    throw;
  }
  co_return true;
}

// ---- One message ----

// The run state of one message, filled by the event rules.
struct RunState {
  Local response_parts{pyrt::require(PyList_New(0))};
  Local tool_summaries{pyrt::require(PyList_New(0))};
  long screenshots_sent = 0;
};

// from kavori.gateway.ws import manager as ws_manager; await ws_manager.broadcast({...})
Task<void, "broadcast_notice"> broadcast_notice(Borrowed text, Borrowed metadata) {
  Local ws_manager(import_in_module(ws_module, names::manager, manager_fromlist));
  Local broadcast(pyrt::getattr(ws_manager, names::broadcast));  // before the notice is built
  Local notice(pyrt::require(PyDict_New()));
  {
    Ref sender = pyrt::str(dict_get(metadata, names::from_name, text_of<"User">()));
    Ref content_text =
        pyrt::concat({text_of<"📱 **Telegram** (">(), sender, text_of<"): ">(), text});
    pyrt::require(
        PyDict_SetItem(notice.get(), names::type.get().get(), text_of<"telegram_message">().get()));
    pyrt::require(PyDict_SetItem(notice.get(), content.get().get(), content_text.get()));
    pyrt::require(PyDict_SetItem(notice.get(), source.get().get(), text_of<"telegram">().get()));
  }
  co_await pyrt::awaitable(pyrt::call(broadcast, notice));
}

// logger.info(...); async for event in agent.process_message(text): mirror the event, then
// dispatch on its type. Failures outside the mirror end the agent run. The per-event step is the
// loop's body rather than a child coroutine of its own: it runs for every event.
Task<void, "run_agent"> run_agent(Borrowed self, Borrowed agent, Borrowed text, Borrowed telegram,
                                  Borrowed chat_id, RunState& run) {
  log(Level::info, text_of<"Sending message to agent for processing...">());
  Local events(pyrt::async_iter(pyrt::call_method(agent, names::process_message, text)));
  for (;;) {
    Local event(co_await pyrt::anext(events));
    if (!event) break;
    // Every event goes to the WebSocket clients first; a failure of that is discarded silently.
    try {
      Local ws_manager(import_in_module(ws_module, names::manager, manager_fromlist));
      Local event_dict(pyrt::call_method(event, names::to_dict));
      co_await pyrt::awaitable(pyrt::call_method(ws_manager, names::broadcast, event_dict));
    } catch (PyError& error) {
      pyrt::exception_family(error);
    }
    Local type(pyrt::getattr(event, names::type));
    if (equals(type, text_of<"text">())) {
      Ref data = pyrt::getattr(event, names::data);
      if (pyrt::truthy(get_from(data, content))) {
        Ref piece = pyrt::require(PyObject_GetItem(data.get(), content.get().get()));
        pyrt::require(PyList_Append(run.response_parts.get(), piece.get()));
        log_lazily(Level::debug, {piece}, [&] {
          return pyrt::concat({text_of<"Agent text: ">(), pyrt::str(head(piece, 100))});
        });
        continue;
      }
    }
    if (equals(type, text_of<"tool_call">())) {
      {
        Ref data = pyrt::getattr(event, names::data);
        Ref tool_name = get_from(data, tool, text_of<"">());
        if (equals(tool_name, text_of<"plan">()) || equals(tool_name, text_of<"memory">())) {
          continue;
        }
        Ref empty = pyrt::require(PyDict_New());
        Ref tool_arguments = get_from(data, arguments, empty);
        Ref tool_operation = get_from(tool_arguments, operation, text_of<"">());
        Ref summary = pyrt::truthy(tool_operation)
                          ? pyrt::concat({text_of<"🔧 ">(), pyrt::str(tool_name), text_of<".">(),
                                          pyrt::str(tool_operation)})
                          : pyrt::concat({text_of<"🔧 ">(), pyrt::str(tool_name)});
        pyrt::require(PyList_Append(run.tool_summaries.get(), summary.get()));
        log_lazily(Level::debug, {summary},
                   [&] { return pyrt::concat({text_of<"Agent tool call: ">(), summary}); });
      }
      co_await pyrt::awaitable(
          pyrt::call_method_kw(telegram, names::send_typing, chat_id_keyword, chat_id));
      continue;
    }
    if (equals(type, text_of<"tool_result">())) {
      Local data(pyrt::getattr(event, names::data));
      if (pyrt::truthy(get_from(data, screenshot)) && pyrt::truthy(get_from(data, image_base64))) {
        // The method before its arguments, as Python evaluates the call.
        Local send_screenshot(pyrt::getattr(self, names::_send_screenshot));
        Local image(pyrt::require(PyObject_GetItem(data.get(), image_base64.get().get())));
        Ref sent = co_await pyrt::await_method(send_screenshot, self, send_screenshot_spec, image,
                                               chat_id, telegram);
        if (pyrt::truthy(sent)) ++run.screenshots_sent;
      }
      continue;
    }
    if (equals(type, text_of<"error">())) {
      Ref data = pyrt::getattr(event, names::data);
      Ref error_msg = pyrt::str(get_from(data, names::message, text_of<"Unknown error">()));
      Ref line = pyrt::concat({text_of<"⚠️ ">(), error_msg});
      pyrt::require(PyList_Append(run.response_parts.get(), line.get()));
      log(Level::warning, pyrt::concat({text_of<"Agent error event: ">(), error_msg}));
      continue;
    }
    if (equals(type, text_of<"done">())) log(Level::info, text_of<"Agent processing complete">());
  }
}

// Joins the collected pieces into the one reply, with its fallback and actions section.
Ref compose_reply(RunState& run, Where where = Where::current()) {
  Ref newline = text_of<"\n">();
  Ref joined = pyrt::require(PyUnicode_Join(newline.get(), run.response_parts.get()), where);
  Ref final_response = pyrt::call_method({joined, where}, strip);
  Py_ssize_t summaries = PyList_GET_SIZE(run.tool_summaries.get());
  if (PyUnicode_GetLength(final_response.get()) == 0) {
    final_response = summaries == 0 && run.screenshots_sent == 0
                         ? text_of<
                               "I received your message but had no response to give. Could you try "
                               "rephrasing?">()
                         : text_of<"✅ Done!">();
  }
  if (summaries > 0) {
    Ref shown = pyrt::require(PyList_GetSlice(run.tool_summaries.get(), 0, 8), where);
    Ref actions_str = pyrt::require(PyUnicode_Join(newline.get(), shown.get()), where);
    if (summaries > 8) {
      Ref more = pyrt::require(
          PyUnicode_FromFormat("\n... and %zd more", static_cast<Py_ssize_t>(summaries - 8)),
          where);
      actions_str = pyrt::concat({actions_str, more}, where);
    }
    final_response =
        pyrt::concat({final_response, text_of<"\n\n📋 Actions:\n">(), actions_str}, where);
  }
  return final_response;
}

}  // namespace

Task<Ref> _on_telegram_message(Borrowed self, Borrowed text, Borrowed metadata) {
  {
    Ref sender = dict_get(metadata, names::from_name, text_of<"unknown">());
    log_lazily(Level::info, {sender, text}, [&] {
      return pyrt::concat({text_of<"Queuing Telegram message from ">(), pyrt::str(sender),
                           text_of<": ">(), head(text, 80)});
    });
  }
  Ref queue = pyrt::getattr(self, names::_queue);
  hand_queue_over(queue);
  Ref putting =
      pyrt::call_method(queue, put, pyrt::require(PyTuple_Pack(2, text.get(), metadata.get())));
  queue = Ref();
  co_await pyrt::awaitable(std::move(putting));
  co_return Ref::none();
}

Task<Ref> _process_queue(Borrowed self) {
  log(Level::info, text_of<"Queue processor started">());
  // A worker left behind by a loop closed under it is only ever resumed to be closed: what fails
  // then (asyncio cannot cancel a wait of a closed loop) is no error of the bridge's.
  Local own_loop(running_loop());
  Local settled_queue;
  Backoff backoff;
  while (pyrt::truthy(pyrt::getattr(self, names::_running))) {
    Poll poll = Poll::failed;
    double delay = 0;
    {
      // A failure outside the per-message guard is logged and the worker goes on, so a running
      // bridge always has a live worker.
      pyrt::Caught escaped = co_await pyrt::catching(take_and_handle(self, poll, settled_queue));
      if (poll == Poll::cancelled) break;
      if (poll != Poll::failed) backoff.reset();
      if (escaped && loop_closed(own_loop)) break;
      if (escaped) {
        pyrt::Handling handling(escaped);
        log(Level::error,
            pyrt::concat({text_of<"Queue processor error: ">(), pyrt::str(escaped.value())}));
        // A failure after an item was taken only yields once, so it cannot hold the event loop.
        if (poll == Poll::failed) delay = backoff.next();
      } else if (poll == Poll::refused) {
        delay = refused_poll_seconds;
      } else {
        continue;
      }
    }
    if (loop_closed(own_loop) || !co_await pause(delay)) break;
  }
  co_return Ref::none();
}

Task<Ref> _handle_message(Borrowed self, Borrowed text, Borrowed metadata) {
  Local agent(pyrt::call_method(self, names::_get_agent));
  Local telegram(pyrt::call_method(self, names::_get_telegram));
  if (!pyrt::truthy(agent)) {
    log(Level::error, text_of<"Agent not available for Telegram message processing">());
    Local send_reply(pyrt::getattr(self, names::_send_reply));
    Local notice(
        text_of<
            "⚠️ Kavori agent is not initialized. Please check the web UI and ensure an API key is "
            "configured.">());
    co_await pyrt::await_method(send_reply, self, send_reply_spec, notice, metadata);
    co_return Ref::none();
  }
  if (!pyrt::truthy(telegram)) {
    log(Level::error, text_of<"Telegram connector not available">());
    co_return Ref::none();
  }
  Local chat_id(dict_get(metadata, names::chat_id));
  co_await pyrt::awaitable(
      pyrt::call_method_kw(telegram, names::send_typing, chat_id_keyword, chat_id));

  if (pyrt::Caught error = co_await pyrt::catching(broadcast_notice(text, metadata))) {
    pyrt::Handling handling(error);
    log(Level::debug,
        pyrt::concat({text_of<"Could not broadcast to WebSocket: ">(), pyrt::str(error.value())}));
  }

  RunState run;
  if (pyrt::Caught error =
          co_await pyrt::catching(run_agent(self, agent, text, telegram, chat_id, run))) {
    pyrt::Handling handling(error);
    log(Level::exception, text_of<"Agent processing failed for Telegram message">());
    Ref line =
        pyrt::concat({text_of<"⚠️ Processing error: ">(), head(pyrt::str(error.value()), 300)});
    pyrt::require(PyList_Append(run.response_parts.get(), line.get()));
  }

  Local final_response(compose_reply(run));
  {
    log_lazily(Level::info, {final_response}, [&] {
      Ref count = pyrt::require(PyLong_FromSsize_t(PyUnicode_GetLength(final_response.get())));
      return pyrt::concat(
          {text_of<"Sending reply to Telegram (">(), pyrt::str(count), text_of<" chars)">()});
    });
  }
  Local send_reply(pyrt::getattr(self, names::_send_reply));
  co_await pyrt::await_method(send_reply, self, send_reply_spec, final_response, metadata);
  co_return Ref::none();
}

}  // namespace telegram_bridge
