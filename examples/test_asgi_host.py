"""Tests of asgi_host.py, as a host author writes them for an app that runs the bridge: with
starlette's TestClient (each client runs the app on an event loop of its own, so the two runs
below put the one bridge of the process on two loops) and with pytest-asyncio, a loop per test.

    PYTHONPATH=<dir holding kavori/connectors/telegram_bridge*.so> python3.14 -m pytest test_asgi_host.py
"""

from __future__ import annotations

from typing import Any

import httpx2
import pytest
from starlette.testclient import TestClient

from asgi_host import Host, create_app

MIRRORED = ["telegram_message", "tool_call", "tool_result", "text", "done"]


def reply(text: str) -> str:
    return f"You said: {text}\n\n📋 Actions:\n🔧 browser.open"


def answered(host: Host) -> list[str]:
    return [text for _, text in host.connector.sent if not text.startswith("[photo")]


@pytest.mark.parametrize("run", ["first", "second"])
def test_test_client_drains_at_the_end_of_the_lifespan(run: str) -> None:
    app = create_app(agent_delay=0.01)
    host: Host = app.state.host
    texts = [f"{run} {n}" for n in range(3)]
    with TestClient(app) as client, client.websocket_connect("/ws") as page:
        for text in texts:
            response = client.post("/telegram/webhook", json={"text": text, "chat_id": 7})
            assert response.json() == {"ok": True}
        # The first message's mirror; the others are still queued when the client exits.
        assert [page.receive_json()["type"] for _ in MIRRORED] == MIRRORED
    assert answered(host) == [reply(text) for text in texts]
    assert len(host.connector.sent) == 2 * len(texts)  # a screenshot each


class Page:
    """Records what the bridge mirrors, as a connected page would receive it."""

    def __init__(self) -> None:
        self.received: list[dict[str, Any]] = []

    async def send_json(self, data: Any) -> None:
        self.received.append(data)


@pytest.mark.asyncio
@pytest.mark.parametrize("texts", [["hello"], ["a", "fail b", "c"]])
async def test_on_a_loop_per_test(texts: list[str]) -> None:
    app = create_app(agent_delay=0.01)
    host: Host = app.state.host
    page = Page()
    host.manager.clients.add(page)
    # httpx2's ASGI transport does not run the lifespan: enter it as the server would.
    async with app.router.lifespan_context(app):
        transport = httpx2.ASGITransport(app=app)
        async with httpx2.AsyncClient(transport=transport, base_url="http://host") as client:
            for text in texts:
                response = await client.post("/telegram/webhook", json={"text": text, "chat_id": 7})
                assert response.json() == {"ok": True}
    expected = [reply(text).replace("\n\n", "\n⚠️ the page did not load\n\n", 1)
                if "fail" in text else reply(text) for text in texts]
    assert answered(host) == expected
    mirrored = [message["type"] for message in page.received]
    assert mirrored.count("done") == len(texts) and mirrored.count("error") == texts.count("fail b")
