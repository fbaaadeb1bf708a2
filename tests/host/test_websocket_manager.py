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
    for socket in (fast, late):  # every broadcast carries the server's time
        assert all(isinstance(m.pop("at"), int) for m in socket.received[1:])
    assert fast.received[0]["type"] == "hello"
    assert [m["n"] for m in fast.received[1:]] == [-1, *range(50)]
    assert fast.received[-1]["text"] == "é"
    assert stalled.closed and stalled.received == []
    # a newcomer gets the hello and the recent history first
    assert late.received == [{"type": "hello", "history": 3, "trimmed": 48},
                             {"n": 47, "text": "é"},
                             {"n": 48, "text": "é"}, {"n": 49, "text": "é"}]
    assert clients == 2 and fast.closed and late.closed



def test_history_kept_in_a_file_outlives_the_manager_within_its_bounds(run, tmp_path):
    file = tmp_path / "history.jsonl"

    async def scenario():
        first = WebSocketManager(history_size=5, history_chars=200)
        first.keep_history_in(file)
        for n in range(20):
            await first.broadcast({"n": n, "at": n})
        await first.broadcast({"n": 20, "big": "x" * 150, "at": 20})  # pushes out by size
        with file.open("a", encoding="utf-8") as cut_short:  # the server died mid-write
            cut_short.write('{"n": 2')
        second = WebSocketManager(history_size=5, history_chars=200)
        second.keep_history_in(file)
        client = Socket()
        second.connect(client)
        for _ in range(5):
            await asyncio.sleep(0)
        await second.close_all()
        return first, client, file.read_text(encoding="utf-8").splitlines()

    first, client, lines = run(scenario)
    kept = [m["n"] for m in client.received[1:]]
    assert kept == [m["n"] for m in map(json.loads, first.history)] == [19, 20]
    # the count of broadcasts let go of is kept too
    assert client.received[0] == {"type": "hello", "history": 2, "trimmed": 19}
    assert first.trimmed == 19 and len(lines) == 3  # rewritten: a header and what is kept
