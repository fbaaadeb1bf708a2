"""A small Kavori gateway: the server state that connectors and the agent are registered in,
and the web server that serves the live page and its WebSocket.

    state = get_state()
    state.connectors.register("telegram", connector)
    state.set("agent", agent)
    web = WebServer(); await web.start("127.0.0.1", 8765); ...; await web.stop()

`get_state()` returns the one process-wide state. Components look things up by name at the
moment they need them: `state.get("connector_manager").get("telegram")`, `state.get("agent")`.
"""

from __future__ import annotations

import asyncio
import logging
from pathlib import Path
from typing import Any

from aiohttp import web

from kavori.gateway import ws

logger = logging.getLogger("kavori.gateway.server")

STATIC_DIR = Path(__file__).resolve().parent / "static"


class ConnectorManager:
    """Named connectors ("telegram", ...)."""

    def __init__(self) -> None:
        self._connectors: dict[str, Any] = {}

    def register(self, name: str, connector: Any) -> None:
        self._connectors[name] = connector

    def unregister(self, name: str) -> Any:
        return self._connectors.pop(name, None)

    def get(self, name: str) -> Any:
        return self._connectors.get(name)

    def names(self) -> list[str]:
        return sorted(self._connectors)


class ServerState:
    """The server's shared objects by name. "connector_manager" always exists."""

    def __init__(self) -> None:
        self.connectors = ConnectorManager()
        self._values: dict[str, Any] = {"connector_manager": self.connectors}

    def get(self, key: str, default: Any = None) -> Any:
        return self._values.get(key, default)

    def set(self, key: str, value: Any) -> None:
        if key == "connector_manager":
            raise ValueError("the connector manager cannot be replaced")
        self._values[key] = value

    def remove(self, key: str) -> Any:
        if key == "connector_manager":
            raise ValueError("the connector manager cannot be removed")
        return self._values.pop(key, None)

    def reset(self) -> None:
        """Forgets every registered object (the connector manager stays, emptied)."""
        self.connectors = ConnectorManager()
        self._values = {"connector_manager": self.connectors}


_state = ServerState()


def get_state() -> ServerState:
    return _state


# --- web server -------------------------------------------------------------------------------


async def _index(request: web.Request) -> web.StreamResponse:
    return web.FileResponse(STATIC_DIR / "index.html", headers={"Cache-Control": "no-store"})


async def _websocket(request: web.Request) -> web.StreamResponse:
    socket = web.WebSocketResponse(heartbeat=20.0)
    await socket.prepare(request)
    peer = request.remote or "?"
    await ws.manager.serve(socket, name=peer)
    return socket


def create_app() -> web.Application:
    app = web.Application()
    app.router.add_get("/", _index)
    app.router.add_get("/ws", _websocket)
    app.router.add_static("/static", STATIC_DIR)
    return app


async def serve(app: web.Application, host: str, port: int) -> tuple[web.AppRunner, str]:
    """Starts `app` on host:port (port 0 picks a free one); returns its runner and base URL."""
    runner = web.AppRunner(app, access_log=None, shutdown_timeout=1.0)
    await runner.setup()
    site = web.TCPSite(runner, host, port)
    try:
        await site.start()
    except BaseException:
        await runner.cleanup()
        raise
    bound = runner.addresses[0]
    return runner, f"http://{bound[0]}:{bound[1]}"


class WebServer:
    """Serves the live page at / and the WebSocket at /ws."""

    def __init__(self) -> None:
        self._runner: web.AppRunner | None = None
        self.url: str | None = None

    async def start(self, host: str = "127.0.0.1", port: int = 0) -> str:
        self._runner, base = await serve(create_app(), host, port)
        self.url = base + "/"
        logger.info("Live page at %s", self.url)
        return self.url

    async def stop(self) -> None:
        runner, self._runner = self._runner, None
        if runner is None:
            return
        await ws.manager.close_all()
        await runner.cleanup()
        await asyncio.sleep(0)
