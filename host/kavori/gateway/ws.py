"""The WebSocket manager: fans every broadcast out to the connected browser pages.

`manager.broadcast(message)` serialises the dict to JSON once and hands the text to every
connected client. Each client has its own bounded outbox and its own sender task, so a client
that reads slowly (or not at all) delays nobody else: broadcast never waits for a socket. A
client whose outbox overflows is disconnected; the page reconnects by itself and gets the recent
history again.

A new client first receives {"type": "hello", ...}, then the most recent broadcasts (the page
clears what it shows when a hello arrives), then live traffic.
"""

from __future__ import annotations

import asyncio
import collections
import contextlib
import json
import logging
from typing import Any, Protocol

logger = logging.getLogger("kavori.gateway.ws")

OUTBOX_SIZE = 256
HISTORY_SIZE = 200


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
    def __init__(self, *, outbox_size: int = OUTBOX_SIZE, history_size: int = HISTORY_SIZE):
        self.outbox_size = outbox_size
        self.clients: set[Client] = set()
        self.history: collections.deque[str] = collections.deque(maxlen=history_size)
        self.sent_count = 0
        self._names = 0
        self._closing: set[asyncio.Task[None]] = set()

    @property
    def connection_count(self) -> int:
        return len(self.clients)

    def connect(self, socket: Socket, *, name: str | None = None) -> Client:
        """Registers a socket and starts its sender; the hello and the history go first."""
        self._names += 1
        client = Client(self, socket, name or f"#{self._names}", self.outbox_size)
        client.offer(json.dumps({"type": "hello", "history": len(self.history)}))
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
        data = json.dumps(message, ensure_ascii=False, default=str)
        self.history.append(data)
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


async def _close_quietly(socket: Socket) -> None:
    with contextlib.suppress(Exception):
        await socket.close()


manager = WebSocketManager()
