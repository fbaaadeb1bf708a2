"""One message through the agent: guards, the WebSocket mirror, the event rules and the reply."""

import asyncio
import base64
import os
import sys
import traceback

import pytest

from reliability.model import DONE, NO_ANSWER, PROCESSING_ERROR, reply

from . import fakes
from .fakes import REPO_ROOT, AgentEvent, Call, FakeWebSocketManager, done, error, shot, text, tool, until

pytestmark = pytest.mark.leakcheck

NO_AGENT = "⚠️ Kavori agent is not initialized. Please check the web UI and ensure an API key is configured."
PNG_B64 = base64.b64encode(b"\x89PNG\r\n\x1a\n-image-").decode()
LOOKUPS = ("get_state", "state.get", "connectors.get", "tg.is_configured")


def handle(run, bridge, message="hi", metadata=None):
    metadata = {"chat_id": 42, "from_name": "Ann"} if metadata is None else metadata
    run(bridge._handle_message(message, metadata))
    return metadata


def traffic(host):
    """The calls that reach the chat, the WebSocket clients and the agent, in order."""
    return [c for c in host.calls if not c.name.startswith(LOOKUPS)]


def test_worked_example(run, bridge, host, logs):
    events = [text("Opened the page."), text("All set.\n"), tool("browser", "open"), tool("memory", "save"),
              tool("shell")]
    host.agent.script(*events)
    metadata = handle(run, bridge, "open the page")
    composed = "Opened the page.\nAll set.\n\n📋 Actions:\n🔧 browser.open\n🔧 shell"
    typing = Call("tg.send_typing", (), {"chat_id": 42})
    notice = {"type": "telegram_message", "content": "📱 **Telegram** (Ann): open the page", "source": "telegram"}
    expected = [typing, Call("ws.broadcast", (notice,), {}), Call("agent.process_message", ("open the page",), {})]
    for i, event in enumerate(events):
        expected += [Call("agent.next", (i,), {}), Call("ws.broadcast", (event.as_dict,), {})]
        if event.data.get("tool") in ("browser", "shell"):
            expected.append(typing)
    expected += [Call("agent.next", (5,), {}), Call("tg.send_message", (composed,), {"chat_id": 42, "parse_mode": ""})]
    assert traffic(host) == expected
    broadcasts = [c.args[0] for c in host.of("ws.broadcast")]
    assert list(broadcasts[0]) == ["type", "content", "source"]
    assert all(sent is event.as_dict for sent, event in zip(broadcasts[1:], events))
    assert host.calls[:4] == [Call("get_state", (), {}), Call("state.get", ("agent",), {}),
                              Call("get_state", (), {}), Call("state.get", ("connector_manager",), {})]
    assert metadata == {"chat_id": 42, "from_name": "Ann"}
    assert logs.lines == [
        ("INFO", "Sending message to agent for processing..."),
        ("DEBUG", "Agent text: Opened the page."),
        ("DEBUG", "Agent text: All set.\n"),
        ("DEBUG", "Agent tool call: 🔧 browser.open"),
        ("DEBUG", "Agent tool call: 🔧 shell"),
        ("INFO", f"Sending reply to Telegram ({len(composed)} chars)"),
        ("INFO", "Reply sent to Telegram (msg_ids=[101])"),
    ]


@pytest.mark.parametrize("agent, connector", [(None, False), (None, True), ("falsy", True), ("present", False)])
def test_missing_agent_or_connector(run, bridge, host, logs, agent, connector):
    if agent is None:
        del host.state.items["agent"]
    elif agent == "falsy":
        host.state.items["agent"] = ""
    if not connector:
        host.telegram.configured = False
    handle(run, bridge)
    assert host.names("get_state", "state.get")[:4] == ["get_state", "state.get", "get_state", "state.get"]
    assert host.of("state.get")[0].args == ("agent",)  # both lookups happen, the agent's first
    assert host.of("agent.process_message") == [] and host.of("tg.send_typing") == [] and host.of("ws.broadcast") == []
    if agent == "present":
        assert logs.lines == [("ERROR", "Telegram connector not available")]
        assert host.sent() == []
    elif connector:
        assert logs.lines == [("ERROR", "Agent not available for Telegram message processing"),
                              ("INFO", "Reply sent to Telegram (msg_ids=[101])")]
        assert host.of("tg.send_message") == [Call("tg.send_message", (NO_AGENT,), {"chat_id": 42, "parse_mode": ""})]
    else:
        assert logs.lines == [("ERROR", "Agent not available for Telegram message processing"),
                              ("ERROR", "Cannot send reply — Telegram connector not available")]


@pytest.mark.parametrize("metadata, sender, typing_chat, reply_chat", [
    ({"from_name": "Bob"}, "Bob", None, 555),
    ({"chat_id": 3, "from_name": None}, "None", 3, 3),
    ({"chat_id": "7"}, "User", "7", "7"),
    ({"chat_id": 8, "from_name": "Zoë"}, "Zoë", 8, 8),  # characters of every width in one notice
    ({"chat_id": 9, "from_name": "Дима"}, "Дима", 9, 9),
])
def test_typing_and_notice_follow_the_metadata(run, bridge, host, metadata, sender, typing_chat, reply_chat):
    host.agent.script(text("ok"))
    handle(run, bridge, "multi\nline ✓", metadata)
    assert host.of("tg.send_typing") == [Call("tg.send_typing", (), {"chat_id": typing_chat})]
    assert host.of("ws.broadcast")[0].args[0] == {
        "type": "telegram_message", "content": f"📱 **Telegram** ({sender}): multi\nline ✓", "source": "telegram"}
    assert host.of("tg.send_message")[0].kwargs["chat_id"] == reply_chat


@pytest.mark.parametrize("failure", ["module missing", "notice fails", "every broadcast fails", "to_dict fails"])
def test_websocket_failures_never_stop_the_handling(run, bridge, host, logs, monkeypatch, failure):
    events = [text("one"), text("two")]
    if failure == "module missing":
        monkeypatch.setitem(sys.modules, "kavori.gateway.ws", None)
    elif failure == "notice fails":
        host.ws.broadcast.fail(ConnectionError("socket closed"), call=1)
    elif failure == "every broadcast fails":
        host.ws.broadcast.fail(ConnectionError("socket closed"))
    else:
        events[0] = AgentEvent("text", {"content": "one"}, dict_error=ValueError("no dict"))
    host.agent.script(*events)
    handle(run, bridge)
    assert host.sent() == ["one\ntwo"]
    expected = {"module missing": "import of kavori.gateway.ws halted; None in sys.modules",
                "notice fails": "socket closed", "every broadcast fails": "socket closed"}
    notice = [("DEBUG", f"Could not broadcast to WebSocket: {expected[failure]}")] if failure in expected else []
    # The incoming notice's failure is one DEBUG line; an event's failed mirror adds no line at
    # any level (the hosts' guide says so).
    assert logs.lines == [*notice, ("INFO", "Sending message to agent for processing..."),
                          ("DEBUG", "Agent text: one"), ("DEBUG", "Agent text: two"),
                          ("INFO", "Sending reply to Telegram (7 chars)"),
                          ("INFO", "Reply sent to Telegram (msg_ids=[101])")]
    if failure == "to_dict fails":
        assert [c.args[0] for c in host.of("ws.broadcast")][1:] == [events[1].as_dict]


def test_websocket_manager_is_imported_at_every_broadcast(run, bridge, host):
    other = FakeWebSocketManager(host)
    other.broadcast.name = "ws2.broadcast"
    host.ws.broadcast.on_call = lambda message: setattr(host.ws_module, "manager", other)
    host.agent.script(text("a"), text("b"))
    handle(run, bridge)
    assert host.names("ws") == ["ws.broadcast", "ws2.broadcast", "ws2.broadcast"]


class Boom(Exception):
    pass


def _typing_fails_on_refresh(host):
    host.telegram.send_typing.fail(ConnectionError("typing failed"), call=2)


# case: setup(host), expected reply, agent event requests made
STREAM_FAILURES = {
    "process_message raises": (lambda h: setattr(h.agent, "call_error", Boom("agent down")),
                               "⚠️ Processing error: agent down", 0),
    "empty error text": (lambda h: setattr(h.agent, "call_error", Boom()), "⚠️ Processing error:", 0),
    "long error text": (lambda h: setattr(h.agent, "call_error", Boom("é" * 299 + "✂" + "z" * 50)),
                        "⚠️ Processing error: " + "é" * 299 + "✂", 0),
    "not async-iterable": (lambda h: setattr(h.agent, "stream", ["text"]), None, 0),
    "stream fails at once": (lambda h: h.agent.script(text("x"), fail_at=0, error=Boom("no stream")),
                             "⚠️ Processing error: no stream", 1),
    "stream fails after events": (
        lambda h: h.agent.script(text("Part one"), tool("browser", "open"), text("lost"), fail_at=2,
                                 error=Boom("connection lost")),
        reply("Part one", PROCESSING_ERROR + "connection lost", actions=["🔧 browser.open"]), 3),
    "arguments not a mapping": (
        lambda h: h.agent.script(text("A"), tool("x", arguments=None), text("never")),
        "A\n⚠️ Processing error: 'NoneType' object has no attribute 'get'", 2),
    "typing refresh raises": (
        lambda h: (h.agent.script(tool("browser", "open"), text("never")), _typing_fails_on_refresh(h)),
        reply(PROCESSING_ERROR + "typing failed", actions=["🔧 browser.open"]), 1),
    "screenshot argument not a string": (
        lambda h: h.agent.script(shot(b"bytes"), text("never")),
        "⚠️ Processing error: Argument 'image_base64' has incorrect type (expected str, got bytes)", 1),
}


@pytest.mark.parametrize("case", list(STREAM_FAILURES))
def test_agent_run_failures_become_a_reply_line(run, bridge, host, logs, case):
    setup, expected, requests = STREAM_FAILURES[case]
    setup(host)
    handle(run, bridge)
    [sent] = host.sent()
    if expected is None:
        assert sent.startswith("⚠️ Processing error: ") and "\n" not in sent
    else:
        assert sent == expected
    assert len(host.of("agent.next")) == requests
    [failure] = [r for r in logs.records if r.exc is not None]
    assert (failure.level, failure.msg) == ("ERROR", "Agent processing failed for Telegram message")
    assert failure.current is failure.exc  # logged while the agent's exception is the one being handled
    if case in ("process_message raises", "empty error text", "stream fails after events"):
        assert failure.exc is (host.agent.call_error or host.agent.error)
    assert logs.lines[-2:] == [("INFO", f"Sending reply to Telegram ({len(sent)} chars)"),
                               ("INFO", "Reply sent to Telegram (msg_ids=[101])")]


class EndsAtTheCall:
    """An agent stream whose __anext__ is a plain method that ends the stream by raising
    StopAsyncIteration itself, instead of from the awaitable it returns."""

    def __init__(self, events):
        self.events = list(events)

    def __aiter__(self):
        return self

    def __anext__(self):
        if not self.events:
            raise StopAsyncIteration
        return asyncio.sleep(0, self.events.pop(0))


def test_a_stream_ending_at_the_anext_call_gives_the_normal_reply(run_any, bridge, host, logs):
    host.agent.stream = EndsAtTheCall([text("Hello"), tool("browser", "open"), done()])
    handle(run_any, bridge)
    assert host.sent() == [reply("Hello", actions=["🔧 browser.open"])]
    assert [r for r in logs.records if r.exc is not None] == []


@pytest.mark.parametrize("content", [5, ["a", "b"]], ids=["not sliceable", "sliceable"])
def test_non_string_text_content_leaves_the_handler(run, bridge, host, logs, content):
    host.agent.script(text(content), text("more"))
    with pytest.raises(TypeError):
        handle(run, bridge)
    assert host.sent() == []
    if content == 5:  # the debug line fails: the run ends there
        assert len(host.of("agent.next")) == 1
        assert [r.msg for r in logs.records if r.exc is not None] == ["Agent processing failed for Telegram message"]
    else:
        assert ("DEBUG", "Agent text: ['a', 'b']") in logs.lines and len(host.of("agent.next")) == 3


@pytest.mark.parametrize("count", [8, 9, 20])
def test_actions_section_lists_at_most_eight(run, bridge, host, count):
    host.agent.script(*[tool(f"t{i}") for i in range(count)])
    handle(run, bridge)
    listed = "\n".join(f"🔧 t{i}" for i in range(min(count, 8)))
    more = f"\n... and {count - 8} more" if count > 8 else ""
    assert host.sent() == ["✅ Done!\n\n📋 Actions:\n" + listed + more]
    assert len(host.of("tg.send_typing")) == count + 1


def test_tool_call_summaries(run, bridge, host, logs):
    host.agent.script(tool("plan", "x"), tool("memory"), tool("Plan"), tool("planner", "make"), tool(),
                      tool("a", ""), tool("b", None), tool("c", arguments={}), tool("d", 5), tool(7, "run"))
    handle(run, bridge)
    summaries = ["🔧 Plan", "🔧 planner.make", "🔧 ", "🔧 a", "🔧 b", "🔧 c", "🔧 d.5", "🔧 7.run"]
    assert host.sent() == [reply(actions=summaries)]
    assert [m for m in logs.messages("DEBUG")] == ["Agent tool call: " + s for s in summaries]
    assert len(host.of("tg.send_typing")) == 1 + len(summaries)


@pytest.mark.parametrize("events, expected", [
    ([], NO_ANSWER),
    ([text("  "), text("\n\t")], NO_ANSWER),
    ([text(" \n"), tool("t")], "✅ Done!\n\n📋 Actions:\n🔧 t"),
    ([text("  a  "), text(" b \n")], "a  \n b"),
    ([error()], "⚠️ Unknown error"),
    ([error(404), error(None), text("after")], "⚠️ 404\n⚠️ None\nafter"),
    ([text("a"), done(), text("b")], "a\nb"),
    ([AgentEvent("thinking", {"content": "hidden"}), AgentEvent("text", {}), AgentEvent("text", {"content": ""})],
     NO_ANSWER),
    ([shot(PNG_B64, flag=False), shot("", flag=True), shot(PNG_B64, flag=0)], NO_ANSWER),
])
def test_reply_composition(run, bridge, host, events, expected):
    host.agent.script(*events)
    handle(run, bridge)
    assert host.sent() == [expected]
    assert len(host.of("ws.broadcast")) == 1 + len(events)  # every event is mirrored
    assert host.of("tg.send_photo") == []


def test_event_log_lines_and_code_point_cut_offs(run, bridge, host, logs):
    long_text = "é" * 99 + "✅" + "x" * 50
    host.agent.script(text(long_text), error("quota ✗"), done(), error())
    handle(run, bridge)
    composed = reply(long_text, "⚠️ quota ✗", "⚠️ Unknown error")
    assert host.sent() == [composed]
    assert logs.lines == [
        ("INFO", "Sending message to agent for processing..."),
        ("DEBUG", "Agent text: " + "é" * 99 + "✅"),
        ("WARNING", "Agent error event: quota ✗"),
        ("INFO", "Agent processing complete"),
        ("WARNING", "Agent error event: Unknown error"),
        ("INFO", f"Sending reply to Telegram ({len(composed)} chars)"),
        ("INFO", "Reply sent to Telegram (msg_ids=[101])"),
    ]


@pytest.mark.parametrize("delivered", [True, False])
def test_screenshots_reach_the_chat_before_the_reply(run, bridge, host, logs, delivered):
    if not delivered:
        host.telegram.send_photo.result = {"success": False, "message": "Bad Request"}
    host.agent.script(shot(PNG_B64), shot(PNG_B64))
    handle(run, bridge)
    assert host.names("tg.send") == ["tg.send_typing", "tg.send_photo", "tg.send_photo", "tg.send_message"]
    assert all(c.kwargs == {"caption": "📸 Screenshot", "chat_id": 42} for c in host.of("tg.send_photo"))
    assert host.sent() == [reply(photos=2 if delivered else 0)]
    if delivered:
        assert ("INFO", "Sending reply to Telegram (7 chars)") in logs.lines


def test_a_slow_broadcast_delays_the_next_event_request(run, bridge, host):
    first = text("first")
    host.agent.script(first, text("second"))
    release = asyncio.Event()

    async def broadcast(message):
        host.record("ws.broadcast", message)
        if message is first.as_dict:
            await release.wait()

    host.ws.broadcast = broadcast

    async def main():
        task = asyncio.create_task(bridge._handle_message("hi", {"chat_id": 1}))
        await until(lambda: len(host.of("ws.broadcast")) == 2)
        for _ in range(20):
            await asyncio.sleep(0)
        assert [c.args for c in host.of("agent.next")] == [(0,)]
        release.set()
        await task

    run(main)
    assert [c.args for c in host.of("agent.next")] == [(0,), (1,), (2,)]
    assert host.sent() == ["first\nsecond"]


@pytest.mark.parametrize("where", ["subclass", "instance"])
def test_overridden_operations_are_used(run, tb, host, logs, where):
    """An override of an operation the bridge awaits on itself, on a subclass or on the instance,
    is called in place of the module's own."""
    seen = []

    def recording(kind, result=None):
        async def operation(*args, **kwargs):
            seen.append((kind, args[1:] if isinstance(args[0], tb.TelegramBridge) else args, kwargs))
            if isinstance(result, Exception):
                raise result
            return result
        return operation

    overrides = {"_handle_message": recording("handle", RuntimeError("boom")),
                 "_send_screenshot": recording("shot", True), "_send_reply": recording("reply")}
    if where == "subclass":
        bridge = type("Bridge", (tb.TelegramBridge,), overrides)()
    else:
        bridge = tb.TelegramBridge()
        for name, operation in overrides.items():
            setattr(bridge, name, operation)
    host.agent.script(shot(PNG_B64))
    metadata = {"chat_id": 8}

    async def main():
        bridge._running = True
        worker = asyncio.create_task(bridge._process_queue())
        await bridge._on_telegram_message("hi", metadata)
        await until(lambda: len(seen) == 2 and not bridge._processing)
        worker.cancel()
        await worker
        await tb.TelegramBridge._handle_message(bridge, "hi", metadata)

    run(main)
    assert seen == [("handle", ("hi", metadata), {}), ("reply", ("⚠️ Sorry, I encountered an error:\nboom", metadata), {}),
                    ("shot", (PNG_B64, 8, host.telegram), {}), ("reply", (DONE, metadata), {})]
    assert seen[0][1][1] is metadata and seen[3][1][1] is metadata
    assert host.of("tg.send_photo") == [] and host.sent() == []
    assert ("ERROR", "Error processing Telegram message: boom") in logs.lines


# --- tracebacks ----------------------------------------------------------------------------------


def _no_data(host):
    event = text("x")
    event.data = None
    host.agent.script(event)


# case: setup(host), the qualified names of the module's entries from the outside in (a prefix of
# them: named steps may follow), a word on the source line of the innermost module entry, and
# whether Python code of the host raised it (its entries then follow the module's)
TRACEBACK_CASES = {
    "event data is None": (_no_data, ["TelegramBridge._handle_message"], "content", False),
    "content cannot be sliced": (lambda h: h.agent.script(text(5)), ["TelegramBridge._handle_message"], "head(",
                                 False),
    "result not async-iterable": (lambda h: setattr(h.agent, "stream", 5), ["TelegramBridge._handle_message"],
                                  "async_iter", False),
    "arguments not a mapping": (lambda h: h.agent.script(tool("x", arguments=None)),
                                ["TelegramBridge._handle_message"], "operation", False),
    "bytes screenshot": (lambda h: h.agent.script(shot(b"bytes")),
                         ["TelegramBridge._handle_message"], "_send_screenshot", False),
    "host stream fails": (lambda h: h.agent.script(text("x"), fail_at=0, error=Boom("no stream")),
                          ["TelegramBridge._handle_message"], "anext", True),
    "reply cannot be composed": (lambda h: h.agent.script(text(["a", "b"])),
                                 ["TelegramBridge._process_queue", "TelegramBridge._handle_message"],
                                 "compose_reply", False),
    "screenshot called directly": (None, ["TelegramBridge._send_screenshot"], "_send_screenshot", False),
    "message handled directly": (_no_data, ["TelegramBridge._handle_message"], "content", False),
}
# The function whose body defines each step: a step's entry is named after it, whichever coroutine
# runs the step (the worker's, or one a host made by calling that function).
STEP_DEFINED_IN = {"run_agent": "_handle_message", "broadcast_notice": "_handle_message",
                   "take_and_handle": "_process_queue", "handle_item": "_process_queue",
                   "run_handler": "_process_queue", "pause": "_process_queue",
                   "deliver_screenshot": "_send_screenshot", "send_photo": "_send_screenshot"}


@pytest.mark.parametrize("case", list(TRACEBACK_CASES))
def test_errors_carry_a_traceback_entry_per_module_function(run, bridge, host, logs, case):
    setup, outer_names, word, from_host = TRACEBACK_CASES[case]
    if setup is None:
        async def call():
            return await bridge._send_screenshot(b"x", 1, host.telegram)

        with pytest.raises(TypeError) as info:
            run(call)
        exc = info.value
    elif case == "message handled directly":
        setup(host)
        run(bridge._handle_message("hi", {"chat_id": 1}))
        exc = next(r.exc for r in logs.records if r.exc is not None)
    else:
        setup(host)

        async def main():
            bridge._running = True
            worker = asyncio.create_task(bridge._process_queue())
            await bridge._on_telegram_message("hi", {"chat_id": 1})
            await until(lambda: host.sent() and not bridge._processing)
            worker.cancel()
            await worker

        run(main)
        exc = next(r.exc for r in logs.records if r.exc is not None)  # the first failure
    formatted = "".join(traceback.format_exception(exc))
    assert formatted.startswith("Traceback (most recent call last):\n"), formatted
    entries = traceback.extract_tb(exc.__traceback__)
    ours = [i for i, e in enumerate(entries) if e.filename.endswith(".cpp")]
    assert ours and ours == list(range(ours[0], ours[-1] + 1)), formatted  # one block
    module_entries = [entries[i] for i in ours]
    names = [e.name for e in module_entries]
    assert len(set(names)) == len(names), formatted  # one entry per function
    # Each operation's entry, or those of its named steps ("TelegramBridge.op.step").
    operations = [".".join(name.split(".")[:2]) for name in names]
    operations = [op for i, op in enumerate(operations) if i == 0 or operations[i - 1] != op]
    assert operations[:len(outer_names)] == outer_names, formatted
    steps = [name.split(".") for name in names if name.count(".") == 2]
    assert (steps or setup is None) and all(op == STEP_DEFINED_IN[step] for _, op, step in steps), formatted
    for entry in module_entries:
        # Named relative to the project root, and pointing at a line of that function's file.
        assert not os.path.isabs(entry.filename) and entry.filename.startswith("connectors/"), formatted
        lines = (REPO_ROOT / entry.filename).read_text(encoding="utf-8").splitlines()
        assert 0 < entry.lineno <= len(lines) and lines[entry.lineno - 1].strip(), formatted
    innermost = module_entries[-1]
    assert word in (REPO_ROOT / innermost.filename).read_text(encoding="utf-8").splitlines()[innermost.lineno - 1]
    host_entries = entries[ours[-1] + 1:]
    assert bool(host_entries) == from_host, formatted
    assert all(e.filename == fakes.__file__ for e in host_entries), formatted
