// Finding the Telegram connector and the agent in the host's server state, afresh at every call.
#include "bridge.hpp"

namespace telegram_bridge {

namespace {

const Name server_module("kavori.gateway.server"), connector_manager("connector_manager"),
    telegram_key("telegram"), agent_key("agent");

Ref server_state() {
  static const pyrt::KwNames fromlist("get_state");
  Ref get_state = import_in_module(server_module, names::get_state, fromlist);
  return pyrt::call(get_state);
}

// Logs a lookup failure with the exception's text; only the Exception family is turned into None.
Ref lookup_failed(PyError& error, Borrowed prefix) {
  PyError failure = pyrt::exception_family(error);
  pyrt::Handling handling(failure);
  log(Level::error, pyrt::concat({prefix, pyrt::str(failure.value())}));
  return Ref::none();
}

}  // namespace

Ref _get_telegram(Borrowed) {
  try {
    Ref state = server_state();
    Ref connector_mgr = get_from(state, connector_manager);
    if (!pyrt::truthy(connector_mgr)) return Ref::none();
    Ref telegram = get_from(connector_mgr, telegram_key);
    if (pyrt::truthy(telegram) && pyrt::truthy(pyrt::getattr(telegram, names::is_configured))) {
      return telegram;
    }
    return Ref::none();
  } catch (PyError& error) {
    return lookup_failed(error, text_of<"Failed to get Telegram connector: ">());
  }
}

Ref _get_agent(Borrowed) {
  try {
    Ref state = server_state();
    return get_from(state, agent_key);
  } catch (PyError& error) {
    return lookup_failed(error, text_of<"Failed to get agent: ">());
  }
}

}  // namespace telegram_bridge
