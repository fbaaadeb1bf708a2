"""Broadcasting to the live page's WebSocket clients."""

from __future__ import annotations

import asyncio
import json

from kavori.gateway.ws import WebSocketManager


class Socket:
    """A client connection; a stalled one never finishes a send."""

    def __init__(self, *, stalled: bool = False):
        self.stalled = stalled
        self.received: list[dict] = []
        self.closed = False

    async def send_str(self, data: str) -> None:
        if self.stalled:
            await asyncio.Event().wait()
        self.received.append(json.loads(data))

    async def close(self) -> None:
        self.closed = True


def test_a_stalled_client_delays_nobody_and_is_dropped_when_it_falls_behind(run):
    async def scenario():
        manager = WebSocketManager(outbox_size=8, history_size=3)
        await manager.broadcast({"n": -1})
        fast, stalled = Socket(), Socket(stalled=True)
        manager.connect(fast)
        manager.connect(stalled)
        for n in range(50):
            await asyncio.wait_for(manager.broadcast({"n": n, "text": "é"}), 0.5)
        for _ in range(20):
            await asyncio.sleep(0)
        late = Socket()
        manager.connect(late)
        for _ in range(5):
            await asyncio.sleep(0)
        clients = manager.connection_count
        await manager.close_all()
        return fast, stalled, late, clients

    fast, stalled, late, clients = run(scenario)
    assert fast.received[0]["type"] == "hello"
    assert [m["n"] for m in fast.received[1:]] == [-1, *range(50)]
    assert fast.received[-1]["text"] == "é"
    assert stalled.closed and stalled.received == []
    # a newcomer gets the hello and the recent history first
    assert late.received == [{"type": "hello", "history": 3}, {"n": 47, "text": "é"},
                             {"n": 48, "text": "é"}, {"n": 49, "text": "é"}]
    assert clients == 2 and fast.closed and late.closed

