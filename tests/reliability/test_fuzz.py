"""A state machine that interleaves inbound messages, starts, stops, cancellations of the worker
and turns of the event loop, with random agent event streams (random types and data, contents
that are not strings, huge and non-ASCII texts, runs that fail part-way). Throughout: one
message in the handler at a time, messages taken in arrival order, `is_running` only with a
worker (unless the worker was cancelled from outside, which the bridge does not notice), at most
one screenshot file at a time. At the end, after a final drain: every message handled, each
with exactly the reply or apology the rules give (nothing for a message whose handling was
cancelled), and no file left."""

import asyncio
import base64
import os
import sys

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import (RuleBasedStateMachine, initialize, invariant, precondition, rule,
                                 run_state_machine_as_test)

from bridge.fakes import until

from . import model
from .faulty_host import FaultyHost
from .soak import Event

PNG_B64 = base64.b64encode(b"\x89PNG\r\n\x1a\n").decode()

scalars = st.one_of(st.none(), st.booleans(), st.integers(-3, 3), st.binary(max_size=4))
huge = st.builds(lambda piece, n: piece * n, st.sampled_from(["a", "é", "🚀", "e\u0301", "\udcff", "%s\n"]),
                 st.integers(500, 20_000))
texts = st.one_of(st.text(max_size=20), st.text(st.characters(min_codepoint=0x80), max_size=20), huge)
contents = st.one_of(texts, scalars, st.lists(st.text(max_size=2), max_size=2))
data = st.one_of(
    st.fixed_dictionaries({}, optional={
        "content": contents, "message": contents, "screenshot": scalars,
        "tool": st.one_of(st.sampled_from(["plan", "memory", "Plan", "memory2", "browser"]), scalars),
        "arguments": st.one_of(st.fixed_dictionaries({}, optional={"operation": contents}), scalars),
        "image_base64": st.one_of(st.sampled_from([PNG_B64, "abc", "", "aGk="]), scalars)}),
    scalars, st.lists(st.integers(), max_size=1))
event_types = st.one_of(st.sampled_from(["text", "tool_call", "tool_result", "error", "done", "other"]),
                        st.none(), st.integers(0, 1))
tools = st.sampled_from(["plan", "memory", "Plan", "memory2", "browser", "shell"])
well_formed = st.one_of(
    st.builds(lambda c: Event("text", {"content": c}), st.one_of(texts, texts, texts, contents)),
    st.builds(lambda t, op: Event("tool_call", {"tool": t, "arguments": {"operation": op}}), tools,
              st.one_of(st.just(""), texts)),
    st.builds(lambda image: Event("tool_result", {"screenshot": True, "image_base64": image}),
              st.sampled_from([PNG_B64, PNG_B64, "abc", "", "aGk="])),
    st.builds(lambda m: Event("error", {"message": m}), texts),
    st.just(Event("done", {})))
events = st.lists(st.one_of(well_formed, well_formed, well_formed, st.builds(Event, event_types, data)), max_size=6)
failures = st.one_of(st.none(), st.none(), st.none(), st.builds(RuntimeError, texts))
messages = st.lists(st.tuples(texts, st.one_of(st.none(), st.integers(), texts), events, failures),
                    min_size=1, max_size=3)


class Stream:
    def __init__(self, events, failure):
        self.events, self.failure, self.index = events, failure, 0

    def __aiter__(self):
        return self

    async def __anext__(self):
        await asyncio.sleep(0)
        i, self.index = self.index, self.index + 1
        if i < len(self.events):
            return self.events[i]
        if self.failure is not None:
            raise self.failure
        raise StopAsyncIteration


def machine_for(tb, monkeypatch, logs, temp_dir):
    class Bridge(tb.TelegramBridge):
        """The module's bridge, watched where the worker hands a message to the handler and
        where it sends a reply."""

        async def _handle_message(self, text, metadata):
            m = self.machine
            m.active += 1
            assert m.active == 1, "two messages in the handler at once"
            m.entered.append(metadata["n"])
            try:
                await super()._handle_message(text, metadata)
            except asyncio.CancelledError:
                m.cancelled.add(metadata["n"])
                raise
            finally:
                m.active -= 1

        async def _send_reply(self, text, metadata):
            try:
                await super()._send_reply(text, metadata)
            except asyncio.CancelledError:  # the worker was cancelled during an apology
                self.machine.cancelled.add(metadata["n"])
                raise

    class BridgeMachine(RuleBasedStateMachine):
        def __init__(self):
            super().__init__()
            self.runner = asyncio.Runner(loop_factory=asyncio.EventLoop)
            self.host = host = FaultyHost(monkeypatch, tb)
            monkeypatch.setitem(sys.modules, "kavori.gateway.server", host.server)
            monkeypatch.setitem(sys.modules, "kavori.gateway.ws", host.ws_module)
            self.streams = {}
            host.agent.process_message = lambda text: self.streams.pop(int(text.partition(":")[0]))
            logs.records.clear()
            self.bridge = Bridge()
            self.bridge.machine = self
            self.arrived, self.entered, self.cancelled, self.expected = [], [], set(), {}
            self.active = 0
            self.killed = False  # the worker was cancelled from outside while the bridge ran

        def run(self, coro):
            return self.runner.run(coro)

        def worker_alive(self):
            task = self.bridge._worker_task
            return task is not None and not task.done()

        @initialize()
        def started(self):
            self.run(self.bridge.start())

        @rule(batch=messages)
        def deliver(self, batch):
            """The connector hands over one to three messages."""
            for text, sender, stream, failure in batch:
                n = len(self.arrived) + 1
                self.arrived.append(n)
                self.expected[n] = model.agent_run(stream, failure)
                self.streams[n] = Stream(stream, failure)
                self.run(self.bridge._on_telegram_message(f"{n}:{text}", {"chat_id": n, "n": n, "from_name": sender}))

        @rule()
        def start(self):
            was_running = self.bridge.is_running
            self.run(self.bridge.start())
            if not was_running:
                self.killed = False

        @rule(turns=st.integers(0, 30))
        def stop(self, turns):
            async def stop():
                await self.turns(turns)
                await self.bridge.stop()

            self.run(stop())
            self.killed = False

        @precondition(lambda self: self.worker_alive())
        @rule(turns=st.integers(0, 30))
        def cancel_worker(self, turns):
            task = self.bridge._worker_task

            async def cancel():
                await self.turns(turns)
                task.cancel()
                await asyncio.wait([task])

            self.run(cancel())
            self.killed = True

        @staticmethod
        async def turns(count):
            for _ in range(count):
                await asyncio.sleep(0)

        @rule(turns=st.integers(1, 40))
        def spin(self, turns):
            self.run(self.turns(turns))

        @precondition(lambda self: self.worker_alive())
        @rule()
        def drain(self):
            self.run(until(lambda: len(self.entered) == len(self.arrived) and not self.bridge._processing, 60))

        @invariant()
        def one_worker_in_arrival_order(self):
            assert self.active <= 1 and (self.active == 0 or self.bridge._processing)
            assert self.entered == self.arrived[:len(self.entered)]
            if self.bridge.is_running:
                assert self.bridge._worker_task is not None
                assert self.worker_alive() or self.killed
            else:
                assert self.bridge._worker_task is None
            assert len(os.listdir(temp_dir)) <= 1

        def teardown(self):
            try:
                if not self.worker_alive():
                    self.run(self.bridge.stop())
                    self.run(self.bridge.start())
                try:
                    self.drain()
                finally:
                    self.run(self.bridge.stop())
                assert self.entered == self.arrived
                for n, outcome in self.expected.items():
                    sent = [t for chat, t in self.host.delivered if chat == n]
                    if n in self.cancelled:
                        assert sent == [], n
                    else:
                        assert sent == [outcome.text], n
                        assert self.host.photos_sent.count(n) == outcome.photos, n
                assert os.listdir(temp_dir) == []
                assert all(isinstance(r.msg, str) for r in logs.records)  # never a format string
            finally:
                self.runner.close()

    return BridgeMachine


def test_random_interleavings(tb, monkeypatch, logs, temp_dir):
    machine = machine_for(tb, monkeypatch, logs, temp_dir)
    run_state_machine_as_test(machine, settings=settings(
        max_examples=40, stateful_step_count=30, derandomize=True, database=None, deadline=None,
        suppress_health_check=list(HealthCheck)))
