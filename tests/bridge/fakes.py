"""A fake Kavori host for driving the bridge: server state, connector manager, Telegram
connector, agent and WebSocket manager.

Every fake records each call it receives in the one ordered list `Host.calls`, so a test can
check the order of calls across components. Each awaitable operation (`Op`) can be told to raise
(`fail`), to answer with another result (`result`), or to wait until released (`hold`), and every
one of them is a real suspension point of the event loop.
"""

import asyncio
import contextlib
import logging
import os
import shutil
import sys
import tempfile
import types
from pathlib import Path
from typing import NamedTuple

# The checkout, where the module's traceback entries and log records point.
REPO_ROOT = Path(__file__).resolve().parents[2]
MISSING = object()


class Call(NamedTuple):
    name: str
    args: tuple
    kwargs: dict


class Op:
    """One awaitable host operation."""

    def __init__(self, host, name, result=None):
        self.host, self.name, self.result = host, name, result
        self.error = None
        self.gate = None
        self.entered = asyncio.Event()
        self.on_call = None
        self.count = 0
        self.fail_calls = {}

    def fail(self, exc, *, call=None):
        """Raise `exc` when awaited: on every call, or only on the `call`-th one (from 1)."""
        if call is None:
            self.error = exc
        else:
            self.fail_calls[call] = exc
        return self

    def hold(self):
        self.gate = asyncio.Event()
        return self.gate

    def __call__(self, *args, **kwargs):
        self.host.record(self.name, *args, **kwargs)
        self.count += 1
        if self.on_call is not None:
            self.on_call(*args, **kwargs)
        return self._answer(self.fail_calls.get(self.count, self.error))

    async def _answer(self, error):
        await self.host.checkpoint(self.name)
        self.entered.set()
        if self.gate is not None:
            await self.gate.wait()
        if error is not None:
            raise error
        return self.result


class Photo(NamedTuple):
    """What the connector found on disk at the moment send_photo was called."""
    path: str
    data: bytes | None
    mode: int | None
    open_fds: int


def open_fds_on(path):
    """How many file descriptors of this process refer to `path`."""
    real = os.path.realpath(path)
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == real:
                count += 1
        except OSError:
            pass
    return count


class FakeTelegram:
    """The host's TelegramConnector."""

    def __init__(self, host, *, chat_id=555, configured=True, truthy=True):
        self._host = host
        self.default_chat = chat_id
        self.configured = configured
        self.truthy = truthy
        self.handlers = []
        self.handler_error = None
        self.start = Op(host, "tg.start")
        self.stop = Op(host, "tg.stop")
        self.send_typing = Op(host, "tg.send_typing")
        self.send_message = Op(host, "tg.send_message", {"success": True, "message_ids": [101]})
        self.send_photo = Op(host, "tg.send_photo", {"success": True, "message_ids": [102]})
        self.send_photo.on_call = self._look_at_photo
        self.photos = []
        self.removes_photo = False

    def __bool__(self):
        return bool(self.truthy)

    @property
    def is_configured(self):
        self._host.record("tg.is_configured")
        if self.configured is MISSING:
            raise AttributeError("'FakeTelegram' object has no attribute 'is_configured'")
        return self.configured

    @property
    def _chat_id(self):
        self._host.record("tg._chat_id")
        if self.default_chat is MISSING:
            raise AttributeError("'FakeTelegram' object has no attribute '_chat_id'")
        return self.default_chat

    def set_message_handler(self, handler):
        self._host.record("tg.set_message_handler", handler)
        self.handlers.append(handler)
        if self.handler_error is not None:
            raise self.handler_error

    def _look_at_photo(self, path, *args, **kwargs):
        if os.path.exists(path):
            with open(path, "rb") as f:
                data = f.read()
            self.photos.append(Photo(path, data, os.stat(path).st_mode & 0o777, open_fds_on(path)))
            if self.removes_photo:
                os.unlink(path)
        else:
            self.photos.append(Photo(path, None, None, 0))


class AgentEvent:
    def __init__(self, type, data=None, *, dict_error=None):
        self.type = type
        self.data = {} if data is None else data
        self.dict_error = dict_error
        self.as_dict = {"type": type, "data": self.data}

    def to_dict(self):
        if self.dict_error is not None:
            raise self.dict_error
        return self.as_dict

    def __repr__(self):
        return f"AgentEvent({self.type!r}, {self.data!r})"


def text(content):
    return AgentEvent("text", {"content": content})


def tool(name=MISSING, operation=MISSING, *, arguments=MISSING):
    data = {}
    if name is not MISSING:
        data["tool"] = name
    if operation is not MISSING:
        data["arguments"] = {"operation": operation}
    if arguments is not MISSING:
        data["arguments"] = arguments
    return AgentEvent("tool_call", data)


def shot(image_base64, flag=True):
    return AgentEvent("tool_result", {"screenshot": flag, "image_base64": image_base64})


def error(message=MISSING):
    return AgentEvent("error", {} if message is MISSING else {"message": message})


def done():
    return AgentEvent("done", {"summary": "finished"})


class _Stream:
    """The agent's event stream for one message."""

    def __init__(self, agent):
        self.agent, self.index = agent, 0

    def __aiter__(self):
        return self

    async def __anext__(self):
        agent, i = self.agent, self.index
        self.index += 1
        await agent.host.checkpoint("agent.next")
        agent.host.record("agent.next", i)
        if i in agent.gates:
            await agent.gates[i].wait()
        if agent.fail_at == i:
            raise agent.error
        if i >= len(agent.events):
            raise StopAsyncIteration
        return agent.events[i]


class FakeAgent:
    """The agent: `process_message(text)` yields the scripted events, one request at a time.

    `fail_at=i` raises `error` on the i-th request for an event (i == len(events): at the end);
    `hold(i)` suspends the i-th request until the returned event is set.
    """

    def __init__(self, host, events=()):
        self.host = host
        self.events = list(events)
        self.fail_at = None
        self.error = None
        self.call_error = None
        self.stream = MISSING
        self.gates = {}

    def script(self, *events, fail_at=None, error=None):
        self.events, self.fail_at, self.error = list(events), fail_at, error
        return self

    def hold(self, i):
        self.gates[i] = asyncio.Event()
        return self.gates[i]

    def process_message(self, text):
        self.host.record("agent.process_message", text)
        if self.call_error is not None:
            raise self.call_error
        if self.stream is not MISSING:
            return self.stream
        return _Stream(self)


class Getter:
    """The server state or the connector manager: `get(key)` over a dict."""

    def __init__(self, host, name, items):
        self.host, self.name, self.items, self.error = host, name, items, None

    def get(self, key):
        self.host.record(self.name, key)
        if self.error is not None:
            raise self.error
        return self.items.get(key)


class FakeWebSocketManager:
    def __init__(self, host):
        self.broadcast = Op(host, "ws.broadcast")


class Host:
    def __init__(self):
        self.calls = []
        self.telegram = FakeTelegram(self)
        self.agent = FakeAgent(self)
        self.ws = FakeWebSocketManager(self)
        self.connectors = Getter(self, "connectors.get", {"telegram": self.telegram})
        self.state = Getter(self, "state.get", {"connector_manager": self.connectors, "agent": self.agent})
        self.state_error = None
        self.server = types.ModuleType("kavori.gateway.server")
        self.server.get_state = self.get_state
        self.ws_module = types.ModuleType("kavori.gateway.ws")
        self.ws_module.manager = self.ws
        self.points = 0
        self.trap_at = None
        self.trapped = asyncio.Event()
        self.trapped_in = None
        self.suspends = True  # False: every host operation completes without yielding

    def get_state(self):
        self.record("get_state")
        if self.state_error is not None:
            raise self.state_error
        return self.state

    def record(self, name, *args, **kwargs):
        self.calls.append(Call(name, args, kwargs))

    def names(self, *prefixes):
        return [c.name for c in self.calls if not prefixes or c.name.startswith(prefixes)]

    def of(self, name):
        return [c for c in self.calls if c.name == name]

    def sent(self):
        """Texts passed to send_message, in order."""
        return [c.args[0] for c in self.of("tg.send_message")]

    async def checkpoint(self, name):
        """Every awaited host operation passes here: counts it, and the `trap_at`-th one never
        returns (it waits to be cancelled). Otherwise it yields to the loop once, unless the host
        was told not to suspend at all."""
        self.points += 1
        if self.points == self.trap_at:
            self.trapped_in = name
            self.trapped.set()
            await asyncio.Event().wait()
        if self.suspends:
            await asyncio.sleep(0)


class Line(NamedTuple):
    level: str
    msg: object
    exc: BaseException | None
    current: BaseException | None


class LogCapture(logging.Handler):
    """Records (level, message, attached exception, exception current at the call) per line.
    A line logged with arguments or a non-string message is kept as a marker tuple, so it never
    equals a finished string."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        msg = record.msg if isinstance(record.msg, str) and not record.args else ("UNFINISHED", record.msg, record.args)
        exc = record.exc_info[1] if record.exc_info else None
        self.records.append(Line(record.levelname, msg, exc, sys.exc_info()[1]))

    @property
    def lines(self):
        return [(r.level, r.msg) for r in self.records]

    def messages(self, level=None):
        return [r.msg for r in self.records if level is None or r.level == level]


class FastAsyncio(types.ModuleType):
    """Stands in for the module's `asyncio`: everything is the real asyncio, except that
    `wait_for` records the timeout it was asked for and waits `timeout` seconds instead, and
    `sleep` records its delay and only yields once (or, with `held_sleeps` set to an event, waits
    for it when the delay is not zero)."""

    def __init__(self, timeout):
        super().__init__("asyncio")
        self.timeout = timeout
        self.timeouts = []
        self.sleeps = []
        self.held_sleeps = None

    def __getattr__(self, name):
        return getattr(asyncio, name)

    def wait_for(self, aw, timeout):
        self.timeouts.append(timeout)
        return asyncio.wait_for(aw, self.timeout)

    def sleep(self, delay, result=None):
        self.sleeps.append(delay)
        if delay and self.held_sleeps is not None:
            return self.held_sleeps.wait()
        return asyncio.sleep(0, result)


async def until(predicate, limit=10.0):
    """Lets the loop run until `predicate()` holds; fails after `limit` seconds."""
    loop = asyncio.get_running_loop()
    end = loop.time() + limit
    while not predicate():
        if loop.time() > end:
            raise AssertionError("condition not reached in time")
        await asyncio.sleep(0.001)


@contextlib.contextmanager
def captured_logs(logger_name: str = "kavori.connectors.telegram_bridge"):
    """Records every line of the module's logger, at every level, while the block runs."""
    logger = logging.getLogger(logger_name)
    capture = LogCapture()
    old_level = logger.level
    logger.setLevel(logging.DEBUG)
    logger.addHandler(capture)
    try:
        yield capture
    finally:
        logger.removeHandler(capture)
        logger.setLevel(old_level)


@contextlib.contextmanager
def empty_temp_dir(monkeypatch, prefix: str):
    """Points the temporary directory at a new empty folder that must be empty again at the end:
    no screenshot file may be left behind. (Made with mkdtemp: pytest's tmp_path keeps state per
    call, which the reference-leak check would report.)"""
    folder = tempfile.mkdtemp(prefix=prefix)
    monkeypatch.setattr(tempfile, "tempdir", folder)
    try:
        yield folder
        assert os.listdir(folder) == []
    finally:
        shutil.rmtree(folder, ignore_errors=True)
