"""The fake host of tests/bridge, extended so that any one host call can be made to fail or to
answer with an odd value: the n-th call of a named point raises a given exception (at the call,
or when its awaitable is awaited) or returns a given value instead of its own.

Points: "import server" (`from kavori.gateway.server import get_state`), "get_state",
"state.get", "connectors.get", "is_configured", "set_message_handler", "tg.start", "tg.stop",
"send_typing", "import ws" (`from kavori.gateway.ws import manager`), "broadcast", "to_dict",
"process_message", "anext" (the stream's __anext__), "send_message", "send_photo" and "unlink"
(the removal through the module's `Path`).

`delivered` and `photos_sent` hold what the connector completed: (chat id, text) and chat ids;
`ops` the connector's own operations (fakes.Op) by name.
"""

import asyncio
import types
from typing import NamedTuple

from bridge import fakes

MISSING = fakes.MISSING


class Fault(NamedTuple):
    point: str
    nth: int
    raises: BaseException | None
    mode: str  # "call" or "await": where an awaited operation raises
    returns: object


class Faults:
    def __init__(self):
        self.counts = {}
        self.planted = []
        self.fired = False

    def plant(self, point, nth=1, *, raises=None, mode="call", returns=MISSING):
        """Counting starts afresh: `nth` counts the calls of `point` from now on."""
        self.counts, self.fired = {}, False
        self.planted = [Fault(point, nth, raises, mode, returns)]

    def also(self, point, nth=1, *, raises=None, mode="call", returns=MISSING):
        """A second fault, counted like the first."""
        self.planted.append(Fault(point, nth, raises, mode, returns))

    def at(self, point):
        """Counts one call of `point`; returns the planted fault when this call is its target."""
        n = self.counts[point] = self.counts.get(point, 0) + 1
        for fault in self.planted:
            if fault.point == point and fault.nth == n:
                self.fired = True
                return fault
        return None


def sync_point(faults, point, real):
    def call(*args, **kwargs):
        fault = faults.at(point)
        if fault is not None and fault.raises is not None:
            raise fault.raises
        result = real(*args, **kwargs)
        return result if fault is None or fault.returns is MISSING else fault.returns

    return call


def async_point(faults, point, real):
    def call(*args, **kwargs):
        fault = faults.at(point)
        if fault is not None and fault.raises is not None and fault.mode == "call":
            raise fault.raises
        awaitable = real(*args, **kwargs)
        return awaitable if fault is None else _faulty(awaitable, fault)

    return call


async def _faulty(awaitable, fault):
    if fault.raises is not None:
        await asyncio.sleep(0)
        awaitable.close()  # the host never got to do the work
        raise fault.raises
    result = await awaitable
    return result if fault.returns is MISSING else fault.returns


def _module(name, attribute, value, faults, point):
    """A host module whose `attribute` goes through the fault point, so that the import of that
    name can fail."""

    def get(module):
        fault = faults.at(point)
        if fault is not None and fault.raises is not None:
            raise fault.raises
        return value if fault is None or fault.returns is MISSING else fault.returns

    return type("HostModule", (types.ModuleType,), {attribute: property(get)})(name)


class _Telegram(fakes.FakeTelegram):
    @property
    def is_configured(self):
        return self._is_configured()


class _Stream:
    def __init__(self, inner, faults):
        self.anext = async_point(faults, "anext", inner.__anext__)

    def __aiter__(self):
        return self

    def __anext__(self):
        return self.anext()


class FaultyHost(fakes.Host):
    def __init__(self, monkeypatch, module):
        super().__init__()
        self.faults = faults = Faults()
        self.delivered, self.photos_sent = [], []
        tg = self.telegram
        self.ops = {op.name: op for op in (tg.start, tg.stop, tg.send_typing, tg.send_message, tg.send_photo)}
        tg.__class__ = _Telegram
        tg._is_configured = sync_point(faults, "is_configured", lambda: fakes.FakeTelegram.is_configured.fget(tg))
        tg.set_message_handler = sync_point(faults, "set_message_handler", tg.set_message_handler)
        tg.start = async_point(faults, "tg.start", tg.start)
        tg.stop = async_point(faults, "tg.stop", tg.stop)
        tg.send_typing = async_point(faults, "send_typing", tg.send_typing)
        tg.send_message = async_point(faults, "send_message", self._completing(
            tg.send_message, lambda args, kwargs: self.delivered.append((kwargs["chat_id"], args[0]))))
        tg.send_photo = async_point(faults, "send_photo", self._completing(
            tg.send_photo, lambda args, kwargs: self.photos_sent.append(kwargs["chat_id"])))
        self.ws.broadcast = async_point(faults, "broadcast", self.ws.broadcast)
        self.state.get = sync_point(faults, "state.get", self.state.get)
        self.connectors.get = sync_point(faults, "connectors.get", self.connectors.get)
        self.server = _module("kavori.gateway.server", "get_state",
                              sync_point(faults, "get_state", self.get_state), faults, "import server")
        self.ws_module = _module("kavori.gateway.ws", "manager", self.ws, faults, "import ws")
        real_process = self.agent.process_message
        self.agent.process_message = sync_point(faults, "process_message",
                                                lambda text: _Stream(real_process(text), faults))
        real_path = module.Path

        def path(name):
            return types.SimpleNamespace(unlink=sync_point(faults, "unlink", real_path(name).unlink))

        monkeypatch.setattr(module, "Path", path)

    @staticmethod
    def _completing(op, record):
        """The connector's operation, calling `record(args, kwargs)` once the awaited call ends."""

        def call(*args, **kwargs):
            async def complete():
                result = await op(*args, **kwargs)
                record(args, kwargs)
                return result

            return complete()

        return call

    def event(self, event):
        """The agent event with its to_dict going through the fault point."""
        event.to_dict = sync_point(self.faults, "to_dict", types.MethodType(type(event).to_dict, event))
        return event
