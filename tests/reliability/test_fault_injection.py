"""Faults planted on the calls a started bridge makes to its host. Each call in turn raises an
Exception, an exception outside the Exception family, or a cancellation (at the call, or for
awaited operations also when awaited), or answers with an odd value. What is logged, what
reaches the chat, whether the exception passes and whether the worker goes on must follow the
failure rules; a second message then shows the bridge still works."""

import asyncio
import base64
import os

import pytest

from bridge.fakes import AgentEvent, done, shot, text, tool, until

from .model import APOLOGY, NOT_INITIALIZED, PROCESSING_ERROR, reply

pytestmark = pytest.mark.leakcheck

PNG_B64 = base64.b64encode(b"\x89PNG\r\n\x1a\n-image-").decode()
REPLY = reply("hello", actions=["🔧 browser.open"])
AFTER_TOOL = reply("hello", PROCESSING_ERROR + "boom", actions=["🔧 browser.open"])
SHOT = ("INFO", "Screenshot sent to Telegram")
RUN_FAILED = ("ERROR", "Agent processing failed for Telegram message")
NO_CONNECTOR = ("ERROR", "Failed to get Telegram connector: boom")
ROUTINE = ("Queuing Telegram message from ", "Processing queued message: ", "Sending message to agent",
           "Agent text: ", "Agent tool call: ", "Sending reply to Telegram (", "Reply sent to Telegram",
           "Agent processing complete", "Queue processor started", "Message handler registered",
           "Telegram polling started", "Telegram bridge started", "Telegram bridge stopped")
TRACEBACK_LINES = ("Error processing Telegram message: ", "Agent processing failed for Telegram message")
AWAITED = {"tg.start", "tg.stop", "send_typing", "broadcast", "anext", "send_photo", "send_message"}


class Interrupt(BaseException):
    pass


KINDS = {"exception": lambda: RuntimeError("boom"), "base exception": lambda: Interrupt("boom"),
         "cancelled": lambda: asyncio.CancelledError("boom")}


def notable(records):
    return [(r.level, r.msg) for r in records if not r.msg.startswith(ROUTINE)]


def check_tracebacks(logs, failure):
    """Only the two lines that carry a traceback have an exception attached: the planted one, or
    any when `failure` is None."""
    for r in logs.records:
        if r.msg.startswith(TRACEBACK_LINES):
            assert r.exc is not None and (failure is None or r.exc is failure), r
        else:
            assert r.exc is None, r


def script(host, *extra):
    events = extra or (text("hello"), tool("browser", "open"), shot(PNG_B64), done())
    host.agent.script(*[host.event(e) for e in events])


def chat(host, chat_id):
    return [t for c, t in host.delivered if c == chat_id], host.photos_sent.count(chat_id)


def leftover_files(temp_dir):
    """Removes and counts the screenshot files that the rules leave behind."""
    names = os.listdir(temp_dir)
    for name in names:
        assert name.endswith(".png")
        os.unlink(os.path.join(temp_dir, name))
    return len(names)


async def two_messages(bridge, host, logs, plant):
    """Starts the bridge, plants the fault, queues two messages and waits until the second is
    answered; when the first message's fault ends the worker, a stop and a start bring a new
    one. Returns the first worker, the notable log lines of the first message, and whether the
    bridge had to be restarted."""
    await bridge.start()
    worker = bridge._worker_task
    handler = host.telegram.handlers[-1]
    logs.records.clear()
    plant()
    await handler("first", {"chat_id": 7, "from_name": "Ann"})
    await handler("second", {"chat_id": 8})
    await until(lambda: chat(host, 8)[0] or worker.done())
    restarted = worker.done()
    if restarted:
        assert bridge.is_running and bridge._queue.qsize() == 1 and not bridge._processing
        await bridge.stop()
        await bridge.start()
        await until(lambda: chat(host, 8)[0])
    await bridge.stop()
    assert (bridge.is_running, bridge._worker_task, bridge._processing) == (False, None, False)
    second = [r.msg for r in logs.records].index("Processing queued message: second")
    return worker, notable(logs.records[:second]), restarted


# --- a fault while a message is handled ------------------------------------------------------------

AGENT_LOOKUP = ([NOT_INITIALIZED], 0, [("ERROR", "Failed to get agent: boom"),
                                       ("ERROR", "Agent not available for Telegram message processing")])
CONNECTOR_LOOKUP = ([], 0, [NO_CONNECTOR, ("ERROR", "Telegram connector not available")])
REPLY_LOOKUP = ([], 1, [SHOT, NO_CONNECTOR, ("ERROR", "Cannot send reply — Telegram connector not available")])
NOTICE_LOST = ([REPLY], 1, [("DEBUG", "Could not broadcast to WebSocket: boom"), SHOT])
MIRROR_LOST = ([REPLY], 1, [SHOT])
RUN_FAILS_AT_ONCE = ([PROCESSING_ERROR + "boom"], 0, [RUN_FAILED])

# point, n-th call counted from the first message, outcome of an Exception (texts that reach
# chat 7, photos it gets, notable log lines), whether the photo went out before the fault
HANDLING = [
    ("import server", 1, AGENT_LOOKUP, False), ("get_state", 1, AGENT_LOOKUP, False),
    ("state.get", 1, AGENT_LOOKUP, False),
    ("import server", 2, CONNECTOR_LOOKUP, False), ("get_state", 2, CONNECTOR_LOOKUP, False),
    ("state.get", 2, CONNECTOR_LOOKUP, False), ("connectors.get", 1, CONNECTOR_LOOKUP, False),
    ("is_configured", 1, CONNECTOR_LOOKUP, False),
    ("connectors.get", 2, REPLY_LOOKUP, True), ("is_configured", 2, REPLY_LOOKUP, True),
    ("send_typing", 1, ([APOLOGY + "boom"], 0, [("ERROR", "Error processing Telegram message: boom")]), False),
    ("import ws", 1, NOTICE_LOST, False), ("broadcast", 1, NOTICE_LOST, False),
    ("import ws", 2, MIRROR_LOST, False), ("broadcast", 2, MIRROR_LOST, False), ("to_dict", 1, MIRROR_LOST, False),
    ("process_message", 1, RUN_FAILS_AT_ONCE, False), ("anext", 1, RUN_FAILS_AT_ONCE, False),
    ("send_typing", 2, ([AFTER_TOOL], 0, [RUN_FAILED]), False),
    ("anext", 4, ([AFTER_TOOL], 1, [SHOT, RUN_FAILED]), True),
    ("send_photo", 1, ([REPLY], 0, [("ERROR", "Failed to send screenshot to Telegram: boom")]), False),
    ("unlink", 1, ([REPLY], 1, [SHOT, ("ERROR", "Failed to send screenshot to Telegram: boom")]), True),
    ("send_message", 1, ([APOLOGY + "boom"], 1, [SHOT, ("ERROR", "Error processing Telegram message: boom")]), True),
]


def _handling_cases():
    for point, nth, outcome, photo_first in HANDLING:
        for mode in ("call", "await") if point in AWAITED else ("call",):
            for kind in KINDS:
                yield pytest.param(point, nth, mode, kind, outcome, photo_first,
                                   id=f"{point}#{nth}-{mode}-{kind}".replace(" ", "_"))


@pytest.mark.parametrize("point, nth, mode, kind, outcome, photo_first", list(_handling_cases()))
def test_fault_while_handling_a_message(run, tb, host, logs, temp_dir, point, nth, mode, kind, outcome, photo_first):
    failure = KINDS[kind]()
    script(host)
    bridge = tb.TelegramBridge()
    worker, first, restarted = run(two_messages(bridge, host, logs,
                                                lambda: host.faults.plant(point, nth, raises=failure, mode=mode)))
    assert host.faults.fired
    assert restarted == (kind != "exception")
    if kind == "exception":
        sent, photos, lines = outcome
    else:  # outside the Exception family: it ends the worker, with no apology and no reply
        sent, photos, lines = [], int(photo_first), [SHOT] if photo_first else []
        if kind == "cancelled":
            assert worker.cancelled()
        else:
            assert worker.exception() is failure
    assert chat(host, 7) == (sent, photos)
    assert first == lines
    assert chat(host, 8) == ([REPLY], 1)
    check_tracebacks(logs, failure)
    assert leftover_files(temp_dir) == (point == "unlink")


class SlicesToInt(str):
    def __getitem__(self, index):
        return 5


class OddTextError(Exception):
    """Its text is a str whose slices are no str, so `prefix + text[:n]` raises TypeError."""

    def __str__(self):
        return SlicesToInt("odd")


NOT_CONCATENABLE = 'can only concatenate str (not "int") to str'


@pytest.mark.parametrize("kind", [*KINDS, "text slicing to int"])
def test_fault_in_the_apology(run, tb, host, logs, kind):
    """The apology after a failed message is sent outside the worker's guard: an Exception there
    is logged and the worker goes on; anything else passes and ends the worker. A failure text
    that cannot be cut and joined fails the apology as the same code in Python would."""
    odd = kind == "text slicing to int"
    failure = None if odd else KINDS[kind]()
    script(host)
    bridge = tb.TelegramBridge()

    def plant():
        host.faults.plant("send_typing", 1, raises=OddTextError() if odd else ConnectionError("typing failed"))
        if not odd:
            host.faults.also("send_message", 1, raises=failure)

    worker, first, restarted = run(two_messages(bridge, host, logs, plant))
    assert restarted == (kind not in ("exception", "text slicing to int"))
    assert host.faults.fired and chat(host, 7) == ([], 0)
    lines = [("ERROR", "Error processing Telegram message: " + ("odd" if odd else "typing failed"))]
    if odd:
        lines.append(("ERROR", "Queue processor error: " + NOT_CONCATENABLE))
    elif kind == "exception":
        lines.append(("ERROR", "Queue processor error: boom"))
    elif kind == "cancelled":
        assert worker.cancelled()
    else:
        assert worker.exception() is failure
    assert first == lines
    assert chat(host, 8) == ([REPLY], 1)
    check_tracebacks(logs, None)


# --- a fault while the bridge starts or stops --------------------------------------------------------

LOOKUPS = ["import server", "get_state", "state.get", "connectors.get", "is_configured"]
STOPPED = ("INFO", "Telegram bridge stopped")
# phase, point, lines after an Exception (None: every kind passes through)
LIFECYCLE = ([("start", p, [NO_CONNECTOR, ("ERROR", "Cannot start Telegram bridge — Telegram connector not available "
                                                   "or not configured")]) for p in LOOKUPS]
             + [("start", "set_message_handler", None), ("start", "tg.start", None)]
             + [("stop", p, [NO_CONNECTOR, STOPPED]) for p in LOOKUPS] + [("stop", "tg.stop", None)])


def _lifecycle_cases():
    for phase, point, lines in LIFECYCLE:
        for mode in ("call", "await") if point in AWAITED else ("call",):
            for kind in KINDS:
                yield pytest.param(phase, point, mode, kind, lines, id=f"{phase}-{point}-{mode}-{kind}".replace(" ", "_"))


@pytest.mark.parametrize("phase, point, mode, kind, lines", list(_lifecycle_cases()))
def test_fault_while_starting_or_stopping(run, tb, host, logs, phase, point, mode, kind, lines):
    failure = KINDS[kind]()
    script(host)
    bridge = tb.TelegramBridge()
    passes = kind != "exception" or lines is None

    async def main():
        if phase == "stop":
            await bridge.start()
            worker = bridge._worker_task
            await until(lambda: ("INFO", "Queue processor started") in logs.lines)
        logs.records.clear()
        host.faults.plant(point, raises=failure, mode=mode)
        operation = bridge.start if phase == "start" else bridge.stop
        if passes:
            with pytest.raises(type(failure)) as info:
                await operation()
            assert info.value is failure
        else:
            assert await operation() is None
        assert host.faults.fired
        assert (bridge.is_running, bridge._worker_task) == (False, None)
        if phase == "stop":
            assert worker.done() and not worker.cancelled() and worker.result() is None
        seen = [(r.level, r.msg) for r in logs.records]
        stops = host.names("tg.stop")
        await bridge.start()  # nothing is left broken
        await host.telegram.handlers[-1]("again", {"chat_id": 8})
        await until(lambda: chat(host, 8)[0])
        await bridge.stop()
        return seen, stops

    seen, stops = run(main)
    if passes:
        registered = phase == "start" and point == "tg.start"
        assert seen == ([("INFO", "Message handler registered")] if registered else [])
    else:
        assert seen == lines
    if phase == "stop" and point != "tg.stop":
        assert stops == []  # no connector found: nothing to stop
    assert chat(host, 8) == ([REPLY], 1)
    check_tracebacks(logs, failure)


# --- odd values from the host --------------------------------------------------------------------------

class Falsy:
    def __bool__(self):
        return False

    @property
    def is_configured(self):
        raise AssertionError("a falsy connector is never asked whether it is configured")


class BadStream:
    def __aiter__(self):
        return self

    def __anext__(self):
        return 5


NO_GET = "'{}' object has no attribute 'get'"
# case: (point, n-th call, value) or a function giving another agent script; texts and photos for
# chat 7; notable lines
ODD = {
    "send result without get": (("send_message", 1, object()), [REPLY, APOLOGY + NO_GET.format("object")], 1,
                                [SHOT, ("ERROR", "Error processing Telegram message: " + NO_GET.format("object"))]),
    "photo result without get": (("send_photo", 1, object()), [REPLY], 1,
                                 [("ERROR", "Failed to send screenshot to Telegram: " + NO_GET.format("object"))]),
    "falsy connector": (("connectors.get", 1, Falsy()), [], 0, [("ERROR", "Telegram connector not available")]),
    "falsy connector for the reply": (("connectors.get", 2, 0), [], 1, [
        SHOT, ("ERROR", "Cannot send reply — Telegram connector not available")]),
    "no connector manager": (("state.get", 2, ""), [], 0, [("ERROR", "Telegram connector not available")]),
    "connector manager without get": (("state.get", 2, 5), [], 0, [
        ("ERROR", "Failed to get Telegram connector: " + NO_GET.format("int")),
        ("ERROR", "Telegram connector not available")]),
    "falsy agent": (("state.get", 1, []), [NOT_INITIALIZED], 0, [
        ("ERROR", "Agent not available for Telegram message processing")]),
    "state without get": (("get_state", 1, object()), [NOT_INITIALIZED], 0, [
        ("ERROR", "Failed to get agent: " + NO_GET.format("object")),
        ("ERROR", "Agent not available for Telegram message processing")]),
    "stream not async-iterable": (("process_message", 1, [1]), [
        PROCESSING_ERROR + "'async for' requires an object with __aiter__ method, got list"], 0, [RUN_FAILED]),
    "__anext__ gives no awaitable": (("process_message", 1, BadStream()), [
        PROCESSING_ERROR + "'async for' received an invalid object from __anext__: int"], 0, [RUN_FAILED]),
    "stream yields a non-event": (("anext", 1, 5), [PROCESSING_ERROR + "'int' object has no attribute 'type'"], 0,
                                  [RUN_FAILED]),
}
for kind in ("text", "tool_call", "tool_result", "error", "done", "other"):
    ignored = kind in ("done", "other")
    ODD[f"{kind} event with list data"] = (
        lambda kind=kind: (text("hello"), AgentEvent(kind, ["x"]), tool("browser", "open")),
        [REPLY if ignored else "hello\n" + PROCESSING_ERROR + NO_GET.format("list")], 0, [] if ignored else [RUN_FAILED])


@pytest.mark.parametrize("case", list(ODD))
def test_odd_values_from_the_host(run, tb, host, logs, case):
    setup, sent, photos, lines = ODD[case]
    planted = isinstance(setup, tuple)
    if planted:
        script(host)
        point, nth, value = setup
        plant = lambda: host.faults.plant(point, nth, returns=value)  # noqa: E731
    else:
        plant = lambda: (script(host, *setup()), host.faults.plant("nothing"))  # noqa: E731
    bridge = tb.TelegramBridge()
    _, first, restarted = run(two_messages(bridge, host, logs, plant))
    assert host.faults.fired or not planted
    assert not restarted  # the same worker went on to the second message
    assert chat(host, 7) == (sent, photos)
    assert first == lines
    check_tracebacks(logs, None)
    assert chat(host, 8)[0] == ([REPLY] if planted else sent)
