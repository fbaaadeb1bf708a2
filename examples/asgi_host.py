"""A Starlette host for kavori.connectors.telegram_bridge: the bridge started and drained by the
app's lifespan, a WebSocket endpoint the bridge mirrors every agent event to, a stand-in
Telegram connector fed through a webhook route, and an agent with text, tool, screenshot and
error events. `test_asgi_host.py` beside it tests it with starlette's TestClient and with
pytest-asyncio.

    PYTHONPATH=<dir holding kavori/connectors/telegram_bridge*.so> python3.14 asgi_host.py --port 8000
    curl -d '{"text": "hello", "chat_id": 7}' http://127.0.0.1:8000/telegram/webhook

Replies are printed ("bot> ..."). Ctrl-C answers every message already taken, then stops.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import logging
import socket
import sys
import types
from collections.abc import AsyncIterator
from dataclasses import dataclass, field
from typing import Any, Protocol

import uvicorn
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse
from starlette.routing import Route, WebSocketRoute
from starlette.websockets import WebSocket, WebSocketDisconnect

from kavori.connectors.telegram_bridge import get_telegram_bridge
from kavori.connectors.telegram_bridge_contract import ChatId, MessageHandler, Metadata
from kavori.connectors.telegram_bridge_drain import drain, drain_and_stop

logger = logging.getLogger("asgi_host")
DRAIN_SECONDS = 30.0
# A 1x1 PNG: what the agent's screenshot tool "takes".
PNG_BASE64 = ("iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNkYPhfDwAChwGA60e6kgAAAABJRU5E"
              "rkJggg==")


class WebhookConnector:
    """Stands in for your Telegram client. Telegram's webhook mode posts each update to a route of
    your app; here the route takes {"text", "chat_id", "from_name"} and sends go to `sent`."""

    is_configured = True

    def __init__(self, default_chat: ChatId | None = None) -> None:
        self._chat_id = default_chat
        self._handler: MessageHandler | None = None
        self.sent: list[tuple[ChatId | None, str]] = []

    def set_message_handler(self, handler: MessageHandler) -> None:
        self._handler = handler

    async def start(self) -> None:
        pass  # a polling client would start its polling task here

    async def stop(self) -> None:
        self._handler = None  # updates posted from now on are refused, so Telegram retries them

    async def deliver(self, text: str, metadata: Metadata) -> bool:
        if self._handler is None:
            return False
        await self._handler(text, metadata)
        return True

    async def send_typing(self, chat_id: ChatId | None = None) -> None:
        pass

    async def send_message(self, text: str, chat_id: ChatId | None = None,
                           parse_mode: str | None = None) -> dict[str, Any]:
        self.sent.append((chat_id, text))
        print("bot> " + text.split("\n", 1)[0], flush=True)
        return {"success": True, "message_ids": [len(self.sent)]}

    async def send_photo(self, path: str, caption: str | None = None,
                         chat_id: ChatId | None = None) -> dict[str, Any]:
        with open(path, "rb") as file:  # the bridge deletes the file once this returns
            self.sent.append((chat_id, f"[photo, {len(file.read())} bytes] {caption}"))
        return {"success": True, "message_ids": [len(self.sent)]}


@dataclass(frozen=True)
class Event:
    type: str
    data: dict[str, Any] = field(default_factory=dict)

    def to_dict(self) -> dict[str, Any]:
        return {"type": self.type, "data": self.data}


class ExampleAgent:
    """Opens a page, takes a screenshot, answers; "fail" in the text adds an error event. Each
    event takes `delay` seconds, as a real agent's steps take time."""

    def __init__(self, delay: float = 0.02) -> None:
        self.delay = delay

    async def process_message(self, text: str) -> AsyncIterator[Event]:
        steps = [Event("tool_call", {"tool": "browser", "arguments": {"operation": "open"}}),
                 Event("tool_result", {"screenshot": True, "image_base64": PNG_BASE64}),
                 Event("text", {"content": f"You said: {text}"})]
        if "fail" in text:
            steps.append(Event("error", {"message": "the page did not load"}))
        for step in [*steps, Event("done")]:
            await asyncio.sleep(self.delay)
            yield step


class PageClient(Protocol):
    """A connected web page: a starlette WebSocket, or a test's recorder."""

    async def send_json(self, data: Any) -> None: ...


class WebSocketManager:
    """Your server's WebSocket clients; the bridge mirrors each message and event to them."""

    def __init__(self) -> None:
        self.clients: set[PageClient] = set()

    async def broadcast(self, message: dict[str, Any]) -> None:
        for client in list(self.clients):
            try:
                await client.send_json(message)
            except Exception:  # a client that went away misses this one
                self.clients.discard(client)


class ServerState:
    """What `get_state()` returns. Starlette's `app.state` has no `get()`, which is all the bridge
    calls on it ("'State' object has no attribute 'get'"): keep your shared objects in an
    object that has one (a dict fits) and hand that over, not `app.state` itself."""

    def __init__(self, connector: WebhookConnector, agent: ExampleAgent) -> None:
        self._values: dict[str, Any] = {"connector_manager": {"telegram": connector},
                                        "agent": agent}

    def get(self, key: str) -> Any:
        return self._values.get(key)


@dataclass
class Host:
    connector: WebhookConnector
    agent: ExampleAgent
    manager: WebSocketManager
    state: ServerState


def install_host_modules(host: Host) -> None:
    """The bridge imports `kavori.gateway.server` (for `get_state`) and `kavori.gateway.ws` (for
    `manager`) by name, at every use. In your server they are files of your package; never run
    that server module as `python -m kavori.gateway.server`: it would be `__main__`, and the name
    `kavori.gateway.server` a second, empty copy of it. This single-file host makes both here."""
    server = types.ModuleType("kavori.gateway.server")
    server.get_state = lambda: host.state  # type: ignore[attr-defined]
    ws = types.ModuleType("kavori.gateway.ws")
    ws.manager = host.manager  # type: ignore[attr-defined]
    sys.modules[server.__name__] = server
    sys.modules[ws.__name__] = ws


@contextlib.asynccontextmanager
async def lifespan(app: Starlette) -> AsyncIterator[None]:
    host: Host = app.state.host
    install_host_modules(host)
    bridge = get_telegram_bridge()
    await bridge.start()
    if not bridge.is_running:  # no connector, or not configured: the bridge logged why
        raise RuntimeError("the Telegram bridge did not start")
    try:
        yield
    finally:
        # Every message already taken is answered before the bridge stops.
        result = await drain_and_stop(bridge, DRAIN_SECONDS)
        if not result:
            logger.warning("Stopped with %d message(s) unanswered (%s)", result.pending,
                           result.outcome.value)


async def webhook(request: Request) -> JSONResponse:
    host: Host = request.app.state.host
    update = await request.json()
    metadata = {"chat_id": update["chat_id"], "from_name": update.get("from_name", "Ann")}
    accepted = await host.connector.deliver(str(update["text"]), metadata)
    return JSONResponse({"ok": accepted}, status_code=200 if accepted else 503)


async def mirror(websocket: WebSocket) -> None:
    manager: WebSocketManager = websocket.app.state.host.manager
    await websocket.accept()
    manager.clients.add(websocket)
    try:
        while True:
            await websocket.receive_text()
    except WebSocketDisconnect:
        pass
    finally:
        manager.clients.discard(websocket)


def create_app(agent_delay: float = 0.02) -> Starlette:
    connector, agent = WebhookConnector(), ExampleAgent(agent_delay)
    app = Starlette(routes=[Route("/telegram/webhook", webhook, methods=["POST"]),
                            WebSocketRoute("/ws", mirror)], lifespan=lifespan)
    app.state.host = Host(connector, agent, WebSocketManager(), ServerState(connector, agent))
    return app


app = create_app()


class DrainingServer(uvicorn.Server):
    """uvicorn closes every connection, WebSockets included, before the lifespan shutdown runs:
    a drain there still answers on Telegram, but the web page misses those events. This server
    drains first, while the page is still connected; the lifespan's drain then finds nothing."""

    async def shutdown(self, sockets: list[socket.socket] | None = None) -> None:
        await drain(get_telegram_bridge(), DRAIN_SECONDS)
        await super().shutdown(sockets)


def main() -> int:
    parser = argparse.ArgumentParser(description="A Starlette host of the Telegram bridge.")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8000)
    parser.add_argument("--agent-delay", type=float, default=0.02)
    options = parser.parse_args()
    logging.basicConfig(level=logging.INFO, format="[%(name)s] %(levelname)s %(message)s")
    # The app object of this module, not an import string: run as a script this file is
    # `__main__`, and "asgi_host:app" would make uvicorn import a second copy of it. One worker:
    # each process would start a bridge, and Telegram serves one consumer per bot token.
    config = uvicorn.Config(create_app(options.agent_delay), host=options.host, port=options.port,
                            workers=1, lifespan="on")
    try:
        DrainingServer(config).run()
    except KeyboardInterrupt:  # uvicorn raises the Ctrl-C again once it has shut down
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
