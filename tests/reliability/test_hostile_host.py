"""Hosts that behave as real ones may but the module's own tests did not: host awaitables that
never suspend, and event loops that end and are replaced while the bridge lives on."""

import asyncio
import gc
import re
import sys
import threading

import pytest

from bridge.fakes import Host, text, until
from conftest import BUILD_DIR, LOOP_FACTORIES, bridge_twin

SERVER, WS = "kavori.gateway.server", "kavori.gateway.ws"


def _build_setting(key):
    """A setting of the build under test; "" when unknown (a build directory that only holds a
    wheel's files has no CMake cache)."""
    cache_file = BUILD_DIR / "CMakeCache.txt"
    cache = cache_file.read_text(encoding="utf-8") if cache_file.exists() else ""
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

    # asyncio's debug mode (-X dev) records a stack for every callback: not what is measured here.
    worker = in_thread(lambda: asyncio.run(main(), debug=False, loop_factory=LOOP_FACTORIES[loop]), STACK_BYTES)
    assert worker.cancelled() or worker.exception() is None
    assert len(host.sent()) == count
    assert [c.kwargs["chat_id"] for c in host.of("tg.send_message")][-3:] == [count - 3, count - 2, count - 1]


@pytest.fixture
def plain_host(monkeypatch):
    host = Host()
    monkeypatch.setitem(sys.modules, SERVER, host.server)
    monkeypatch.setitem(sys.modules, WS, host.ws_module)
    return host


# How the first loop ends: with the worker idle, while a message is being handled (it is lost
# with the loop, as with any cancellation; the one queued behind it is not), or after stop() (the
# one queued then waits for the next start).
LOOP_ENDINGS = ["ended while idle", "ended while handling", "stopped"]


@pytest.mark.parametrize("loop", sorted(LOOP_FACTORIES))
@pytest.mark.parametrize("ending", LOOP_ENDINGS)
def test_the_bridge_outlives_its_event_loop(tb, plain_host, logs, loop, ending):
    if loop == "uvloop":
        pytest.importorskip("uvloop")
    host = plain_host
    host.agent.script(text("ok"))
    bridge = tb.TelegramBridge()

    def answered():
        return [c.kwargs["chat_id"] for c in host.of("tg.send_message")]

    async def first():
        await bridge.start()
        await asyncio.sleep(0.01)  # the worker waits on the empty queue: it belongs to this loop
        handler = host.telegram.handlers[-1]
        if ending == "ended while handling":
            host.agent.hold(0)
            await handler("lost with the loop", {"chat_id": 1})
            await until(lambda: host.of("agent.process_message"))
        if ending == "stopped":
            await bridge.stop()
        if ending != "ended while idle":
            await handler("queued on the first loop", {"chat_id": 2})

    async def second():
        host.agent.gates.clear()  # the held request went with the first loop
        running_before = bridge.is_running
        await host.telegram.handlers[-1]("queued on the second loop", {"chat_id": 3})
        await bridge.start()
        running_after = bridge.is_running
        await until(lambda: answered()[-1:] == [3])
        await asyncio.sleep(0.05)  # long enough for an idle worker to poll its queue a few times
        await bridge.stop()
        return running_before, running_after

    asyncio.run(first(), loop_factory=LOOP_FACTORIES[loop])
    assert answered() == []
    assert asyncio.run(second(), loop_factory=LOOP_FACTORIES[loop]) == (False, True)
    assert answered() == ([3] if ending == "ended while idle" else [2, 3])
    assert not bridge.is_running and not bridge._processing
    assert not [line for line in logs.lines if line[0] == "ERROR" or "already running" in line[1]], logs.lines


@pytest.mark.parametrize("loop", sorted(LOOP_FACTORIES))
def test_a_done_task_keeps_nothing_of_its_message(tb, plain_host, loop):
    """asyncio keeps a task's coroutine; once the task is done, the coroutine keeps neither the
    bridge nor the message, also after repr(task) has read its frame, as an `async def` one."""
    if loop == "uvloop":
        pytest.importorskip("uvloop")

    def handled_by(make_bridge):
        plain_host.agent.script(text("ok"))
        bridge, metadata = make_bridge(), {"chat_id": 5}

        async def main():
            task = asyncio.create_task(bridge._handle_message("hi", metadata))
            await asyncio.sleep(0)
            assert "_handle_message" in repr(task)  # reads the coroutine's frame
            await task
            return task

        coroutine = asyncio.run(main(), loop_factory=LOOP_FACTORIES[loop]).get_coro()
        kept = [obj for obj in gc.get_referents(coroutine) if obj is bridge or obj is metadata]
        return kept, coroutine.cr_frame

    assert handled_by(bridge_twin().TelegramBridge) == handled_by(tb.TelegramBridge) == ([], None)
