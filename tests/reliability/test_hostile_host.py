"""Hosts that behave as real ones may but the module's own tests did not: host awaitables that
never suspend, and event loops that end and are replaced while the bridge lives on."""

import asyncio
import re
import sys
import threading

import pytest

from bridge.fakes import Host, text, until
from conftest import BUILD_DIR, LOOP_FACTORIES

SERVER, WS = "kavori.gateway.server", "kavori.gateway.ws"


def _build_setting(key):
    cache = (BUILD_DIR / "CMakeCache.txt").read_text(encoding="utf-8")
    found = re.search(rf"^{key}:[A-Z]+=(.*)$", cache, re.M)
    return found.group(1) if found else ""


# An optimised build without sanitizers drains the backlog in a thread with a small stack; the
# debug and sanitizer builds, whose frames are many times larger, on an ordinary thread stack.
# Either way the stack must not grow with the number of messages.
OPTIMISED = (_build_setting("CMAKE_BUILD_TYPE") in ("Release", "MinSizeRel")
             and _build_setting("KAVORI_SANITIZE") in ("", "OFF") and not hasattr(sys, "gettotalrefcount"))
STACK_BYTES = 256 * 1024 if OPTIMISED else 0


def in_thread(function, stack_bytes):
    """Runs `function` in a new thread with the given stack size (0: the platform's default)."""
    outcome = {}

    def body():
        try:
            outcome["value"] = function()
        except BaseException as error:  # noqa: BLE001 - handed to the caller
            outcome["error"] = error

    previous = threading.stack_size(stack_bytes)
    try:
        thread = threading.Thread(target=body)
        thread.start()
    finally:
        threading.stack_size(previous)
    thread.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("value")


@pytest.mark.parametrize("loop", sorted(LOOP_FACTORIES))
def test_a_backlog_whose_host_never_suspends_is_drained(tb, monkeypatch, loop):
    if loop == "uvloop":
        pytest.importorskip("uvloop")
    count = 10_000
    host = Host()
    host.suspends = False
    host.agent.script(text("ok"))
    monkeypatch.setitem(sys.modules, SERVER, host.server)
    monkeypatch.setitem(sys.modules, WS, host.ws_module)
    bridge = tb.TelegramBridge()

    async def main():
        for i in range(count):
            bridge._queue.put_nowait((f"message {i}", {"chat_id": i}))
        await bridge.start()
        await until(lambda: bridge._queue.empty() and not bridge._processing or bridge._worker_task.done(),
                    limit=600)
        worker = bridge._worker_task
        await bridge.stop()
        return worker

    worker = in_thread(lambda: asyncio.run(main(), loop_factory=LOOP_FACTORIES[loop]), STACK_BYTES)
    assert worker.cancelled() or worker.exception() is None
    assert len(host.sent()) == count
    assert [c.kwargs["chat_id"] for c in host.of("tg.send_message")][-3:] == [count - 3, count - 2, count - 1]
