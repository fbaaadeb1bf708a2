"""Throughput of the bridge against its floor.

K messages go through a started bridge whose host answers every call at once. Each message
brings E agent events (a mix of text, tool_call, tool_result without a screenshot and done).
The floor is the smallest plain coroutine that makes the same outside calls for one message: the
queue's put and get (through asyncio.wait_for, as the worker must wait), the imports and calls of
both lookups, the typing indicators, the broadcasts, the event stream, the reply, and the log
calls the bridge must make (the logger is outside the bridge too: at INFO its records dominate
both). The bridge's overhead is its time minus the floor's.

    python bench/bridge_bench.py [--messages K] [--events E] [--runs R] [--loop asyncio|uvloop]
                                 [--idle SECONDS] [--queued N]

Needs the build directory (KAVORI_BUILD_DIR, default build/release) on sys.path; scripts/bench
builds the release module and runs this.
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import logging
import os
import statistics
import sys
import time
import tracemalloc
import types
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(Path(os.environ.get("KAVORI_BUILD_DIR", ROOT / "build" / "release"))))

from kavori.connectors import telegram_bridge as tb  # noqa: E402

SEND_RESULT = {"success": True, "message_ids": [1]}


class Connector:
    is_configured = True
    _chat_id = 1

    def __init__(self) -> None:
        self.replies = 0
        self.expected = 0
        self.all_sent = asyncio.Event()

    def set_message_handler(self, handler):
        self.handler = handler

    async def start(self):
        pass

    async def stop(self):
        pass

    async def send_typing(self, chat_id=None):
        pass

    async def send_message(self, text, chat_id=None, parse_mode=None):
        self.replies += 1
        if self.replies == self.expected:
            self.all_sent.set()
        return SEND_RESULT

    async def send_photo(self, path, caption=None, chat_id=None):
        return SEND_RESULT


class Event:
    __slots__ = ("type", "data", "_dict")

    def __init__(self, type: str, data: dict) -> None:
        self.type = type
        self.data = data
        self._dict = {"type": type, "data": data}

    def to_dict(self):
        return self._dict


def make_events(count: int) -> list[Event]:
    cycle = [
        Event("text", {"content": "Here is what I found. "}),
        Event("tool_call", {"tool": "browser", "arguments": {"operation": "open"}}),
        Event("tool_result", {"output": "ok"}),
        Event("text", {"content": "The page says hello."}),
        Event("tool_call", {"tool": "plan", "arguments": {}}),
    ]
    events = [cycle[i % len(cycle)] for i in range(max(count - 1, 0))]
    return events + [Event("done", {})]


class Agent:
    def __init__(self, events: list[Event]) -> None:
        self.events = events

    async def process_message(self, text):
        for event in self.events:
            yield event


class WebSocketManager:
    async def broadcast(self, message):
        pass


class Mapping:
    def __init__(self, **items) -> None:
        self.items = items

    def get(self, key, default=None):
        return self.items.get(key, default)


def install_host(events: list[Event]) -> Connector:
    connector = Connector()
    state = Mapping(connector_manager=Mapping(telegram=connector), agent=Agent(events))
    server = types.ModuleType("kavori.gateway.server")
    server.get_state = lambda: state
    ws = types.ModuleType("kavori.gateway.ws")
    ws.manager = WebSocketManager()
    sys.modules["kavori.gateway.server"] = server
    sys.modules["kavori.gateway.ws"] = ws
    return connector


async def run_bridge(messages: int, connector: Connector) -> float:
    bridge = tb.TelegramBridge()
    await bridge.start()
    connector.expected = messages
    connector.replies = 0
    connector.all_sent = asyncio.Event()
    metadata = {"from_name": "Ann", "chat_id": 5}
    started = time.perf_counter()
    for _ in range(messages):
        await bridge._on_telegram_message("Open the page and tell me what it says", metadata)
    await connector.all_sent.wait()
    elapsed = time.perf_counter() - started
    await bridge.stop()
    return elapsed


async def floor_message(queue: asyncio.Queue, text: str, metadata: dict) -> None:
    log = logging.getLogger("kavori.connectors.telegram_bridge")
    log.info(f"Queuing Telegram message from {metadata.get('from_name', 'unknown')}: {text[:80]}")
    await queue.put((text, metadata))
    text, metadata = await asyncio.wait_for(queue.get(), timeout=2.0)
    log.info(f"Processing queued message: {text[:80]}")
    from kavori.gateway.server import get_state

    agent = get_state().get("agent")
    from kavori.gateway.server import get_state

    connector_mgr = get_state().get("connector_manager")
    telegram = connector_mgr.get("telegram")
    telegram.is_configured
    chat_id = metadata.get("chat_id")
    await telegram.send_typing(chat_id=chat_id)
    from kavori.gateway.ws import manager

    await manager.broadcast({"type": "telegram_message", "content": text, "source": "telegram"})
    log.info("Sending message to agent for processing...")
    async for event in agent.process_message(text):
        from kavori.gateway.ws import manager

        await manager.broadcast(event.to_dict())
        if event.type == "text":
            log.debug(f"Agent text: {event.data['content'][:100]}")
        elif event.type == "tool_call" and event.data.get("tool") not in ("plan", "memory"):
            log.debug("Agent tool call: 🔧 browser.open")
            await telegram.send_typing(chat_id=chat_id)
        elif event.type == "done":
            log.info("Agent processing complete")
    log.info("Sending reply to Telegram (99 chars)")
    from kavori.gateway.server import get_state

    telegram = get_state().get("connector_manager").get("telegram")
    telegram.is_configured
    result = await telegram.send_message("reply", chat_id=chat_id, parse_mode="")
    if result.get("success"):
        log.info(f"Reply sent to Telegram (msg_ids={result.get('message_ids')})")


async def run_floor(messages: int, connector: Connector) -> float:
    queue: asyncio.Queue = asyncio.Queue()
    metadata = {"from_name": "Ann", "chat_id": 5}
    started = time.perf_counter()
    for _ in range(messages):
        await floor_message(queue, "Open the page and tell me what it says", metadata)
    return time.perf_counter() - started


def loop_factory(name: str):
    if name == "uvloop":
        import uvloop

        return uvloop.new_event_loop
    return asyncio.EventLoop


def measure(kind, messages: int, events: int, runs: int, loop: str) -> float:
    connector = install_host(make_events(events))
    times = []
    for _ in range(runs):
        with asyncio.Runner(loop_factory=loop_factory(loop)) as runner:
            gc.collect()
            times.append(runner.run(kind(messages, connector)))
    return statistics.median(times)


def throughput(messages: int, events: int, runs: int, loops: list[str]) -> None:
    logger = logging.getLogger("kavori.connectors.telegram_bridge")
    logger.propagate = False
    logger.handlers[:] = [logging.NullHandler()]
    print(f"{messages} messages x {events} events, median of {runs} runs")
    print(f"{'loop':8} {'logging':8} {'bridge msg/s':>13} {'us/msg':>8} {'us/event':>9} "
          f"{'floor us/msg':>13} {'overhead us':>12} {'bridge/floor':>13}")
    for loop in loops:
        for level in (logging.WARNING, logging.INFO):
            logger.setLevel(level)
            floor = measure(run_floor, messages, events, runs, loop)
            bridge = measure(run_bridge, messages, events, runs, loop)
            per_message = bridge / messages * 1e6
            floor_per_message = floor / messages * 1e6
            print(f"{loop:8} {logging.getLevelName(level):8} {messages / bridge:13.0f} "
                  f"{per_message:8.2f} {per_message / events:9.2f} {floor_per_message:13.2f} "
                  f"{per_message - floor_per_message:12.2f} {bridge / floor:13.3f}")


def idle_cpu(seconds: float) -> None:
    connector = install_host(make_events(1))

    async def idle() -> float:
        bridge = tb.TelegramBridge()
        await bridge.start()
        before = time.process_time()
        await asyncio.sleep(seconds)
        used = time.process_time() - before
        await bridge.stop()
        return used

    with asyncio.Runner() as runner:
        used = runner.run(idle())
    del connector
    print(f"idle: {used * 1e3:.1f} ms CPU over {seconds:.0f} s "
          f"({used / seconds * 100:.4f}% of one core)")


def queued_memory(count: int) -> None:
    install_host(make_events(1))

    async def fill() -> None:
        bridge = tb.TelegramBridge()
        texts = [f"message number {i}" for i in range(count)]
        metadatas = [{"from_name": "Ann", "chat_id": i} for i in range(count)]
        gc.collect()
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        for text, metadata in zip(texts, metadatas):
            await bridge._on_telegram_message(text, metadata)
        after = tracemalloc.get_traced_memory()[0]
        tracemalloc.stop()
        per_item = (after - before) / count
        tuple_size = sys.getsizeof((texts[0], metadatas[0]))
        print(f"queued: {count} messages, {per_item:.1f} bytes per message "
              f"(the work item tuple itself is {tuple_size} bytes, plus the queue's slot)")

    logging.getLogger("kavori.connectors.telegram_bridge").setLevel(logging.WARNING)
    with asyncio.Runner() as runner:
        runner.run(fill())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--messages", type=int, default=20_000)
    parser.add_argument("--events", type=int, default=6)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--loop", choices=["asyncio", "uvloop", "both"], default="both")
    parser.add_argument("--idle", type=float, default=60.0, help="seconds; 0 skips")
    parser.add_argument("--queued", type=int, default=100_000, help="0 skips")
    args = parser.parse_args()
    loops = ["asyncio", "uvloop"] if args.loop == "both" else [args.loop]
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs")
    throughput(args.messages, args.events, args.runs, loops)
    if args.queued:
        queued_memory(args.queued)
    if args.idle:
        idle_cpu(args.idle)


if __name__ == "__main__":
    main()
