"""Throughput of the bridge against its Python twin and its floor, on asyncio and on uvloop.

K messages go through a started bridge whose host answers every call at once. Each message
brings E agent events (a mix of text, tool_call, tool_result without a screenshot and done).
Four peers run the same workload, each in a process of its own:

  module  the compiled module, from the build directory
  public  the same module with every private detail of CPython and its standard library on its
          public path (PYRT_COMPAT=public): what an interpreter runs where the guarantees of
          those details do not hold
  twin    bench/telegram_bridge_twin.py, the same behaviour written as a plain Python module,
          loaded under the module's full name (kavori.connectors.telegram_bridge)
  floor   the smallest plain coroutine that makes the same outside calls for one message: the
          queue's put and get (through asyncio.wait_for, as the worker must wait), the imports and
          calls of both lookups, the typing indicators, the broadcasts, the event stream, the
          reply, and each record the logger keeps, made and handed to it as the module makes it
          (the logger's makeRecord and handle, with a location known beforehand; the logger is
          outside the bridge too: at INFO its records dominate every peer; a call the logger would
          drop need not be made, and the module does not make it either)

Every configuration (loop x logger level) runs R rounds; a round starts one process per peer, in
turn (the order rotates from round to round, so that no peer always goes first), so that drift of
a shared machine reaches all three alike. Each process warms up, then measures one run. The table
shows the median per peer, and the paired ratios: the median over the rounds of each round's own
ratio. A neighbour's load moves every peer of a round together far more than it moves the ratio
between them, so the paired figure is the steady one; the per-peer medians and the best rounds
are kept beside it. module/twin is the module's throughput over the twin's (above 1: the module
is faster); floor/twin is the ceiling of module/twin for any implementation that makes those
calls as cheaply as bytecode does (calls from C cost more; the module's imports of a host module
it met before cost less than the import statement's, so the module may pass the floor there).

    python bench/bridge_bench.py [--messages K] [--events E] [--runs R] [--loop asyncio|uvloop|both]
                                 [--level WARNING|INFO|both] [--clock cpu|wall] [--idle SECONDS]
                                 [--queued N] [--imports N]
                                 [--against BUILD_DIR]

--against adds a fifth peer to the throughput table, "against": the compiled module from another
build directory (another configuration of the same sources), measured in the same rounds, so that
two builds are compared side by side under the same load.

Times are the measuring process's CPU time unless --clock wall is given: on a shared machine a
process waiting for a core is not slower, only later.

Needs the build directory (KAVORI_BUILD_DIR, default build/release); scripts/bench builds the
release module and runs this.
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import importlib
import importlib.util
import json
import logging
import os
import statistics
import subprocess
import sys
import time
import tracemalloc
import types
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
BUILD_DIR = Path(os.environ.get("KAVORI_BUILD_DIR", ROOT / "build" / "release"))
MODULE_NAME = "kavori.connectors.telegram_bridge"
# Where the floor's records are located: a fixed place, as the module knows its log calls' own.
HERE_FILE, HERE_FUNCTION = __file__, "floor_message"
DEBUG, INFO = logging.DEBUG, logging.INFO
TWIN_SOURCE = HERE / "telegram_bridge_twin.py"
PEERS = ("module", "twin", "floor")
# The build directory of the optional fourth peer (see --against); children inherit it.
AGAINST_DIR = os.environ.get("KAVORI_AGAINST_BUILD_DIR")

tb = None  # the implementation under measurement in this process, set by load()
# CPU time of this process by default: on a shared machine it leaves out the time the process
# waits for a core, which wall-clock time does not. The workload never waits for anything else.
clock = time.process_time


def load(implementation: str):
    """Makes `implementation` ("module" or "twin") this process's kavori.connectors.telegram_bridge.

    The two never share a process: both claim the same module name."""
    global tb
    if tb is not None:
        raise RuntimeError(f"this process already measures {tb.__file__}")
    if implementation == "twin":
        spec = importlib.util.spec_from_file_location(MODULE_NAME, TWIN_SOURCE)
        module = importlib.util.module_from_spec(spec)
        sys.modules[MODULE_NAME] = module
        spec.loader.exec_module(module)
    elif implementation in ("module", "public", "against"):
        sys.path.insert(0, str(AGAINST_DIR if implementation == "against" else BUILD_DIR))
        module = importlib.import_module(MODULE_NAME)
    else:
        raise ValueError(implementation)
    tb = module
    return module


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
    started = clock()
    for _ in range(messages):
        await bridge._on_telegram_message("Open the page and tell me what it says", metadata)
    await connector.all_sent.wait()
    elapsed = clock() - started
    await bridge.stop()
    return elapsed


async def floor_message(queue: asyncio.Queue, text: str, metadata: dict, info: bool,
                        debug: bool) -> None:
    log = logging.getLogger("kavori.connectors.telegram_bridge")
    if info:
        log.handle(log.makeRecord(log.name, INFO, HERE_FILE, 1,
                                  f"Queuing Telegram message from {metadata.get('from_name', 'unknown')}: "
                                  f"{text[:80]}", (), None, HERE_FUNCTION, None, None))
    await queue.put((text, metadata))
    text, metadata = await asyncio.wait_for(queue.get(), timeout=2.0)
    if info:
        log.handle(log.makeRecord(log.name, INFO, HERE_FILE, 1, f"Processing queued message: {text[:80]}", (), None,
                                  HERE_FUNCTION, None, None))
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
    if info:
        log.handle(log.makeRecord(log.name, INFO, HERE_FILE, 1, "Sending message to agent for processing...", (), None,
                                  HERE_FUNCTION, None, None))
    async for event in agent.process_message(text):
        from kavori.gateway.ws import manager

        await manager.broadcast(event.to_dict())
        if event.type == "text":
            if debug:
                log.handle(log.makeRecord(log.name, DEBUG, HERE_FILE, 1, f"Agent text: {event.data['content'][:100]}", (), None,
                                          HERE_FUNCTION, None, None))
        elif event.type == "tool_call" and event.data.get("tool") not in ("plan", "memory"):
            if debug:
                log.handle(log.makeRecord(log.name, DEBUG, HERE_FILE, 1, "Agent tool call: 🔧 browser.open", (), None,
                                          HERE_FUNCTION, None, None))
            await telegram.send_typing(chat_id=chat_id)
        elif event.type == "done" and info:
            log.handle(log.makeRecord(log.name, INFO, HERE_FILE, 1, "Agent processing complete", (), None,
                                      HERE_FUNCTION, None, None))
    if info:
        log.handle(log.makeRecord(log.name, INFO, HERE_FILE, 1, "Sending reply to Telegram (99 chars)", (), None,
                                  HERE_FUNCTION, None, None))
    from kavori.gateway.server import get_state

    telegram = get_state().get("connector_manager").get("telegram")
    telegram.is_configured
    result = await telegram.send_message("reply", chat_id=chat_id, parse_mode="")
    if result.get("success") and info:
        log.handle(log.makeRecord(log.name, INFO, HERE_FILE, 1,
                                  f"Reply sent to Telegram (msg_ids={result.get('message_ids')})", (), None,
                                  HERE_FUNCTION, None, None))


async def run_floor(messages: int, connector: Connector) -> float:
    queue: asyncio.Queue = asyncio.Queue()
    metadata = {"from_name": "Ann", "chat_id": 5}
    # Which calls the logger would drop, decided once: the levels do not change during a run.
    logger = logging.getLogger("kavori.connectors.telegram_bridge")
    info, debug = logger.isEnabledFor(logging.INFO), logger.isEnabledFor(logging.DEBUG)
    started = clock()
    for _ in range(messages):
        await floor_message(queue, "Open the page and tell me what it says", metadata, info, debug)
    return clock() - started


def loop_factory(name: str):
    if name == "uvloop":
        import uvloop

        return uvloop.new_event_loop
    return asyncio.EventLoop


def quiet_logger(level: int) -> None:
    logger = logging.getLogger(MODULE_NAME)
    logger.propagate = False
    logger.handlers[:] = [logging.NullHandler()]
    logger.setLevel(level)


# ---- what one process measures (the --child modes) ----


def child_throughput(peer: str, messages: int, events: int, loop: str, level: str,
                     clock_name: str) -> dict:
    global clock
    clock = time.perf_counter if clock_name == "wall" else time.process_time
    quiet_logger(getattr(logging, level))
    if peer != "floor":
        load(peer)
    run = run_floor if peer == "floor" else run_bridge
    connector = install_host(make_events(events))
    with asyncio.Runner(loop_factory=loop_factory(loop)) as runner:
        runner.run(run(min(2_000, messages), connector))  # warm-up: imports, caches, specialisation
        gc.collect()
        seconds = runner.run(run(messages, connector))
    return {"seconds": seconds}


def child_queued(peer: str, count: int) -> dict:
    load(peer)
    install_host(make_events(1))
    quiet_logger(logging.WARNING)

    async def fill() -> float:
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
        return (after - before) / count

    with asyncio.Runner() as runner:
        return {"bytes": runner.run(fill())}


def child_idle(peer: str, seconds: float) -> dict:
    load(peer)
    install_host(make_events(1))
    quiet_logger(logging.INFO)

    async def idle() -> float:
        bridge = tb.TelegramBridge()
        await bridge.start()
        before = time.process_time()
        await asyncio.sleep(seconds)
        used = time.process_time() - before
        await bridge.stop()
        return used

    with asyncio.Runner() as runner:
        return {"cpu": runner.run(idle())}


def child_import(peer: str) -> dict:
    # The standard modules the bridge binds, and the module's parent packages, come first, so the
    # figure is the bridge's own cost: finding, loading and executing it.
    for name in ("asyncio", "base64", "logging", "tempfile", "pathlib", "typing"):
        importlib.import_module(name)
    if peer == "module":
        sys.path.insert(0, str(BUILD_DIR))
        importlib.import_module(MODULE_NAME.rpartition(".")[0])
    started = time.perf_counter()
    load(peer)
    return {"seconds": time.perf_counter() - started}


def in_own_process(mode: str, peer: str, *args) -> subprocess.Popen:
    return subprocess.Popen(
        [sys.executable, __file__, "--child", mode, peer, *map(str, args)],
        stdout=subprocess.PIPE, text=True,
        env=dict(os.environ, PYTHONHASHSEED="0",
                 PYRT_COMPAT="public" if peer == "public" else os.environ.get("PYRT_COMPAT", "")))


def result_of(process: subprocess.Popen) -> dict:
    out, _ = process.communicate()
    if process.returncode != 0:
        raise SystemExit(f"benchmark process {process.args[3:]} failed")
    return json.loads(out.splitlines()[-1])


def own_process(mode: str, peer: str, *args) -> dict:
    return result_of(in_own_process(mode, peer, *args))


# ---- the report ----


def throughput(messages: int, events: int, runs: int, loops: list[str], levels: list[str],
               clock_name: str) -> None:
    extra = ("public",) + (("against",) if AGAINST_DIR else ())
    peers = PEERS + extra
    print(f"{messages} messages x {events} events; median of {runs} rounds (and the best round), "
          f"one process per peer and round; {'wall-clock' if clock_name == 'wall' else 'CPU'} "
          "time")
    if AGAINST_DIR:
        print(f"against: the module built in {AGAINST_DIR}")
    # The best round beside the median: on a shared machine a neighbour only ever slows a round
    # down, so the fastest rounds of the two peers compare them with the least interference.
    header = (f"| loop | logging | module µs/msg | module msg/s | twin µs/msg | twin msg/s "
              f"| floor µs/msg | floor msg/s | module/twin | module/twin, best rounds | floor/twin "
              f"| module/twin, paired (range) | floor/twin, paired |")
    for peer in extra:
        header += f" {peer} µs/msg | {peer}/twin, paired (range) |"
    print(header)
    print("|---|---|" + "---:|" * (11 + 2 * len(extra)))
    for loop in loops:
        for level in levels:
            samples: dict[str, list[float]] = {peer: [] for peer in peers}
            for round_number in range(runs):
                shift = round_number % len(peers)
                for peer in peers[shift:] + peers[:shift]:
                    result = own_process("throughput", peer, messages, events, loop, level,
                                         clock_name)
                    samples[peer].append(result["seconds"])

            def paired(peer: str) -> list[float]:
                # twin/peer time of each round: the peer's throughput over the twin's.
                return [twin / other for twin, other in zip(samples["twin"], samples[peer])]
            per_message = {peer: statistics.median(values) / messages * 1e6
                           for peer, values in samples.items()}
            cells = []
            for peer in PEERS:
                cells += [f"{per_message[peer]:.2f}", f"{1e6 / per_message[peer]:,.0f}"]
            cells.append(f"{per_message['twin'] / per_message['module']:.3f}")
            cells.append(f"{min(samples['twin']) / min(samples['module']):.3f}")
            cells.append(f"{per_message['twin'] / per_message['floor']:.3f}")
            module_rounds = paired("module")
            cells.append(f"{statistics.median(module_rounds):.3f} "
                         f"({min(module_rounds):.3f}–{max(module_rounds):.3f})")
            cells.append(f"{statistics.median(paired('floor')):.3f}")
            for peer in extra:
                rounds = paired(peer)
                cells += [f"{per_message[peer]:.2f}",
                          f"{statistics.median(rounds):.3f} ({min(rounds):.3f}–{max(rounds):.3f})"]
            print(f"| {loop} | {level} | " + " | ".join(cells) + " |", flush=True)


def import_time(repeat: int) -> None:
    medians = {}
    for peer in ("module", "twin"):
        medians[peer] = statistics.median(
            own_process("import", peer)["seconds"] for _ in range(repeat))
    print(f"import (standard modules already loaded, median of {repeat} processes): "
          f"module {medians['module'] * 1e3:.2f} ms, twin {medians['twin'] * 1e3:.2f} ms")


def queued_memory(count: int) -> None:
    per = {peer: own_process("queued", peer, count)["bytes"] for peer in ("module", "twin")}
    print(f"queued: {count} messages while no worker runs, bytes per message: "
          f"module {per['module']:.1f}, twin {per['twin']:.1f} "
          f"(a work item tuple is {sys.getsizeof(('', {}))} bytes, plus the queue's slot)")


def idle_cpu(seconds: float) -> None:
    # Both sleep nearly all the time, so they share the wait.
    running = {peer: in_own_process("idle", peer, seconds) for peer in ("module", "twin")}
    used = {peer: result_of(process)["cpu"] for peer, process in running.items()}
    print(f"idle: a started bridge with nothing to do, CPU over {seconds:.0f} s: " + ", ".join(
        f"{peer} {value * 1e3:.1f} ms ({value / seconds * 100:.4f}% of one core)"
        for peer, value in used.items()))


CHILD_MODES = {
    "throughput": lambda peer, messages, events, loop, level, clock_name: child_throughput(
        peer, int(messages), int(events), loop, level, clock_name),
    "queued": lambda peer, count: child_queued(peer, int(count)),
    "idle": lambda peer, seconds: child_idle(peer, float(seconds)),
    "import": child_import,
}


def main() -> None:
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        mode, peer, *args = sys.argv[2:]
        print(json.dumps(CHILD_MODES[mode](peer, *args)))
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--messages", type=int, default=20_000)
    parser.add_argument("--events", type=int, default=6)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--loop", choices=["asyncio", "uvloop", "both"], default="both")
    parser.add_argument("--level", choices=["WARNING", "INFO", "both"], default="both",
                        help="the module logger's level (default: each in turn)")
    parser.add_argument("--clock", choices=["cpu", "wall"], default="cpu",
                        help="CPU time of the measuring process (default) or wall-clock time")
    parser.add_argument("--idle", type=float, default=60.0, help="seconds; 0 skips")
    parser.add_argument("--queued", type=int, default=100_000, help="0 skips")
    parser.add_argument("--imports", type=int, default=9, help="processes per peer; 0 skips")
    parser.add_argument("--against", metavar="BUILD_DIR",
                        help="also measure the module of another build directory, side by side")
    args = parser.parse_args()
    if args.against:
        global AGAINST_DIR
        AGAINST_DIR = os.environ["KAVORI_AGAINST_BUILD_DIR"] = str(Path(args.against).resolve())
    loops = ["asyncio", "uvloop"] if args.loop == "both" else [args.loop]
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs")
    levels = ["WARNING", "INFO"] if args.level == "both" else [args.level]
    throughput(args.messages, args.events, args.runs, loops, levels, args.clock)
    if args.imports:
        import_time(args.imports)
    if args.queued:
        queued_memory(args.queued)
    if args.idle:
        idle_cpu(args.idle)


if __name__ == "__main__":
    main()
