// Names the bridge looks up, and the small helpers that every part of it uses.
#include "bridge.hpp"

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
const Name Queue("Queue"), CancelledError("CancelledError"), name("name"), message("message");
}  // namespace names

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

bool is_cancellation(const PyError& error) {
  Ref cancelled = pyrt::getattr(module_global(names::asyncio), names::CancelledError);
  return error.matches(cancelled.get());
}

bool equals(Borrowed a, Borrowed b, Where where) {
  if (PyUnicode_CheckExact(a.get()) && PyUnicode_CheckExact(b.get())) {
    if (a.is(b)) return true;
    return PyUnicode_Equal(a.get(), b.get()) == 1;  // lengths first, as str.__eq__
  }
  return pyrt::truthy(pyrt::require(PyObject_RichCompare(a.get(), b.get(), Py_EQ), where), where);
}

}  // namespace telegram_bridge
