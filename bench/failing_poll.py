"""What a persistent fault of the worker's queue wait costs: a queue whose `get()` raises on every
call, for S seconds of a started worker. Reports the "Queue processor error: " lines per second and
the CPU time the process used per second of wall time.

    python bench/failing_poll.py [--seconds S]

Needs the build directory (KAVORI_BUILD_DIR, default build/release) on sys.path.
"""

from __future__ import annotations

import argparse
import asyncio
import logging
import os
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(Path(os.environ.get("KAVORI_BUILD_DIR", ROOT / "build" / "release"))))

from kavori.connectors import telegram_bridge as tb  # noqa: E402


class Counter(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.errors = 0

    def emit(self, record: logging.LogRecord) -> None:
        if record.getMessage().startswith("Queue processor error: "):
            self.errors += 1


async def broken_get() -> None:
    raise OSError("queue broken")


async def measure(seconds: float) -> tuple[int, float, float]:
    bridge = tb.TelegramBridge()
    bridge._queue.get = broken_get
    bridge._running = True
    started_wall, started_cpu = time.perf_counter(), time.process_time()
    worker = asyncio.create_task(bridge._process_queue())
    await asyncio.sleep(seconds)
    bridge._running = False
    worker.cancel()
    try:
        await worker
    except asyncio.CancelledError:
        pass
    return COUNTER.errors, time.perf_counter() - started_wall, time.process_time() - started_cpu


COUNTER = Counter()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0)
    args = parser.parse_args()
    logger = logging.getLogger("kavori.connectors.telegram_bridge")
    logger.propagate = False
    logger.handlers[:] = [COUNTER]
    logger.setLevel(logging.INFO)
    lines, wall, cpu = asyncio.run(measure(args.seconds))
    print(f"{wall:.1f} s with a failing queue get: {lines} error lines ({lines / wall:.1f} per s), "
          f"CPU {cpu:.3f} s ({100 * cpu / wall:.2f}% of one core)")


if __name__ == "__main__":
    main()
