"""The WebSocket manager: fans every broadcast out to the connected browser pages.

`manager.broadcast(message)` serialises the dict to JSON once and hands the text to every
connected client. Each client has its own bounded outbox and its own sender task, so a client
that reads slowly (or not at all) delays nobody else: broadcast never waits for a socket. A
client whose outbox overflows is disconnected; the page reconnects by itself and gets the recent
history again.

A new client first receives {"type": "hello", "history": N, "trimmed": M}, then the N most
recent broadcasts (the page clears what it shows when a hello arrives), then live traffic; M
older ones were let go. Every broadcast is stamped with the server's time ("at", milliseconds
since the epoch) unless it has an "at" of its own.

The history is bounded by count and by size. `keep_history_in(path)` also keeps it in a file
(JSON lines), so the conversation outlives a restart of the server.
"""

from __future__ import annotations

import asyncio
import collections
import contextlib
import json
import logging
import os
import time
from pathlib import Path
from typing import Any, Protocol

logger = logging.getLogger("kavori.gateway.ws")

OUTBOX_SIZE = 256
HISTORY_SIZE = 200
HISTORY_CHARS = 4_000_000  # screenshots travel as base64 inside the events
HISTORY_HEADER = "kept_history"  # first line of the history file: how many were let go before


class Socket(Protocol):
    """What a client connection must offer: aiohttp's WebSocketResponse fits."""

    async def send_str(self, data: str) -> None: ...

    async def close(self) -> Any: ...


class Client:
    """One connected page: its socket, its outbox and the task that drains the outbox."""

    def __init__(self, manager: WebSocketManager, socket: Socket, name: str, outbox_size: int):
        self.manager = manager
        self.socket = socket
        self.name = name
        self.outbox: asyncio.Queue[str] = asyncio.Queue(outbox_size)
        self.sender: asyncio.Task[None] | None = None
        self.closed = False

    def offer(self, data: str) -> bool:
        """Queues one message; False when the outbox is full."""
        if self.closed:
            return False
        try:
            self.outbox.put_nowait(data)
        except asyncio.QueueFull:
            return False
        return True

    async def run_sender(self) -> None:
        try:
            while True:
                data = await self.outbox.get()
                await self.socket.send_str(data)
        except asyncio.CancelledError:
            raise
        except Exception as error:  # the socket went away under us
            logger.debug("WebSocket client %s: send failed: %s", self.name, error)
        finally:
            self.manager.disconnect(self)


class WebSocketManager:
    def __init__(self, *, outbox_size: int = OUTBOX_SIZE, history_size: int = HISTORY_SIZE,
                 history_chars: int = HISTORY_CHARS):
        self.outbox_size = outbox_size
        self.clients: set[Client] = set()
        self.history: collections.deque[str] = collections.deque()
        self.history_size = history_size
        self.history_chars = history_chars
        self.trimmed = 0  # broadcasts let go of to keep the history within its bounds
        self.sent_count = 0
        self._history_chars = 0
        self._history_file: Path | None = None
        self._file_lines = 0
        self._names = 0
        self._closing: set[asyncio.Task[None]] = set()

    def keep_history_in(self, path: str | os.PathLike[str]) -> None:
        """Loads the history kept in `path` (if any) and keeps every later broadcast there."""
        file = Path(path)
        try:
            lines = file.read_text(encoding="utf-8").splitlines()
        except FileNotFoundError:
            lines = []
        self._history_file = None
        self.clear_history()
        for line in lines:
            try:
                entry = json.loads(line)
            except ValueError:  # a line cut short when the server died mid-write
                continue
            if isinstance(entry, dict) and entry.get("type") == HISTORY_HEADER:
                self.trimmed += int(entry.get("trimmed", 0))
            else:
                self._remember(line)
        self._history_file = file
        self._rewrite_file()

    def _remember(self, data: str) -> None:
        self.history.append(data)
        self._history_chars += len(data)
        while len(self.history) > self.history_size or (
                self._history_chars > self.history_chars and len(self.history) > 1):
            self._history_chars -= len(self.history.popleft())
            self.trimmed += 1
        if self._history_file is None:
            return
        with self._history_file.open("a", encoding="utf-8") as file:
            file.write(data + "\n")
        self._file_lines += 1
        if self._file_lines > 2 * self.history_size:
            self._rewrite_file()

    def _rewrite_file(self) -> None:
        if self._history_file is None:
            return
        self._history_file.parent.mkdir(parents=True, exist_ok=True)
        scratch = self._history_file.with_name(self._history_file.name + ".new")
        header = json.dumps({"type": HISTORY_HEADER, "trimmed": self.trimmed})
        scratch.write_text("".join(data + "\n" for data in [header, *self.history]),
                           encoding="utf-8")
        scratch.replace(self._history_file)
        self._file_lines = len(self.history)

    @property
    def connection_count(self) -> int:
        return len(self.clients)

    def connect(self, socket: Socket, *, name: str | None = None) -> Client:
        """Registers a socket and starts its sender; the hello and the history go first."""
        self._names += 1
        client = Client(self, socket, name or f"#{self._names}", self.outbox_size)
        client.offer(json.dumps({"type": "hello", "history": len(self.history),
                                 "trimmed": self.trimmed}))
        for data in self.history:
            client.offer(data)
        client.sender = asyncio.get_running_loop().create_task(
            client.run_sender(), name=f"ws-sender {client.name}"
        )
        self.clients.add(client)
        logger.info("WebSocket client %s connected (%d connected)", client.name, len(self.clients))
        return client

    def disconnect(self, client: Client) -> None:
        """Forgets a client and stops its sender (the socket is closed in the background)."""
        if client.closed:
            return
        client.closed = True
        self.clients.discard(client)
        sender = client.sender
        if sender is not None and sender is not asyncio.current_task() and not sender.done():
            sender.cancel()
        closing = asyncio.get_running_loop().create_task(_close_quietly(client.socket))
        self._closing.add(closing)
        closing.add_done_callback(self._closing.discard)
        logger.info("WebSocket client %s disconnected (%d connected)", client.name,
                    len(self.clients))

    async def broadcast(self, message: dict[str, Any]) -> None:
        """Sends `message` as JSON to every connected client without waiting for any of them."""
        if isinstance(message, dict) and "at" not in message:
            message = {**message, "at": round(time.time() * 1000)}
        data = json.dumps(message, ensure_ascii=False, default=str)
        self._remember(data)
        self.sent_count += 1
        for client in list(self.clients):
            if not client.offer(data):
                logger.warning("WebSocket client %s is not keeping up; disconnecting it",
                               client.name)
                self.disconnect(client)
        # One turn of the loop lets every healthy sender pass the message on, so a burst of
        # broadcasts does not fill the outboxes of clients that are keeping up.
        await asyncio.sleep(0)

    async def serve(self, socket: Any, *, name: str | None = None) -> None:
        """Runs one aiohttp WebSocketResponse until the page goes away. Messages from the page
        are read (to notice the close) and ignored."""
        client = self.connect(socket, name=name)
        try:
            async for _ in socket:
                pass
        finally:
            self.disconnect(client)
            if client.sender is not None:
                with contextlib.suppress(asyncio.CancelledError):
                    await client.sender

    async def close_all(self) -> None:
        """Disconnects every client (used when the web server shuts down)."""
        clients = list(self.clients)
        for client in clients:
            self.disconnect(client)
        for client in clients:
            if client.sender is not None:
                with contextlib.suppress(asyncio.CancelledError):
                    await client.sender
        await asyncio.gather(*self._closing, return_exceptions=True)

    def clear_history(self) -> None:
        self.history.clear()
        self._history_chars = 0
        self.trimmed = 0
        self._rewrite_file()


async def _close_quietly(socket: Socket) -> None:
    with contextlib.suppress(Exception):
        await socket.close()


manager = WebSocketManager()
