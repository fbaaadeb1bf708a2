"""Finding the Telegram connector and the agent through the server state."""

import asyncio
import builtins
import re
import sys

import pytest
from conftest import bridge_twin

from .fakes import MISSING, Call, Host

pytestmark = pytest.mark.leakcheck

TG = "Failed to get Telegram connector: "
AGENT = "Failed to get agent: "


class Falsy:
    def __bool__(self):
        return False


class Empty:
    """False by its length alone."""

    def __len__(self):
        return 0


class Raises:
    """An object whose truth test raises."""

    def __init__(self, exc):
        self.exc = exc

    def __bool__(self):
        raise self.exc


def _fail_state(exc_type, *args):
    # A new exception per run: raising one instance again would grow its traceback.
    return lambda host, mp: setattr(host, "state_error", exc_type(*args))


# Failures before the connector manager is reached fail both lookups alike.
SHARED_FAILURES = {
    "server module missing": (lambda host, mp: mp.setitem(sys.modules, "kavori.gateway.server", None),
                              re.escape("import of kavori.gateway.server halted; None in sys.modules")),
    "no get_state": (lambda host, mp: delattr(host.server, "get_state"), ".*get_state.*"),
    "get_state raises": (_fail_state(RuntimeError, "not ready"), "not ready"),
    "empty error text": (_fail_state(RuntimeError), ""),
    "state without get": (lambda host, mp: setattr(host.server, "get_state", lambda: object()),
                          re.escape("'object' object has no attribute 'get'")),
    "state get raises": (lambda host, mp: setattr(host.state, "error", KeyError("agent")), "'agent'"),
}


@pytest.mark.parametrize("case", list(SHARED_FAILURES))
def test_lookup_failures_log_once_and_give_none(bridge, host, logs, monkeypatch, case):
    setup, pattern = SHARED_FAILURES[case]
    setup(host, monkeypatch)
    assert bridge._get_telegram() is None
    assert bridge._get_agent() is None
    assert [level for level, _ in logs.lines] == ["ERROR", "ERROR"]
    assert re.fullmatch(re.escape(TG) + pattern, logs.lines[0][1])
    assert re.fullmatch(re.escape(AGENT) + pattern, logs.lines[1][1])
    assert all(r.exc is None for r in logs.records)
    # Nothing is remembered: once the host is sound again, both are found.
    monkeypatch.setitem(sys.modules, "kavori.gateway.server", host.server)
    host.server.get_state, host.state_error, host.state.error = host.get_state, None, None
    assert bridge._get_telegram() is host.telegram and bridge._get_agent() is host.agent


SERVER = "kavori.gateway.server"


def _drop_get_state(module_file=None, package=False, submodule=False):
    def change(host, mp):
        del host.server.get_state
        if module_file:
            host.server.__file__ = module_file
        if package:
            host.server.__path__ = []
        if submodule:  # half-made by a circular import: in sys.modules, not yet bound to the package
            mp.setitem(sys.modules, SERVER + ".get_state", Host().get_state)
    return change


def _import_hook(host, mp):
    """The host's own builtins.__import__: it answers an import statement's call for get_state, made
    in either bridge's namespace, with another host's server module."""
    other, real = Host(), builtins.__import__
    namespaces = [vars(sys.modules["kavori.connectors.telegram_bridge"]), vars(bridge_twin())]

    def hook(name, globals=None, locals=None, fromlist=(), level=0):
        if (name, locals, fromlist, level) == (SERVER, None, ("get_state",), 0) and any(
                globals is namespace for namespace in namespaces):
            return other.server
        return real(name, globals, locals, fromlist, level)

    mp.setattr(builtins, "__import__", hook)


# After a first lookup found the server module whole, the host changes it: the bridge reads it as
# the import statement does. case: change, the error's text (None: the agent is found)
LATER_MODULE_CHANGES = {
    "name gone": (_drop_get_state(), "cannot import name 'get_state' from 'kavori.gateway.server' (unknown location)"),
    "name gone, file known": (_drop_get_state("/srv/server.py"),
                              "cannot import name 'get_state' from 'kavori.gateway.server' (/srv/server.py)"),
    "name a loaded submodule": (_drop_get_state(submodule=True), None),
    "package, name a loaded submodule": (_drop_get_state(package=True, submodule=True), None),
    "entry None": (lambda host, mp: mp.setitem(sys.modules, SERVER, None),
                   "import of kavori.gateway.server halted; None in sys.modules"),
    "entry gone, parent blocked": (lambda host, mp: (mp.delitem(sys.modules, SERVER), mp.setitem(sys.modules, "kavori.gateway", None)),
                                   "No module named 'kavori.gateway.server'; 'kavori.gateway' is not a package"),
    "another module": (lambda host, mp: mp.setitem(sys.modules, SERVER, Host().server), None),
    "the host's __import__": (_import_hook, None),
}


@pytest.mark.parametrize("case", list(LATER_MODULE_CHANGES))
def test_a_server_module_changed_after_a_lookup_is_read_as_the_import_statement_reads_it(
        tb, host, logs, monkeypatch, case):
    change, error = LATER_MODULE_CHANGES[case]
    bridges = (tb.TelegramBridge(), bridge_twin().TelegramBridge())
    assert [bridge._get_agent() for bridge in bridges] == [host.agent] * 2
    change(host, monkeypatch)
    found = [bridge._get_agent() for bridge in bridges]
    if error is None:
        assert found[0] is found[1] is not None and found[0] is not host.agent
        assert logs.lines == []
    else:
        assert found == [None, None]
        assert logs.lines == [("ERROR", AGENT + error)] * 2


def _items(target, **changes):
    def setup(host, mp):
        items = getattr(host, target).items
        for key, value in changes.items():
            if value is MISSING:
                del items[key]
            else:
                items[key] = value
    return setup


# case: setup, logged error text or None, connector calls expected
CONNECTOR_ROWS = {
    "no connector manager": (_items("state", connector_manager=MISSING), None),
    "falsy connector manager": (_items("state", connector_manager=Falsy()), None),
    "empty connector manager": (_items("state", connector_manager=Empty()), None),
    "manager without get": (_items("state", connector_manager=object()), "'object' object has no attribute 'get'"),
    "manager get raises": (lambda host, mp: setattr(host.connectors, "error", ValueError("bad manager")),
                           "bad manager"),
    "no connector": (_items("connectors", telegram=MISSING), None),
    "falsy connector": (lambda host, mp: setattr(host.telegram, "truthy", False), None),
    "not configured": (lambda host, mp: setattr(host.telegram, "configured", False), None),
    "no is_configured": (lambda host, mp: setattr(host.telegram, "configured", MISSING),
                         "'FakeTelegram' object has no attribute 'is_configured'"),
    "is_configured without truth value": (lambda host, mp: setattr(host.telegram, "configured", Raises(ValueError("no truth value"))),
                                          "no truth value"),
}


@pytest.mark.parametrize("case", list(CONNECTOR_ROWS))
def test_connector_lookup_rows(bridge, host, logs, monkeypatch, case):
    setup, error = CONNECTOR_ROWS[case]
    setup(host, monkeypatch)
    assert bridge._get_telegram() is None
    assert logs.lines == ([] if error is None else [("ERROR", TG + error)])
    reads_configured = case in ("not configured", "no is_configured", "is_configured without truth value")
    assert ("tg.is_configured" in host.names()) == reads_configured
    # The agent lookup does not depend on the connector side.
    assert bridge._get_agent() is host.agent


@pytest.mark.parametrize("configured", [True, "yes", "method"])
def test_configured_connector_is_returned_itself_and_never_cached(bridge, host, logs, make_host, configured):
    host.telegram.configured = host.telegram.set_message_handler if configured == "method" else configured
    assert bridge._get_telegram() is host.telegram
    assert host.calls == [Call("get_state", (), {}), Call("state.get", ("connector_manager",), {}),
                          Call("connectors.get", ("telegram",), {}), Call("tg.is_configured", (), {})]
    assert "tg.set_message_handler" not in host.names()  # read, never called
    other = make_host()
    assert bridge._get_telegram() is other.telegram and bridge._get_agent() is other.agent
    other.connectors.items["telegram"] = replacement = type(host.telegram)(other)
    assert bridge._get_telegram() is replacement
    assert logs.records == []


@pytest.mark.parametrize("agent", [MISSING, None, Falsy(), 0, "any value"])
def test_agent_lookup_returns_the_stored_value_untested(bridge, host, logs, agent):
    if agent is MISSING:
        del host.state.items["agent"]
    else:
        host.state.items["agent"] = agent
    assert bridge._get_agent() is (None if agent is MISSING else agent)
    assert host.calls == [Call("get_state", (), {}), Call("state.get", ("agent",), {})]
    assert logs.records == []


class Interrupt(BaseException):
    pass


@pytest.mark.parametrize("exc_type", [asyncio.CancelledError, Interrupt], ids=["cancelled", "base"])
@pytest.mark.parametrize("where", ["get_state", "is_configured"])
def test_exceptions_outside_the_exception_family_pass_through(bridge, host, logs, exc_type, where):
    exc = exc_type("stop")
    if where == "get_state":
        host.state_error = exc
    else:
        host.telegram.configured = Raises(exc)
    with pytest.raises(type(exc)) as info:
        bridge._get_telegram()
    assert info.value is exc
    if where == "get_state":
        with pytest.raises(type(exc)):
            bridge._get_agent()
    assert logs.records == []
