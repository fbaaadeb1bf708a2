"""A started bridge that the host abandons (its event loop closed without stop(), then every
reference dropped) is freed by the cycle collector wherever its one message was suspended, as
the same logic written with `async def` is: nothing it holds across an await is hidden from the
collector. The message's event data refers back to the bridge, and so does the traceback of the
failure that the apology is sent for."""

import asyncio
import gc
import logging
import sys
import weakref

import pytest

from bridge.fakes import AgentEvent, Host, text, tool
from conftest import bridge_twin

SERVER, WS = "kavori.gateway.server", "kavori.gateway.ws"


def fail_holding(bridge):
    """Raises an error whose traceback keeps a frame that refers to `bridge`."""
    holder = bridge  # noqa: F841 - kept alive by the traceback
    raise ConnectionError("typing failed")


def events_for(bridge):
    return [text("hello"), tool("browser", arguments={"operation": "open", "caller": bridge}),
            AgentEvent("text", {"content": "bye", "caller": bridge})]


async def run_until_trapped(bridge, host, trap_at, apology):
    await bridge.start()
    if apology:
        try:
            fail_holding(bridge)
        except ConnectionError as error:
            host.telegram.send_typing.fail(error, call=1)
    host.trap_at = host.points + trap_at if trap_at else None
    await host.telegram.handlers[-1]("hi", {"chat_id": 7})
    if trap_at:
        await asyncio.wait_for(host.trapped.wait(), 5)
    else:
        while not host.sent():
            await asyncio.sleep(0.001)


def abandon(make_bridge, trap_at, apology, quiet_logger):
    """Runs one message until the `trap_at`-th host suspension point (0: to its end, the worker
    then waiting for the next message), abandons everything and reports the suspension point's
    name, whether one collection freed the bridge, and what that collection reported as
    unraisable."""
    host = Host()
    # The real host modules, where a test before imported them, come back afterwards.
    before = {name: sys.modules.get(name) for name in (SERVER, WS)}
    sys.modules[SERVER], sys.modules[WS] = host.server, host.ws_module
    bridge = make_bridge()
    host.agent.script(*events_for(bridge))
    loop = asyncio.new_event_loop()
    try:
        loop.run_until_complete(run_until_trapped(bridge, host, trap_at, apology))
    finally:
        loop.close()
    trapped_in = host.trapped_in
    freed = []
    watch = weakref.ref(bridge, lambda _: freed.append(True))
    del bridge, host, loop
    for name, module in before.items():
        if module is None:
            del sys.modules[name]
        else:
            sys.modules[name] = module
    # Closing the abandoned worker may report what its own code does (the twin the same).
    unraisable, sys.unraisablehook = sys.unraisablehook, lambda u: reported.append(repr(u.exc_value))
    reported = []
    try:
        gc.collect()
    finally:
        sys.unraisablehook = unraisable
    return trapped_in, bool(freed), reported


@pytest.fixture
def quiet_logger(tb, monkeypatch):
    """Log records that carry a traceback would keep the bridge alive: the bridge logs nowhere."""
    logger = logging.Logger("abandoned")
    logger.addHandler(logging.NullHandler())
    monkeypatch.setattr(tb, "logger", logger)
    monkeypatch.setattr(bridge_twin(), "logger", logger)
    return logger


# The message's host suspension points, 1 to 11 (0: the message is done and the worker waits
# for the next one); with a failing first send_typing, the 2nd point is the apology's send.
CASES = [pytest.param(False, point, id=f"reply-{point}") for point in range(12)]
CASES.append(pytest.param(True, 2, id="apology-2"))


@pytest.mark.parametrize("apology, trap_at", CASES)
def test_abandoned_bridge_is_collected(tb, quiet_logger, trap_at, apology):
    twin = abandon(bridge_twin().TelegramBridge, trap_at, apology, quiet_logger)
    ours = abandon(tb.TelegramBridge, trap_at, apology, quiet_logger)
    assert twin[1], f"the async def twin was not collected (suspended in {twin[0]})"
    assert ours[1], f"the bridge was not collected (suspended in {ours[0]})"
    # asyncio's own wait, closed on its closed loop, may fail to cancel its future there: whether
    # it is finalised before the worker awaiting it (and reports that) is the collector's order.
    closed_loop = {"RuntimeError('Event loop is closed')"}
    assert (ours[0], set(ours[2]) - closed_loop) == (twin[0], set(twin[2]) - closed_loop)
