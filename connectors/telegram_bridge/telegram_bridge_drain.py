"""Waiting until a Telegram bridge has answered every message it took, before stopping it.

Installed with the module as `kavori.connectors.telegram_bridge_drain`:

    from kavori.connectors.telegram_bridge_drain import drain_and_stop

    result = await drain_and_stop(bridge, timeout=30.0)   # in your server's shutdown
    if not result:
        logging.warning("stopped with %d message(s) unanswered: %s", result.pending, result.outcome)

`stop()` abandons the message being handled and keeps the queued ones in memory, where they die
with the process, while your connector has already confirmed them to Telegram. Drain first.
A drain never waits for a worker that cannot make progress: when the bridge was never started,
is stopped, its worker task has ended, or the worker belongs to another (or a closed) event
loop, it returns at once with `DrainOutcome.NO_WORKER`.
"""

from __future__ import annotations

import asyncio
import enum
from dataclasses import dataclass
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from kavori.connectors.telegram_bridge import TelegramBridge

__all__ = ["DrainOutcome", "DrainResult", "drain", "drain_and_stop", "pending"]


class DrainOutcome(enum.Enum):
    DRAINED = "drained"
    """The queue is empty and no message is being handled."""
    TIMED_OUT = "timed out"
    """Messages were still queued or being handled when the time ran out."""
    NO_WORKER = "no worker"
    """Messages are waiting, but no worker on this event loop will take them."""


@dataclass(frozen=True)
class DrainResult:
    outcome: DrainOutcome
    queued: int
    """Messages still in the queue when the drain returned."""
    handling: bool
    """Whether a message was being handled when the drain returned."""

    @property
    def pending(self) -> int:
        """Messages not yet answered: the queued ones and the one being handled."""
        return self.queued + self.handling

    def __bool__(self) -> bool:
        return self.outcome is DrainOutcome.DRAINED


def pending(bridge: TelegramBridge) -> int:
    """Messages the bridge took and has not answered yet: queued, or being handled."""
    return bridge._queue.qsize() + bool(bridge._processing)


def _worker_alive(bridge: TelegramBridge, loop: asyncio.AbstractEventLoop) -> bool:
    # Read afresh at every poll: a start on another loop replaces the task (and may replace the
    # queue), and a worker whose loop has been closed counts as not running.
    task = bridge._worker_task
    return bridge.is_running and task is not None and not task.done() and task.get_loop() is loop


def _result(bridge: TelegramBridge, outcome: DrainOutcome) -> DrainResult:
    return DrainResult(outcome, bridge._queue.qsize(), bool(bridge._processing))


async def drain(bridge: TelegramBridge, timeout: float | None = 30.0, *,
                interval: float = 0.05) -> DrainResult:
    """Waits until `bridge` has no queued message and none being handled, for at most `timeout`
    seconds (None: no limit), checking every `interval` seconds. Messages that arrive meanwhile
    are waited for too. Returns at once with `NO_WORKER` when messages wait but no live worker of
    the running event loop will take them. The bridge is left running."""
    loop = asyncio.get_running_loop()
    try:
        async with asyncio.timeout(timeout):
            while not bridge._queue.empty() or bridge._processing:
                if not _worker_alive(bridge, loop):
                    return _result(bridge, DrainOutcome.NO_WORKER)
                await asyncio.sleep(interval)
    except TimeoutError:
        return _result(bridge, DrainOutcome.TIMED_OUT)
    return _result(bridge, DrainOutcome.DRAINED)


async def drain_and_stop(bridge: TelegramBridge, timeout: float | None = 30.0, *,
                         interval: float = 0.05) -> DrainResult:
    """`drain()`, then `await bridge.stop()` whatever the drain's outcome (also when the drain is
    cancelled). Returns the drain's result: falsy when messages were left unanswered."""
    try:
        return await drain(bridge, timeout, interval=interval)
    finally:
        await bridge.stop()
