"""The inbound callback, the queue worker and the bridge's start and stop."""

import asyncio
import base64
import gc
import itertools
import os
import warnings

import pytest

from reliability.model import reply

from .fakes import Call, done, error, shot, text, tool, until

pytestmark = pytest.mark.leakcheck

STARTED = "Queue processor started"
START_LINES = [("INFO", "Message handler registered"), ("INFO", "Telegram polling started"),
               ("INFO", "Telegram bridge started — two-way messaging active")]
STOPPED = ("INFO", "Telegram bridge stopped")
PNG_B64 = base64.b64encode(b"\x89PNG\r\n\x1a\n-image-").decode()


def start_worker(bridge):
    """Runs the worker the way start() does, without a connector."""
    bridge._running = True
    return asyncio.create_task(bridge._process_queue())


async def settle(turns=20):
    for _ in range(turns):
        await asyncio.sleep(0)


def without_queuing(logs):
    return [line for line in logs.lines if not line[1].startswith("Queuing")]


# --- callback ------------------------------------------------------------------------------------

@pytest.mark.parametrize("metadata, sender", [
    ({"from_name": "Ann", "chat_id": 1, "extra": [1]}, "Ann"), ({}, "unknown"), ({"from_name": None}, "None"),
    ({"from_name": 12}, "12"),
])
def test_callback_logs_and_queues_the_same_objects(run, bridge, host, logs, metadata, sender):
    message = "ü" * 79 + "✓" + "tail" * 30
    assert run(bridge._on_telegram_message(metadata=metadata, text=message)) is None
    item = bridge._queue.get_nowait()
    assert type(item) is tuple and len(item) == 2 and item[0] is message and item[1] is metadata
    assert bridge._queue.empty() and host.calls == []
    assert logs.lines == [("INFO", f"Queuing Telegram message from {sender}: " + "ü" * 79 + "✓")]


# --- worker --------------------------------------------------------------------------------------

def test_messages_are_handled_one_at_a_time_in_arrival_order(run, bridge, host, logs):
    host.agent.script(text("answer"))
    gate = host.agent.hold(0)

    async def main():
        worker = start_worker(bridge)
        await bridge._on_telegram_message("m1 " + "ж" * 100, {"chat_id": 1})
        await until(lambda: host.of("agent.next"))
        assert bridge._processing is True
        for i in (2, 3, 4):
            await bridge._on_telegram_message(f"m{i}", {"chat_id": i})
        await settle()
        assert len(host.of("agent.process_message")) == 1 and bridge._queue.qsize() == 3
        gate.set()
        await until(lambda: len(host.sent()) == 4 and not bridge._processing)
        worker.cancel()
        assert await worker is None

    run(main)
    assert [c.args[0] for c in host.of("agent.process_message")] == ["m1 " + "ж" * 100, "m2", "m3", "m4"]
    assert host.names("tg.send", "agent.process") == ["tg.send_typing", "agent.process_message", "tg.send_message"] * 4
    assert [c.kwargs["chat_id"] for c in host.of("tg.send_message")] == [1, 2, 3, 4]
    assert [m for m in logs.messages() if m.startswith("Processing")] == [
        "Processing queued message: m1 " + "ж" * 77, "Processing queued message: m2",
        "Processing queued message: m3", "Processing queued message: m4"]


class RefusesToBeBusy:
    """A bridge attribute `_processing` that refuses to be set to True once."""

    def __init__(self, failure):
        self.failure, self.refused = failure, False

    def __get__(self, bridge, owner=None):
        return bridge.__dict__.get("_processing", False)

    def __set__(self, bridge, value):
        if value is True and not self.refused:
            self.refused = True
            raise self.failure
        bridge.__dict__["_processing"] = value


@pytest.mark.parametrize("cause", ["handler", "busy flag"])
@pytest.mark.parametrize("error_text", ["x" * 450 + "✗" * 150, ""], ids=["600 chars", "empty"])
def test_a_failed_message_is_logged_and_apologised_for(run, tb, host, logs, error_text, cause):
    failure = RuntimeError(error_text)
    if cause == "handler":
        bridge = tb.TelegramBridge()
        host.telegram.send_typing.fail(failure, call=1)
    else:  # setting the busy flag is part of the guarded handling
        bridge = type("Bridge", (tb.TelegramBridge,), {"_processing": RefusesToBeBusy(failure)})()
    host.agent.script(text("fine"))

    async def main():
        worker = start_worker(bridge)
        await bridge._on_telegram_message("first", {"chat_id": 1})
        await bridge._on_telegram_message("second", {"chat_id": 2})
        await until(lambda: len(host.sent()) == 2 and not bridge._processing)
        worker.cancel()
        await worker

    run(main)
    apology = "⚠️ Sorry, I encountered an error:\n" + error_text[:500]
    assert host.of("tg.send_message") == [Call("tg.send_message", (apology,), {"chat_id": 1, "parse_mode": ""}),
                                          Call("tg.send_message", ("fine",), {"chat_id": 2, "parse_mode": ""})]
    assert without_queuing(logs) == [
        ("INFO", STARTED), ("INFO", "Processing queued message: first"),
        ("ERROR", "Error processing Telegram message: " + error_text),
        ("INFO", "Reply sent to Telegram (msg_ids=[101])"), ("INFO", "Processing queued message: second"),
        ("INFO", "Sending message to agent for processing..."), ("DEBUG", "Agent text: fine"),
        ("INFO", "Sending reply to Telegram (4 chars)"), ("INFO", "Reply sent to Telegram (msg_ids=[101])")]
    [logged] = [r for r in logs.records if r.exc is not None]
    assert logged.exc is failure and logged.current is failure
    # The failure ended the first message before its notice and its agent run.
    assert [c.args[0] for c in host.of("agent.process_message")] == ["second"]
    assert len(host.of("ws.broadcast")) == 2
    assert len(host.of("tg.send_typing")) == (2 if cause == "handler" else 1)


@pytest.mark.parametrize("where", ["waiting", "handling"])
def test_cancelling_the_worker(run, bridge, host, logs, where):
    host.agent.hold(0)

    async def main():
        worker = start_worker(bridge)
        if where == "handling":
            await bridge._on_telegram_message("m", {"chat_id": 1})
            await until(lambda: host.of("agent.next"))
            assert bridge._processing is True
        await settle()
        worker.cancel()
        try:
            return worker, await worker
        except asyncio.CancelledError:
            return worker, "cancelled"

    worker, outcome = run(main)
    if where == "waiting":
        assert outcome is None and not worker.cancelled()
        assert logs.lines == [("INFO", STARTED)]
    else:
        assert outcome == "cancelled" and worker.cancelled()
        assert host.sent() == [] and bridge._queue.empty()
        assert [level for level, _ in logs.lines] == ["INFO"] * 4
    assert bridge._processing is False


def test_clearing_running_lets_the_message_in_hand_finish(run, bridge, host, logs):
    host.agent.script(text("done"))
    gate = host.agent.hold(0)

    async def main():
        worker = start_worker(bridge)
        await bridge._on_telegram_message("m1", {"chat_id": 1})
        await until(lambda: host.of("agent.next"))
        await bridge._on_telegram_message("m2", {"chat_id": 2})
        bridge._running = False
        gate.set()
        assert await asyncio.wait_for(worker, 5) is None

    run(main)
    assert host.sent() == ["done"] and bridge._queue.qsize() == 1 and bridge._processing is False
    assert without_queuing(logs)[-1] == ("INFO", "Reply sent to Telegram (msg_ids=[101])")


def test_an_idle_worker_polls_every_two_seconds_without_logging(run, bridge, host, logs, fast_poll):
    host.agent.script(text("late answer"))

    async def main():
        worker = start_worker(bridge)
        await until(lambda: len(fast_poll.timeouts) >= 4)
        assert logs.lines == [("INFO", STARTED)]
        await bridge._on_telegram_message("late", {"chat_id": 1})
        await until(lambda: host.sent() and not bridge._processing)
        polls = len(fast_poll.timeouts)
        await until(lambda: len(fast_poll.timeouts) >= polls + 3)
        bridge._running = False
        assert await asyncio.wait_for(worker, 5) is None

    run(main)
    assert set(fast_poll.timeouts) == {2.0}
    assert host.sent() == ["late answer"]
    assert without_queuing(logs)[-1] == ("INFO", "Reply sent to Telegram (msg_ids=[101])")


def test_with_the_real_poll_an_idle_worker_ends_after_running_is_cleared(run, bridge, logs):
    async def main():
        worker = start_worker(bridge)
        await asyncio.sleep(0.05)
        bridge._running = False
        assert await asyncio.wait_for(worker, 4.0) is None

    run(main)
    assert logs.lines == [("INFO", STARTED)]


@pytest.mark.parametrize("failure", ["apology send", "malformed item", "queue get"])
def test_a_failure_outside_the_guard_is_logged_and_the_worker_goes_on(run, bridge, host, logs, fast_poll, failure):
    host.agent.script(text("fine"))
    if failure == "apology send":
        host.telegram.send_typing.fail(RuntimeError("boom"), call=1)
        host.telegram.send_message.fail(ConnectionError("send failed"), call=1)
        expected, replies = "send failed", ["⚠️ Sorry, I encountered an error:\nboom", "fine"]
    elif failure == "malformed item":
        bridge._queue.put_nowait(("text only",))
        expected, replies = "not enough values to unpack (expected 2, got 1)", ["fine", "fine"]
    else:
        real_get, gets = bridge._queue.get, []

        async def broken():
            raise OSError("queue broken")

        def get():
            gets.append(1)
            return broken() if len(gets) == 1 else real_get()

        bridge._queue.get = get
        expected, replies = "queue broken", ["fine", "fine"]

    async def main():
        worker = start_worker(bridge)
        await bridge._on_telegram_message("first", {"chat_id": 1})
        await bridge._on_telegram_message("second", {"chat_id": 2})
        await until(lambda: len(host.sent()) == 2 and not bridge._processing)
        assert not worker.done()
        worker.cancel()
        await worker

    run(main)
    assert host.sent() == replies
    [escaped] = [r for r in logs.records if r.msg.startswith("Queue processor error: ")]
    assert (escaped.level, escaped.msg, escaped.exc) == ("ERROR", "Queue processor error: " + expected, None)
    assert bridge._processing is False
    # Only a poll that failed without taking an item makes the worker back off before the next.
    assert fast_poll.sleeps == ([0.1] if failure == "queue get" else [0])


class ScriptedGet:
    """Stands in for the queue's `get`: each call follows the next step of a script: "fail"
    raises, "item" queues a message first, anything else waits on the empty queue (which the
    fast poll turns into a timeout). Once the script is done, every call fails."""

    def __init__(self, bridge, *steps):
        self.real, self.steps, self.calls = bridge._queue.get, list(steps), 0

    def __call__(self):
        self.calls += 1
        step = self.steps.pop(0) if self.steps else "fail"
        if step == "item":
            self.real.__self__.put_nowait(("m", {"chat_id": 1}))
        return self.fail() if step == "fail" else self.real()

    async def fail(self):
        raise OSError("queue broken")


@pytest.mark.parametrize("case", ["persistent", "reset by an item and by a timeout", "stop while waiting"])
def test_a_failing_poll_backs_off(run, bridge, host, logs, fast_poll, case):
    host.agent.script(text("fine"))
    steps = {"persistent": (), "reset by an item and by a timeout": ("fail", "fail", "item", "fail", "fail", "timeout"),
             "stop while waiting": ()}[case]
    get = ScriptedGet(bridge, *steps)
    bridge._queue.get = get
    if case == "stop while waiting":
        fast_poll.held_sleeps = asyncio.Event()

    async def main():
        worker = start_worker(bridge)
        if case == "stop while waiting":
            await until(lambda: fast_poll.sleeps)
            worker.cancel()
            return await worker
        await until(lambda: len(fast_poll.sleeps) >= 8)
        bridge._running = False
        return await worker

    assert run(main) is None
    errors = [r for r in logs.records if r.msg == "Queue processor error: queue broken"]
    if case == "persistent":
        assert fast_poll.sleeps[:8] == [0.1, 0.2, 0.4, 0.8, 1.6, 2.0, 2.0, 2.0]
    elif case == "stop while waiting":
        assert fast_poll.sleeps == [0.1] and get.calls == 1
    else:
        assert fast_poll.sleeps[:6] == [0.1, 0.2, 0.1, 0.2, 0.1, 0.2] and host.sent() == ["fine"]
    # One log line per failed poll, each followed by the pause.
    assert len(errors) == get.calls - steps.count("item") - steps.count("timeout") == len(fast_poll.sleeps)
    assert all(r.level == "ERROR" and r.exc is None for r in errors)


@pytest.mark.parametrize("callee", ["asyncio.create_task", "asyncio.wait_for", "manager.broadcast"])
def test_a_callee_is_looked_up_before_its_arguments_are_built(run, tb, bridge, host, logs, monkeypatch, callee):
    """As `f(args)` evaluates: a callee that cannot be found leaves no argument behind (no
    coroutine that is never awaited, no str() of the sender)."""
    module, name = callee.split(".")
    if module == "asyncio":
        monkeypatch.setattr(tb, "asyncio", WithoutAttribute(asyncio, name))
    else:
        host.ws_module.manager = WithoutAttribute(host.ws, name)
    gets, shown = [], []
    real_get = bridge._queue.get
    bridge._queue.get = lambda: (gets.append(1), real_get())[1]

    class Sender:
        def __str__(self):
            shown.append(1)
            return "Ann"

    async def main():
        if callee == "asyncio.create_task":
            with pytest.raises(AttributeError, match="create_task"):
                await bridge.start()
        elif callee == "asyncio.wait_for":
            worker = start_worker(bridge)
            await until(lambda: logs.messages("ERROR"))
            worker.cancel()
            await worker
        else:
            await bridge._handle_message("hi", {"chat_id": 1, "from_name": Sender()})

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        run(main)
        gc.collect()
    assert [str(w.message) for w in caught] == []
    if callee == "asyncio.wait_for":
        assert gets == [] and logs.messages("ERROR")[0] == f"Queue processor error: {name}"
    elif callee == "manager.broadcast":
        assert shown == [] and ("DEBUG", f"Could not broadcast to WebSocket: {name}") in logs.lines


class WithoutAttribute:
    """`target` without one attribute."""

    def __init__(self, target, missing):
        self._target, self._missing = target, missing

    def __getattr__(self, name):
        if name == self._missing:
            raise AttributeError(name)
        return getattr(self._target, name)


# --- lifecycle -----------------------------------------------------------------------------------

def test_start_and_stop(run, bridge, host, logs):
    async def main():
        gate = host.telegram.start.hold()
        starting = asyncio.create_task(bridge.start())
        await host.telegram.start.entered.wait()
        assert (bridge.is_running, bridge._worker_task, logs.lines) == (False, None, START_LINES[:1])
        gate.set()
        await starting
        await until(lambda: len(logs.lines) == 4)
        assert logs.lines == START_LINES + [("INFO", STARTED)]
        worker = bridge._worker_task
        assert isinstance(worker, asyncio.Task) and not worker.done() and bridge.is_running is True
        [handler] = host.telegram.handlers
        assert handler == bridge._on_telegram_message and handler.__self__ is bridge
        lookups = host.names().count("get_state")
        await bridge.start()
        assert bridge._worker_task is worker and host.names().count("get_state") == lookups
        await bridge.stop()
        assert worker.done() and (bridge._worker_task, bridge.is_running) == (None, False)
        await bridge.stop()
        assert host.names().count("get_state") == lookups + 2

    run(main)
    assert logs.lines == START_LINES + [("INFO", STARTED), ("INFO", "Telegram bridge already running"), STOPPED, STOPPED]
    assert host.names("tg.s") == ["tg.set_message_handler", "tg.start", "tg.stop", "tg.stop"]


@pytest.mark.parametrize("case", ["no connector", "not configured", "lookup fails"])
def test_start_without_a_connector(run, bridge, host, logs, case):
    if case == "no connector":
        del host.connectors.items["telegram"]
    elif case == "not configured":
        host.telegram.configured = False
    else:
        host.state_error = RuntimeError("not ready")
    run(bridge.start())
    assert logs.lines[-1] == ("ERROR", "Cannot start Telegram bridge — Telegram connector not available or not configured")
    assert len(logs.lines) == (2 if case == "lookup fails" else 1)
    assert (bridge.is_running, bridge._worker_task) == (False, None)
    assert host.names("tg.s") == []


@pytest.mark.parametrize("step", ["register", "connector start"])
def test_start_lets_connector_failures_through(run, bridge, host, logs, step):
    failure = ConnectionError("no network")
    if step == "register":
        host.telegram.handler_error = failure
    else:
        host.telegram.start.fail(failure, call=1)

    async def main():
        with pytest.raises(ConnectionError) as info:
            await bridge.start()
        assert info.value is failure
        assert (bridge.is_running, bridge._worker_task) == (False, None)
        assert len(host.telegram.handlers) == 1
        assert logs.lines == ([] if step == "register" else START_LINES[:1])
        host.telegram.handler_error = None
        await bridge.start()  # a later start repeats every step
        assert bridge.is_running and len(host.telegram.handlers) == 2
        await bridge.stop()

    run(main)


@pytest.mark.parametrize("connector", [True, False])
def test_stop_on_a_bridge_never_started(run, bridge, host, logs, connector):
    if not connector:
        host.telegram.configured = False

    async def main():
        await bridge.stop()
        await bridge.stop()

    run(main)
    assert host.names("tg.stop") == (["tg.stop"] * 2 if connector else [])
    assert logs.lines == [STOPPED, STOPPED]
    assert (bridge.is_running, bridge._worker_task) == (False, None)


def test_stop_lets_a_connector_failure_through(run, bridge, host, logs):
    host.telegram.stop.fail(RuntimeError("still polling"))

    async def main():
        await bridge.start()
        worker = bridge._worker_task
        with pytest.raises(RuntimeError, match="still polling"):
            await bridge.stop()
        assert worker.done() and (bridge._worker_task, bridge.is_running) == (None, False)

    run(main)
    assert STOPPED not in logs.lines


def test_stop_drops_a_finished_worker_without_awaiting_it(run, bridge, logs):
    async def main():
        async def failed():
            raise ValueError("worker died")

        task = asyncio.create_task(failed())
        await until(task.done)
        bridge._running, bridge._worker_task = True, task
        await bridge.stop()  # awaiting the task would raise its ValueError
        assert (bridge._worker_task, bridge.is_running) == (None, False)
        assert isinstance(task.exception(), ValueError)

    run(main)
    assert logs.lines == [STOPPED]


def test_messages_queued_while_stopped_are_handled_after_the_next_start(run, bridge, host):
    host.agent.script(text("ok"))

    async def main():
        await bridge.start()
        first_worker = bridge._worker_task
        await bridge.stop()
        handler = host.telegram.handlers[-1]
        await handler("while stopped 1", {"chat_id": 1})
        await handler("while stopped 2", {"chat_id": 2})
        await settle()
        assert host.of("agent.process_message") == [] and bridge._queue.qsize() == 2
        await bridge.start()
        assert bridge._worker_task is not first_worker and len(host.telegram.handlers) == 2
        await until(lambda: len(host.sent()) == 2)
        await bridge.stop()

    run(main)
    assert [c.args[0] for c in host.of("agent.process_message")] == ["while stopped 1", "while stopped 2"]
    assert [c.kwargs["chat_id"] for c in host.of("tg.send_message")] == [1, 2]


def test_a_message_from_the_callback_to_the_reply(run_any, bridge, host, logs):
    host.agent.script(text("Hello from the agent"))

    async def main():
        await bridge.start()
        await host.telegram.handlers[-1]("Hi there", {"chat_id": 9, "from_name": "Ann"})
        await until(lambda: host.sent() and not bridge._processing)
        await bridge.stop()

    run_any(main)
    assert host.of("tg.send_message") == [
        Call("tg.send_message", ("Hello from the agent",), {"chat_id": 9, "parse_mode": ""})]
    assert logs.lines == START_LINES + [
        ("INFO", "Queuing Telegram message from Ann: Hi there"), ("INFO", STARTED),
        ("INFO", "Processing queued message: Hi there"), ("INFO", "Sending message to agent for processing..."),
        ("DEBUG", "Agent text: Hello from the agent"), ("INFO", "Sending reply to Telegram (20 chars)"),
        ("INFO", "Reply sent to Telegram (msg_ids=[101])"), STOPPED]


def test_cancellation_at_every_suspension_point_of_a_message(run, tb, make_host, logs, temp_dir):
    """stop() cancels the worker at the k-th awaited host operation of one message, for every k
    until the message completes without reaching it."""

    async def one_message(bridge, host, k):
        await bridge.start()
        host.points, host.trap_at = 0, k
        await host.telegram.handlers[-1]("go", {"chat_id": 5})
        worker = bridge._worker_task
        await until(lambda: host.trapped.is_set() or (host.sent() and not bridge._processing))
        host.trap_at = None
        await bridge.stop()
        assert (bridge._processing, bridge._worker_task, bridge.is_running) == (False, None, False)
        assert worker.cancelled() == host.trapped.is_set()
        return host.trapped_in

    trapped, expected = [], reply("a", "⚠️ e", actions=["🔧 browser.open"])
    for k in itertools.count(1):
        host = make_host()
        host.agent.script(text("a"), tool("browser", "open"), shot(PNG_B64), error("e"), done())
        bridge = tb.TelegramBridge()
        where = run(one_message(bridge, host, k))
        assert os.listdir(temp_dir) == []
        if where is None:
            assert host.sent() == [expected]
            break
        trapped.append(where)
        assert host.sent() in ([], [expected])  # never an apology
        assert k < 40
    assert trapped == ["tg.send_typing", "ws.broadcast"] + ["agent.next", "ws.broadcast"] * 2 + [
        "tg.send_typing", "agent.next", "ws.broadcast", "tg.send_photo"] + ["agent.next", "ws.broadcast"] * 2 + [
        "agent.next", "tg.send_message"]
    assert not [line for line in logs.lines if line[0] == "ERROR"]


# --- drain ---------------------------------------------------------------------------------------

async def _started(bridge, host):
    await bridge.start()


async def _held(bridge, host):
    host.agent.hold(0)  # the first message is never finished
    await bridge.start()


async def _never_started(bridge, host):
    pass


async def _stopped(bridge, host):
    await bridge.start()
    await bridge.stop()


async def _worker_ended(bridge, host):
    await bridge.start()
    bridge._worker_task.cancel()  # absorbed while waiting: the task ends, _running stays true
    await until(bridge._worker_task.done)


@pytest.mark.parametrize("setup, messages, stops, outcome, queued, handling", [
    pytest.param(_started, 0, False, "DRAINED", 0, False, id="idle"),
    pytest.param(_started, 3, False, "DRAINED", 0, False, id="backlog answered"),
    pytest.param(_held, 2, True, "TIMED_OUT", 1, True, id="held, then stopped"),
    pytest.param(_never_started, 2, False, "NO_WORKER", 2, False, id="never started"),
    pytest.param(_stopped, 1, True, "NO_WORKER", 1, False, id="stopped"),
    pytest.param(_worker_ended, 1, False, "NO_WORKER", 1, False, id="worker ended"),
])
def test_drain_waits_for_a_live_worker_only(run, bridge, host, setup, messages, stops, outcome,
                                            queued, handling):
    import kavori.connectors.telegram_bridge_drain as drain_module

    async def main():
        await setup(bridge, host)
        for n in range(messages):
            await bridge._on_telegram_message(f"m{n}", {"chat_id": n + 1})
        drain = drain_module.drain_and_stop if stops else drain_module.drain
        # No limit unless a time-out is the point: a bridge without a worker is not waited on.
        limit = 0.3 if outcome == "TIMED_OUT" else None
        result = await asyncio.wait_for(drain(bridge, limit, interval=0.01), 10)
        return result, drain_module.pending(bridge)

    result, pending = run(main())
    assert (result.outcome.name, result.queued, result.handling) == (outcome, queued, handling)
    assert bool(result) == (outcome == "DRAINED") and result.pending == queued + handling
    assert pending == queued + (handling and not stops)  # a stop abandons the message in hand
    assert len(host.sent()) == (messages if outcome == "DRAINED" else 0)
    if stops:
        assert not bridge.is_running and host.names("tg.stop")


def test_drain_does_not_wait_for_a_worker_whose_loop_closed(run, bridge, host):
    """A bridge started under one event loop, then drained on the next one."""
    import kavori.connectors.telegram_bridge_drain as drain_module

    async def late_message():
        await bridge._on_telegram_message("late", {"chat_id": 1})
        return await asyncio.wait_for(drain_module.drain(bridge, None), 10)

    run(bridge.start())
    assert run(late_message()).outcome is drain_module.DrainOutcome.NO_WORKER
