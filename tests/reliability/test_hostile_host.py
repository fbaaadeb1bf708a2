"""Hosts that behave as real ones may but the module's own tests did not: host awaitables that
never suspend, and event loops that end and are replaced while the bridge lives on."""

import asyncio
import collections
import gc
import importlib
import os
import re
import sys
import tempfile
import threading
import types
from pathlib import Path

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


class MeteredQueue(asyncio.Queue):
    """A host's instrumented, bounded queue."""

    def __init__(self):
        super().__init__(maxsize=50)
        self.puts = self.gets = 0

    def put_nowait(self, item):
        self.puts += 1
        super().put_nowait(item)

    def get_nowait(self):
        self.gets += 1
        return super().get_nowait()


class ValueQueue(asyncio.Queue):
    """Compared by value, so without a hash (as a dataclass with eq gets)."""

    __hash__ = None

    def __eq__(self, other):
        return isinstance(other, ValueQueue) and self.qsize() == other.qsize()


class SlottedQueue:
    """A host's own queue (no weak references), on no event loop: the bridge can only use it."""

    __slots__ = ("items",)

    def __init__(self):
        self.items = collections.deque()

    async def put(self, item):
        self.items.append(item)

    def put_nowait(self, item):
        self.items.append(item)

    async def get(self):
        while not self.items:
            await asyncio.sleep(0.002)
        return self.items.popleft()

    def get_nowait(self):
        return self.items.popleft()

    def empty(self):
        return not self.items


QUEUES = {"plain": asyncio.Queue, "metered": MeteredQueue, "bounded, a put waiting": lambda: asyncio.Queue(1),
          "unhashable": ValueQueue, "no weak references": SlottedQueue}
# A loop is run by asyncio.run() (which cancels its tasks at the end) or, as a host managing its
# own loop may do, run and closed with its tasks left pending. Each run: two messages delivered
# before start() (a bounded queue keeps the second put waiting), start(), one put by the host on
# the queue it holds; then the run's ending: "idle", "handling" (a message in hand is lost with
# the loop, two more are delivered behind it) or "stop" (stop(), then two more delivered, which
# wait for the next start()). "stop first": stop() on the new loop before anything else.
SEQUENCES = {
    "closed idle": [("own loop", "idle"), ("asyncio.run", "stop")],
    "closed while handling": [("own loop", "handling"), ("asyncio.run", "stop first", "stop")],
    "stop, new loop": [("asyncio.run", "stop"), ("asyncio.run", "stop")],
    "three asyncio.run": [("asyncio.run", "idle"), ("asyncio.run", "idle"), ("asyncio.run", "stop")],
}


def _run_loop(how, factory, main):
    if how == "asyncio.run":
        return asyncio.run(main(), loop_factory=factory)
    loop = factory()
    try:
        return loop.run_until_complete(main())
    finally:
        loop.close()  # the worker, and a put waiting, stay pending on the closed loop


# Without re-binding (PYRT_COMPAT=public), an asyncio.Queue bound to a closed loop still refuses a
# put that has to wait for room, and a put beside a waiter of that loop fails waking it.
FALLBACK = os.environ.get("PYRT_COMPAT") == "public"


@pytest.mark.parametrize("loop", sorted(LOOP_FACTORIES))
@pytest.mark.parametrize("sequence", SEQUENCES)
@pytest.mark.parametrize("kind", QUEUES)
def test_the_bridge_outlives_its_event_loop(tb, plain_host, logs, loop, sequence, kind):
    if loop == "uvloop":
        pytest.importorskip("uvloop")
    if FALLBACK and kind != "no weak references" and (kind.startswith("bounded") or sequence == "closed idle"):
        pytest.skip("needs the queue re-bound")
    host = plain_host
    host.agent.script(text("ok"))
    bridge = tb.TelegramBridge()
    queue = bridge._queue = QUEUES[kind]()
    queued, lost, stopped = [], [], []

    def answered():
        return [c.kwargs["chat_id"] for c in host.of("tg.send_message")]

    def expected():
        return [chat for chat in queued if chat not in lost]

    async def deliver(chat):
        await bridge._on_telegram_message(f"message {chat}", {"chat_id": chat})
        queued.append(chat)

    async def deliver_two(run, suffix):
        for chat in (f"{run}{suffix}1", f"{run}{suffix}2"):
            asyncio.create_task(deliver(chat))
        await asyncio.sleep(0.01)

    def run_body(number, steps):
        async def main():
            host.agent.gates.clear()  # a message held on an earlier loop went with it
            if "stop first" in steps:
                before = len(host.of("tg.stop"))
                await bridge.stop()
                stopped.append((bridge.is_running, bridge._worker_task, len(host.of("tg.stop")) - before,
                                logs.lines[-1]))
            await deliver_two(number, "a")
            await bridge.start()
            assert bridge.is_running and bridge._worker_task is not None
            await queue.put((f"message {number}b", {"chat_id": f"{number}b"}))
            queued.append(f"{number}b")
            await until(lambda: answered() == expected())
            if "handling" in steps:
                host.agent.hold(0)
                asyncio.create_task(deliver(f"{number}held"))
                lost.append(f"{number}held")
                await until(lambda: len(host.of("agent.process_message")) == len(answered()) + 1)
                await deliver_two(number, "c")
            if "stop" in steps:
                await bridge.stop()
                await deliver_two(number, "c")
            await asyncio.sleep(0.01)  # the worker waits on the queue: it is bound to this loop

        return main

    for number, (how, *steps) in enumerate(SEQUENCES[sequence], 1):
        _run_loop(how, LOOP_FACTORIES[loop], run_body(number, steps))
    # What the closed loops left pending is closed when collected, without a complaint.
    reported, hook = [], sys.unraisablehook
    sys.unraisablehook = lambda u: reported.append(f"{u.exc_value!r} in {u.object!r}")
    try:
        gc.collect()
    finally:
        sys.unraisablehook = hook
    assert reported == []
    waiting = [item[1]["chat_id"] for item in _drain(queue)]
    assert answered() == expected()[:len(answered())] and expected()[len(answered()):] == waiting
    assert stopped in ([], [(False, None, 1, ("INFO", "Telegram bridge stopped"))])
    assert bridge._queue is queue and not bridge.is_running and not bridge._processing
    if kind == "metered":
        assert (queue.maxsize, queue.puts, queue.gets) == (50, len(queued), len(queued))
    assert not [line for line in logs.lines if line[0] == "ERROR" or "already running" in line[1]], logs.lines


@pytest.mark.leakcheck
@pytest.mark.parametrize("stop", [False, True], ids=["without stop", "with stop"])
def test_loop_changes_leave_nothing_behind(tb, plain_host, stop):
    """1,000 event loops, two for each new bridge (a message answered on each): under the
    leak check the reference and block counts stay flat."""
    plain_host.agent.script(text("ok"))

    async def one_loop(bridge, last):
        await bridge._on_telegram_message("hi", {"chat_id": 7})
        await bridge.start()
        await until(lambda: plain_host.of("tg.send_message"))
        plain_host.calls.clear()
        if stop or last:
            await bridge.stop()

    for _ in range(500):
        bridge = tb.TelegramBridge()
        for last in (False, True):
            asyncio.run(one_loop(bridge, last), debug=False)
    assert not bridge.is_running


def _drain(queue):
    items = []
    while not queue.empty():
        items.append(queue.get_nowait())
    return items


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


def test_a_server_module_another_thread_is_importing_is_waited_for(tb, plain_host, monkeypatch):
    """The host imports its server module afresh in a thread of its own while the bridge looks the
    agent up: the bridge waits for that import to end, as the import statement does, although it
    found a module of that name whole before."""
    final = Host()
    gate = types.SimpleNamespace(started=threading.Event(), release=threading.Event(),
                                 first=plain_host.get_state, final=final.get_state)
    monkeypatch.setitem(sys.modules, "telegram_bridge_test_gate", gate)
    with tempfile.TemporaryDirectory() as folder:
        Path(folder, "server.py").write_text("import sys\n"
                                             "gate = sys.modules['telegram_bridge_test_gate']\n"
                                             "get_state = gate.first\n"
                                             "gate.started.set()\n"
                                             "gate.release.wait(30)\n"
                                             "get_state = gate.final\n")
        package = types.ModuleType("kavori.gateway")
        package.__path__ = [folder]
        monkeypatch.setitem(sys.modules, "kavori.gateway", package)
        for bridge in (bridge_twin().TelegramBridge(), tb.TelegramBridge()):
            sys.modules[SERVER] = plain_host.server
            assert bridge._get_agent() is plain_host.agent
            gate.started.clear()
            gate.release.clear()
            del sys.modules[SERVER]
            importer = threading.Thread(target=importlib.import_module, args=(SERVER,))
            importer.start()
            assert gate.started.wait(30)
            threading.Timer(0.2, gate.release.set).start()
            try:
                assert bridge._get_agent() is final.agent
            finally:
                gate.release.set()
                importer.join()
        sys.path_importer_cache.pop(folder, None)
