"""Fixtures for the stand-in host: the whole Telegram side (Bot API emulator, connector, demo
agent, server state, bridge) assembled on the test's event loop, and helpers to talk to it."""

from __future__ import annotations

import asyncio
import contextlib
import logging
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pytest

HOST_DIR = Path(__file__).resolve().parents[2] / "host"
if str(HOST_DIR) not in sys.path:
    sys.path.append(str(HOST_DIR))

from kavori.connectors.telegram import TelegramConnector  # noqa: E402
from kavori.demo.agent import DemoAgent  # noqa: E402
from kavori.demo.emulator import DEMO_CHAT_ID, BotApiEmulator  # noqa: E402
from kavori.gateway import ws  # noqa: E402
from kavori.gateway.server import WebServer, get_state  # noqa: E402

BRIDGE_LOGGER = "kavori.connectors.telegram_bridge"


@dataclass
class Stack:
    emulator: BotApiEmulator
    connector: TelegramConnector
    agent: DemoAgent
    bridge: Any
    web: WebServer | None = None
    page_url: str | None = None
    notes: dict[str, Any] = field(default_factory=dict)

    @property
    def idle(self) -> bool:
        return self.connector.unanswered == 0

    async def exchange(self, text: str, *, chat_id: int = DEMO_CHAT_ID,
                       timeout: float = 15.0, **sender: Any) -> list[dict[str, Any]]:
        """A user writes `text`; returns everything the bot sent until its text reply was
        complete."""
        since = len(self.emulator.sent)
        await self.emulator.inject_message(text, chat_id=chat_id, **sender)
        loop = asyncio.get_running_loop()
        deadline = loop.time() + timeout
        while True:
            items = self.emulator.sent[since:]
            if any(i["method"] == "sendMessage" for i in items) and self.idle:
                return items
            if loop.time() > deadline:
                raise AssertionError(f"no complete reply to {text!r} within {timeout} s: {items}")
            await self.emulator.wait_sent(len(self.emulator.sent), timeout=0.1)


@contextlib.asynccontextmanager
async def telegram_stack(*, agent: DemoAgent | None = None, web: bool = False,
                         emulator_options: dict[str, Any] | None = None,
                         **connector_options: Any):
    """Emulator + connector + agent registered in the server state + a fresh bridge, started;
    everything is stopped and the state emptied afterwards. The emulator starts with a webhook
    set, as a bot that was used elsewhere would have: starting must remove it."""
    from kavori.connectors.telegram_bridge import TelegramBridge

    emulator = BotApiEmulator(**(emulator_options or {}))
    await emulator.start()
    emulator.webhook_url = "https://old-host.invalid/hook"
    agent = agent or DemoAgent()
    connector = TelegramConnector(emulator.token, default_chat_id=DEMO_CHAT_ID,
                                  base_url=emulator.api_url, **connector_options)
    state = get_state()
    state.set("agent", agent)
    state.connectors.register("telegram", connector)
    stack = Stack(emulator, connector, agent, TelegramBridge())
    try:
        if web:
            stack.web = WebServer()
            stack.page_url = await stack.web.start()
        await stack.bridge.start()
        yield stack
    finally:
        try:
            if stack.bridge.is_running:
                await stack.bridge.stop()
            if stack.web is not None:
                await stack.web.stop()
        finally:
            await emulator.close()
            state.reset()
            ws.manager.clear_history()


@pytest.fixture
def bridge_log(caplog: pytest.LogCaptureFixture) -> pytest.LogCaptureFixture:
    caplog.set_level(logging.DEBUG, logger="kavori")
    return caplog


def messages(caplog: pytest.LogCaptureFixture, logger: str) -> list[str]:
    return [r.getMessage() for r in caplog.records if r.name == logger]
