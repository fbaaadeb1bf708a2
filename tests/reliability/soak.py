"""Soak run: many messages through a started bridge on a lean fake host that keeps no history,
so that memory and reference counts stay flat unless the bridge leaks.

Message n (from 1) carries a few agent events; every 10th has a screenshot, every 7th has an
agent failure part-way through its stream, every 11th a failing reply send (odd multiples: the
send raises, so the worker apologises; even multiples: the connector reports failure, so the
user gets nothing). The expected outcome of each message comes from `model`, and the connector
compares what it is asked to send, chat by chat, as the messages finish.

Run by tests/reliability/test_soak.py (short) and by scripts/soak (the full run):
    python -m reliability.soak --messages 100000
"""

import argparse
import asyncio
import base64
import gc
import importlib
import logging
import os
import shutil
import stat
import sys
import tempfile
import time
import types
from dataclasses import dataclass, field

from . import model

LOGGER_NAME = "kavori.connectors.telegram_bridge"
PNG = base64.b64encode(b"\x89PNG\r\n\x1a\n" + bytes(range(48))).decode()


class Event:
    __slots__ = ("type", "data")

    def __init__(self, type, data):
        self.type, self.data = type, data

    def to_dict(self):
        return {"type": self.type, "data": self.data}


@dataclass
class Message:
    n: int
    text: str
    metadata: dict
    events: list
    fail_after: int | None
    send_fault: str | None  # None, "raises" or "refused"
    expected_sends: list = field(default_factory=list)  # texts the bridge should try to send
    delivered: list = field(default_factory=list)  # texts that should reach the chat
    outcome: model.Outcome | None = None
    sends: list = field(default_factory=list)
    photos: int = 0


def plan(n):
    """Message n and what the rules say it should produce."""
    events = []
    if n % 3:
        events.append(Event("text", {"content": f"Answer {n}: ✓ ünïcödé 🚀 " + "x" * (n % 120)}))
    if n % 2 == 0:
        events.append(Event("tool_call", {"tool": "browser", "arguments": {"operation": "open"}}))
    if n % 5 == 0:
        events.append(Event("tool_call", {"tool": "memory"}))
    if n % 10 == 0:
        events.append(Event("tool_result", {"screenshot": True, "image_base64": PNG}))
    if n % 13 == 0:
        events.append(Event("error", {"message": "rate limited"}))
    events.append(Event("done", {"summary": "finished"}))
    fail_after = n % (len(events) + 1) if n % 7 == 0 else None
    send_fault = ("raises" if n % 22 == 11 else "refused") if n % 11 == 0 else None
    message = Message(n, f"#{n} question ❓ {'é' * (n % 90)}", {"chat_id": n, "from_name": f"user{n % 17}"},
                      events, fail_after, send_fault)
    failure = RuntimeError(f"agent failed on {n}") if fail_after is not None else None
    yielded = events if fail_after is None else events[:fail_after]
    outcome = model.agent_run(yielded, failure)
    message.outcome = outcome
    message.expected_sends = [outcome.text]
    if send_fault == "raises":
        apology = model.APOLOGY + f"send failed on {n}"
        message.expected_sends.append(apology)
        message.delivered = [apology]
    elif send_fault is None:
        message.delivered = [outcome.text]
    return message


class Stream:
    def __init__(self, message):
        self.message, self.index = message, 0

    def __aiter__(self):
        return self

    async def __anext__(self):
        await asyncio.sleep(0)
        m, i = self.message, self.index
        self.index += 1
        if i == m.fail_after:
            raise RuntimeError(f"agent failed on {m.n}")
        if i >= len(m.events):
            raise StopAsyncIteration
        return m.events[i]


class Agent:
    def __init__(self, soak):
        self.soak = soak

    def process_message(self, text):
        return Stream(self.soak.pending[int(text[1:text.index(" ")])])


class Connector:
    is_configured = True
    _chat_id = None  # every message names its chat

    def __init__(self, soak):
        self.soak, self.handler = soak, None

    def set_message_handler(self, handler):
        self.handler = handler

    async def start(self):
        pass

    async def stop(self):
        pass

    async def send_typing(self, *, chat_id):
        await asyncio.sleep(0)

    async def send_message(self, text, *, chat_id, parse_mode):
        return self.soak.sent(chat_id, text, parse_mode)

    async def send_photo(self, path, *, caption, chat_id):
        return self.soak.photo(path, caption, chat_id)


class WebSocketManager:
    def __init__(self, soak):
        self.soak = soak

    async def broadcast(self, message):
        self.soak.broadcasts += 1


class Getter:
    def __init__(self, items):
        self.items = items

    def get(self, key):
        return self.items.get(key)


class LineCounter(logging.Handler):
    """Counts the module's log lines by their fixed text; keeps a few unexpected ones."""
    KEYS = ("Agent processing failed for Telegram message", "Error processing Telegram message: ",
            "Failed to send Telegram reply: Bad Request", "Screenshot sent to Telegram", "Agent error event: ")

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.counts = dict.fromkeys(self.KEYS, 0)
        self.unexpected = []

    def emit(self, record):
        msg = record.msg
        for key in self.KEYS:
            if msg.startswith(key):
                self.counts[key] += 1
                return
        if record.levelno >= logging.WARNING and len(self.unexpected) < 10:
            self.unexpected.append(f"{record.levelname}: {msg[:200]}")


class Soak:
    def __init__(self):
        self.pending = {}
        self.finished = 0
        self.broadcasts = self.expected_broadcasts = 0
        self.mismatches = []
        self.mismatch_count = 0
        self.private_files = 0
        self.progress = asyncio.Event()
        self.connector = Connector(self)
        self.agent = Agent(self)
        self.state = Getter({"connector_manager": Getter({"telegram": self.connector}), "agent": self.agent})
        self.server = types.ModuleType("kavori.gateway.server")
        self.server.get_state = lambda: self.state
        self.ws = types.ModuleType("kavori.gateway.ws")
        self.ws.manager = WebSocketManager(self)

    def mismatch(self, n, what):
        self.mismatch_count += 1
        if len(self.mismatches) < 20:
            self.mismatches.append(f"message {n}: {what}")

    def expect(self, message):
        self.pending[message.n] = message
        yielded = len(message.events) if message.fail_after is None else message.fail_after
        self.expected_broadcasts += 1 + yielded

    def sent(self, chat_id, text, parse_mode):
        m = self.pending.get(chat_id)
        if m is None:
            self.mismatch(chat_id, f"send to an unknown or finished chat: {text[:80]!r}")
            return {"success": True}
        m.sends.append(text)
        first = len(m.sends) == 1
        result = {"success": True, "message_ids": [m.n]}
        if parse_mode != "":
            self.mismatch(m.n, f"parse_mode {parse_mode!r}")
        if first and m.send_fault == "raises":
            self.settle(m)
            raise ConnectionError(f"send failed on {m.n}")
        if first and m.send_fault == "refused":
            result = {"success": False, "message": "Bad Request"}
        self.settle(m)
        return result

    def settle(self, m):
        if len(m.sends) < len(m.expected_sends):
            return
        del self.pending[m.n]
        if m.sends != m.expected_sends:
            self.mismatch(m.n, f"sent {m.sends!r}, expected {m.expected_sends!r}")
        if m.photos != m.outcome.photos:
            self.mismatch(m.n, f"{m.photos} photos, expected {m.outcome.photos}")
        self.finished += 1
        self.progress.set()

    def photo(self, path, caption, chat_id):
        m = self.pending.get(chat_id)
        if m is None:
            self.mismatch(chat_id, "photo for an unknown chat")
        else:
            m.photos += 1
        info = os.lstat(path)
        if stat.S_ISREG(info.st_mode) and stat.S_IMODE(info.st_mode) == 0o600 and caption == "📸 Screenshot":
            self.private_files += 1
        else:
            self.mismatch(chat_id, f"photo file mode {oct(info.st_mode)}, caption {caption!r}")
        return {"success": True}

    async def until_finished(self, count, limit):
        loop = asyncio.get_running_loop()
        end = loop.time() + limit
        while self.finished < count:
            self.progress.clear()
            try:
                await asyncio.wait_for(self.progress.wait(), max(0.0, end - loop.time()))
            except TimeoutError:
                return False
        return True


def measure():
    """Reference total and allocated blocks after a full collection (debug interpreter only)."""
    if not hasattr(sys, "gettotalrefcount"):
        return None
    sys._clear_internal_caches()
    for _ in range(3):
        gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


@dataclass
class Report:
    messages: int = 0
    seconds: float = 0.0
    at_warmup: tuple | None = None
    at_end: tuple | None = None
    samples: list = field(default_factory=list)
    dirty_checks: int = 0  # checkpoints that found a file in the temporary directory
    left_at_end: list = field(default_factory=list)
    mismatches: list = field(default_factory=list)
    mismatch_count: int = 0
    unfinished: int = 0
    log_problems: list = field(default_factory=list)
    worker_alive: bool = True

    @property
    def growth(self):
        """Growth of the reference total and of the allocated blocks from the warm-up to the end,
        each taken as the lowest of three samples: objects that live for a while and then go
        (cancelled timer handles wait up to the queue timeout in the event loop's heap) make
        single samples jump both ways, while a leak raises every later sample."""
        if len(self.samples) < 6:
            return None
        first, last = self.samples[:3], self.samples[-3:]
        return (min(r for r, _ in last) - min(r for r, _ in first),
                min(b for _, b in last) - min(b for _, b in first))

    def lines(self):
        out = [f"messages: {self.messages}", f"seconds: {self.seconds:.1f}"]
        if self.growth is not None:
            refs, blocks = self.growth
            out += [f"refcount at warm-up / end: {self.at_warmup[0]} / {self.at_end[0]} (growth {refs:+d})",
                    f"allocated blocks at warm-up / end: {self.at_warmup[1]} / {self.at_end[1]} (growth {blocks:+d})",
                    "samples (refs/blocks): " + ", ".join(f"{r}/{b}" for r, b in self.samples),
                    "growth: lowest of the last three samples minus lowest of the first three"]
        else:
            out.append("refcount / allocated blocks: not measured (needs a debug interpreter and six samples)")
        out += [f"temporary directory: {len(self.left_at_end)} files at end, {self.dirty_checks} checkpoints with files",
                f"outcome mismatches: {self.mismatch_count}, unfinished messages: {self.unfinished}",
                f"worker alive at the end: {self.worker_alive}"]
        out += [f"  {m}" for m in self.mismatches] + [f"  log: {p}" for p in self.log_problems]
        return out


async def soak(messages, *, warmup, batch=50, samples=10, limit=60.0):
    tb = importlib.import_module("kavori.connectors.telegram_bridge")
    report = Report(messages=messages)
    host = Soak()
    saved_modules = {name: sys.modules.get(name) for name in ("kavori.gateway.server", "kavori.gateway.ws")}
    sys.modules["kavori.gateway.server"], sys.modules["kavori.gateway.ws"] = host.server, host.ws
    folder = tempfile.mkdtemp(prefix="bridge-soak-")
    saved_tempdir, tempfile.tempdir = tempfile.tempdir, folder
    logger = logging.getLogger(LOGGER_NAME)
    counter = LineCounter()
    saved_logger = logger.level, logger.propagate
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    logger.addHandler(counter)
    expected_lines = dict.fromkeys(LineCounter.KEYS, 0)
    sample_every = max(batch, (messages - warmup) // max(1, samples))
    # A measurement's full collections can take longer than asyncio's debug-mode limit for one
    # step; the warning it would log (and a test's log capture would keep) is not wanted here.
    loop = asyncio.get_running_loop()
    saved_slow = loop.slow_callback_duration
    loop.slow_callback_duration = 3600.0
    started = time.perf_counter()
    try:
        bridge = tb.TelegramBridge()
        await bridge.start()
        handler = host.connector.handler
        n = 0
        while n < messages and not report.mismatch_count:
            for _ in range(min(batch, messages - n)):
                n += 1
                m = plan(n)
                host.expect(m)
                yielded = m.events if m.fail_after is None else m.events[:m.fail_after]
                expected_lines["Agent processing failed for Telegram message"] += m.fail_after is not None
                expected_lines["Error processing Telegram message: "] += m.send_fault == "raises"
                expected_lines["Failed to send Telegram reply: Bad Request"] += m.send_fault == "refused"
                expected_lines["Screenshot sent to Telegram"] += m.outcome.screenshots
                expected_lines["Agent error event: "] += sum(e.type == "error" for e in yielded)
                await handler(m.text, m.metadata)
                if n % 3 == 0:
                    await asyncio.sleep(0)
            if not await host.until_finished(n, limit):
                break
            while bridge._processing or not bridge._queue.empty():
                await asyncio.sleep(0)
            if os.listdir(folder):
                report.dirty_checks += 1
            if n == warmup or (n > warmup and (n - warmup) % sample_every < batch) or n == messages:
                point = measure()
                if point is not None:
                    if report.at_warmup is None:
                        report.at_warmup = point
                    report.samples.append(point)
                    report.at_end = point
        report.worker_alive = bridge._worker_task is not None and not bridge._worker_task.done()
        await bridge.stop()
    finally:
        report.seconds = time.perf_counter() - started
        loop.slow_callback_duration = saved_slow
        logger.removeHandler(counter)
        logger.setLevel(saved_logger[0])
        logger.propagate = saved_logger[1]
        tempfile.tempdir = saved_tempdir
        report.left_at_end = os.listdir(folder)
        shutil.rmtree(folder, ignore_errors=True)
        for name, module in saved_modules.items():
            if module is None:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = module
    report.mismatches, report.mismatch_count = host.mismatches, host.mismatch_count
    report.unfinished = messages - host.finished
    if host.broadcasts != host.expected_broadcasts:
        report.log_problems.append(f"{host.broadcasts} broadcasts, expected {host.expected_broadcasts}")
    if host.private_files != expected_lines["Screenshot sent to Telegram"]:
        report.log_problems.append(f"{host.private_files} private photo files, expected "
                                   f"{expected_lines['Screenshot sent to Telegram']}")
    for key, count in expected_lines.items():
        if counter.counts[key] != count:
            report.log_problems.append(f"{counter.counts[key]} lines {key!r}, expected {count}")
    report.log_problems += counter.unexpected
    return report


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--messages", type=int, default=100_000)
    parser.add_argument("--warmup", type=int, default=None, help="default: a tenth of the messages")
    args = parser.parse_args(argv)
    warmup = args.warmup if args.warmup is not None else max(50, args.messages // 10 // 50 * 50)
    with asyncio.Runner(loop_factory=asyncio.EventLoop) as runner:
        report = runner.run(soak(args.messages, warmup=warmup))
    print("\n".join(report.lines()))
    growth = report.growth
    ok = (not report.mismatch_count and not report.unfinished and not report.left_at_end
          and not report.dirty_checks and not report.log_problems and report.worker_alive)
    if hasattr(sys, "gettotalrefcount"):
        limit = leak_tolerance(args.messages - warmup)
        ok = ok and growth is not None and growth[0] <= limit and growth[1] <= limit
    print("result:", "PASS" if ok else "FAIL")
    return 0 if ok else 1


def leak_tolerance(measured_messages):
    """Growth allowed between the warm-up and the end: a few hundred for interpreter caches that
    fill late, far below one object per message."""
    return min(500, measured_messages // 4)


if __name__ == "__main__":
    sys.exit(main())
