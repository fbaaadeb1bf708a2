"""The smallest complete host for kavori.connectors.telegram_bridge: copy it and replace the
console connector with your Telegram client and the echo agent with your agent.

    PYTHONPATH=<dir holding kavori/connectors/telegram_bridge*.so> python3.14 minimal_host.py

Each line on stdin is a message from one Telegram user; the bridge's replies are printed. Once
stdin ends, the host drains the bridge (every queued message answered) and stops it.
"""

from __future__ import annotations

import asyncio
import logging
import sys
import types
from collections.abc import AsyncIterator
from dataclasses import dataclass, field
from typing import Any

from kavori.connectors.telegram_bridge import get_telegram_bridge
from kavori.connectors.telegram_bridge_contract import (Agent, ConnectorManager, MessageHandler,
                                                        TelegramConnector, WebSocketManager)
from kavori.connectors.telegram_bridge_drain import drain_and_stop

CHAT_ID = 1001


class ConsoleConnector:
    """Stands in for a Telegram client: stdin lines are inbound messages, sends are printed."""

    is_configured = True

    def __init__(self) -> None:
        self._chat_id: int | str | None = CHAT_ID
        self._handler: MessageHandler | None = None
        self._poller: asyncio.Task[None] | None = None
        self.input_ended = asyncio.Event()

    def set_message_handler(self, handler: MessageHandler) -> None:
        self._handler = handler

    async def start(self) -> None:
        self._poller = asyncio.create_task(self._poll())

    async def stop(self) -> None:
        if self._poller is not None:
            self._poller.cancel()
            self._poller = None

    async def _poll(self) -> None:
        while line := await asyncio.to_thread(sys.stdin.readline):
            if line.strip() and self._handler is not None:
                await self._handler(line.strip(), {"from_name": "Ann", "chat_id": CHAT_ID})
        self.input_ended.set()

    async def send_typing(self, chat_id: int | str | None = None) -> None:
        print(f"[chat {chat_id}] (typing…)", flush=True)

    async def send_message(self, text: str, chat_id: int | str | None = None,
                           parse_mode: str | None = None) -> dict[str, Any]:
        print(f"[chat {chat_id}] bot> {text}", flush=True)
        return {"success": True, "message_ids": [len(text)]}

    async def send_photo(self, path: str, caption: str | None = None,
                         chat_id: int | str | None = None) -> dict[str, Any]:
        with open(path, "rb") as file:  # the bridge deletes the file once this returns
            print(f"[chat {chat_id}] bot> [photo, {len(file.read())} bytes] {caption}", flush=True)
        return {"success": True, "message_ids": [0]}


@dataclass(frozen=True)
class Event:
    type: str
    data: dict[str, Any] = field(default_factory=dict)

    def to_dict(self) -> dict[str, Any]:
        return {"type": self.type, "data": self.data}


class EchoAgent:
    async def process_message(self, text: str) -> AsyncIterator[Event]:
        yield Event("tool_call", {"tool": "clock", "arguments": {"operation": "read"}})
        yield Event("text", {"content": f"You said: {text}"})
        yield Event("done")


class PrintingWebSocketManager:
    async def broadcast(self, message: dict[str, Any]) -> None:
        print(f"[websocket] {message['type']}", flush=True)


class State:
    def __init__(self, connector: TelegramConnector, agent: Agent) -> None:
        connectors: ConnectorManager = {"telegram": connector}  # a dict's get() fits
        self._values: dict[str, Any] = {"connector_manager": connectors, "agent": agent}

    def get(self, key: str) -> Any:
        return self._values.get(key)


def install_host_modules(state: State, manager: WebSocketManager) -> None:
    """The bridge imports kavori.gateway.server and kavori.gateway.ws by name when it needs them.
    In a real server they are files of your package; this single-file host makes them here."""
    server = types.ModuleType("kavori.gateway.server")
    server.get_state = lambda: state  # type: ignore[attr-defined]
    ws = types.ModuleType("kavori.gateway.ws")
    ws.manager = manager  # type: ignore[attr-defined]
    sys.modules[server.__name__] = server
    sys.modules[ws.__name__] = ws


async def main() -> int:
    connector = ConsoleConnector()
    # Annotated with the protocols: a type checker reports any object that does not fit.
    checked_connector: TelegramConnector = connector
    agent: Agent = EchoAgent()
    install_host_modules(State(checked_connector, agent), PrintingWebSocketManager())

    bridge = get_telegram_bridge()
    await bridge.start()
    if not bridge.is_running:  # no connector, or it is not configured: logged by the bridge
        return 1
    try:
        await connector.input_ended.wait()
    finally:
        # The last messages may still be queued or being answered: answer them, then stop.
        drained = await drain_and_stop(bridge, timeout=30.0)
    return 0 if drained else 1


if __name__ == "__main__":
    logging.basicConfig(level=logging.INFO, format="[%(name)s] %(levelname)s %(message)s",
                        stream=sys.stdout)
    sys.exit(asyncio.run(main()))
