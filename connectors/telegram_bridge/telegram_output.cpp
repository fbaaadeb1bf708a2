// Sending reply texts and screenshots back to the Telegram chat.
#include "bridge.hpp"

namespace telegram_bridge {

namespace {

const Name success("success"), message_ids("message_ids"), b64decode("b64decode"),
    named_temporary_file("NamedTemporaryFile"), write("write"), unlink("unlink"),
    enter("__enter__"), exit_("__exit__");
const pyrt::KwNames send_message_keywords("chat_id", "parse_mode");
const pyrt::KwNames temporary_file_keywords("suffix", "delete");
const pyrt::KwNames send_photo_keywords("caption", "chat_id");
const pyrt::KwNames unlink_keywords("missing_ok");

// Path(path).unlink(missing_ok=True), through the module's current `Path`.
void remove_file(Borrowed path, Where where = Where::current()) {
  Ref file = pyrt::call({module_global(names::Path, where), where}, path);
  pyrt::call_method_kw({file, where}, unlink, unlink_keywords, pyrt::boolean(true));
}

// A special method looked up on the type, as the with statement does.
Ref special_method(Borrowed object, const Name& method, Where where) {
  Ref type = Ref::borrow(reinterpret_cast<PyObject*>(object.type()));
  PyObject* found = nullptr;
  if (pyrt::require(PyObject_GetOptionalAttr(type.get(), method.get().get(), &found), where) == 0) {
    PyErr_Format(PyExc_TypeError,
                 "'%.200s' object does not support the context manager protocol (missed %s "
                 "method)",
                 object.type()->tp_name, method.text());
    pyrt::throw_error(where);
  }
  return Ref::steal(found);
}

// `with tempfile.NamedTemporaryFile(suffix=".png", delete=False) as tmp: tmp.write(img_bytes);
// tmp_path = tmp.name`. Returns the path of the closed, complete file. When writing or closing
// fails after the file exists, the file is removed (errors of that removal are ignored) and the
// original failure propagates, so no failure leaves a file behind.
Ref write_temporary_png(Borrowed img_bytes, Where where = Where::current()) {
  Ref manager =
      pyrt::call_method_kw({module_global(names::tempfile, where), where}, named_temporary_file,
                           temporary_file_keywords, text_of<".png">(), pyrt::boolean(false));
  Ref exit_method = special_method(manager, exit_, where);
  Ref enter_method = special_method(manager, enter, where);
  Ref tmp = pyrt::call({enter_method, where}, manager);
  Ref tmp_path;
  try {
    try {
      pyrt::call_method({tmp, where}, write, img_bytes);
      tmp_path = pyrt::getattr(tmp, names::name, where);
    } catch (PyError& error) {
      pyrt::Handling handling(error);
      Ref traceback = Ref::steal(PyException_GetTraceback(error.value().get()));
      Ref type = Ref::borrow(reinterpret_cast<PyObject*>(error.value().type()));
      Ref suppress = pyrt::call({exit_method, where}, manager, type, error.value(),
                                traceback ? traceback : Ref::none());
      if (!pyrt::truthy(suppress, where)) throw;
    }
    if (tmp_path) {
      Ref none = Ref::none();
      pyrt::call({exit_method, where}, manager, none, none, none);
    }
  } catch (PyError& error) {
    PyError failure = pyrt::exception_family(error);
    pyrt::Handling handling(failure);
    try {
      remove_file(pyrt::getattr(tmp, names::name, where), where);
    } catch (PyError& removal) {
      pyrt::exception_family(removal);  // ignored: the original failure is what matters
    }
    throw failure;
  }
  if (!tmp_path) {
    // The context manager swallowed the failure, so the path was never taken.
    PyErr_SetString(PyExc_UnboundLocalError,
                    "cannot access local variable 'tmp_path' where it is not associated with a "
                    "value");
    pyrt::throw_error(where);
  }
  return tmp_path;
}

// result = await telegram.send_photo(tmp_path, caption=..., chat_id=chat_id), then the outcome's
// log line; `sent` when the connector reported success.
Task<void, "send_photo"> send_photo(Borrowed tmp_path, Borrowed chat_id, Borrowed telegram,
                                    bool& sent) {
  Ref sending = pyrt::call_method_kw(telegram, names::send_photo, send_photo_keywords, tmp_path,
                                     text_of<"📸 Screenshot">(), chat_id);
  Local result(co_await pyrt::awaitable(std::move(sending)));
  if (pyrt::truthy(get_from(result, success))) {
    log(Level::info, text_of<"Screenshot sent to Telegram">());
    sent = true;
  } else {
    log(Level::warning, pyrt::concat({text_of<"Failed to send screenshot to Telegram: ">(),
                                      pyrt::str(get_from(result, names::message))}));
  }
}

// Decodes the image into a temporary file and sends it; the file is removed however the send
// ends, and an error of that removal replaces the send's outcome.
Task<void, "deliver_screenshot"> deliver_screenshot(Borrowed image_base64, Borrowed chat_id,
                                                    Borrowed telegram, bool& sent) {
  Local tmp_path(write_temporary_png(
      pyrt::call_method(module_global(names::base64), b64decode, image_base64)));
  pyrt::Caught ended = co_await pyrt::finishing(send_photo(tmp_path, chat_id, telegram, sent));
  {
    pyrt::Handling handling(ended);
    remove_file(tmp_path);
  }
  ended.raise_if_any();
}

}  // namespace

Task<Ref> _send_reply(Borrowed self, Borrowed text, Borrowed metadata) {
  Local telegram(pyrt::call_method(self, names::_get_telegram));
  if (!pyrt::truthy(telegram)) {
    log(Level::error, text_of<"Cannot send reply — Telegram connector not available">());
    co_return Ref::none();
  }
  Local chat_id(dict_get(metadata, names::chat_id));
  if (!pyrt::truthy(chat_id)) chat_id = pyrt::getattr(telegram, names::_chat_id);
  if (!pyrt::truthy(chat_id)) {
    log(Level::error, text_of<"Cannot send reply — no chat_id">());
    co_return Ref::none();
  }
  Ref sending = pyrt::call_method_kw(telegram, names::send_message, send_message_keywords, text,
                                     chat_id, text_of<"">());
  Local result(co_await pyrt::awaitable(std::move(sending)));
  if (pyrt::truthy(get_from(result, success))) {
    Ref ids = get_from(result, message_ids);
    log_lazily(Level::info, {ids}, [&] {
      return pyrt::concat(
          {text_of<"Reply sent to Telegram (msg_ids=">(), pyrt::str(ids), text_of<")">()});
    });
  } else {
    log(Level::error, pyrt::concat({text_of<"Failed to send Telegram reply: ">(),
                                    pyrt::str(get_from(result, names::message))}));
  }
  co_return Ref::none();
}

Task<Ref> _send_screenshot(Borrowed, Borrowed image_base64, Borrowed chat_id, Borrowed telegram) {
  bool sent = false;
  if (pyrt::Caught error =
          co_await pyrt::catching(deliver_screenshot(image_base64, chat_id, telegram, sent))) {
    pyrt::Handling handling(error);
    log(Level::error, pyrt::concat({text_of<"Failed to send screenshot to Telegram: ">(),
                                    pyrt::str(error.value())}));
    co_return pyrt::boolean(false);
  }
  co_return pyrt::boolean(sent);
}

}  // namespace telegram_bridge
