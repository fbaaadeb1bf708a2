"""What a host must provide to `kavori.connectors.telegram_bridge`, as typing protocols.

Installed with the module as `kavori.connectors.telegram_bridge_contract`, so that a type
checker finds it in site-packages: `from kavori.connectors.telegram_bridge_contract import
TelegramConnector`. It imports nothing at run time but `typing` and `collections.abc`.

Annotate your objects with these (`connector: TelegramConnector = MyConnector(...)`) and a type
checker tells you when one of them does not fit. Nothing here is imported by the module: it
reaches your objects at run time through two modules that your server must make importable:

    kavori.gateway.server   a function  get_state() -> ServerState
    kavori.gateway.ws       an object   manager: WebSocketManager

Every call is made on the event loop thread that runs the bridge. Where a method returns an
`Awaitable`, the bridge awaits it: an `async def` method fits.
"""

from __future__ import annotations

from collections.abc import AsyncIterable, Awaitable, Callable, Mapping
from typing import Any, Protocol

type ChatId = int | str
type Metadata = dict[str, Any]
"""Passed with every inbound text. The bridge reads "from_name" (the sender's display name) and
"chat_id" (where to answer); every other key is carried along unread."""

type MessageHandler = Callable[[str, Metadata], Awaitable[None]]
"""The bridge's callback: call it once per inbound message with an exact `str` and an exact
`dict` (subclasses are refused with TypeError) and await what it returns. It only queues the
message, so it returns at once."""


class SendResult(Protocol):
    """What awaiting send_message / send_photo gives: read with get("success") (truthy when
    delivered), get("message_ids") (logged) and get("message") (failure text, logged; may be
    missing). A plain dict fits."""

    def get(self, key: str, /) -> Any: ...


class TelegramConnector(Protocol):
    """Your Telegram client. The bridge looks it up as state.get("connector_manager")
    .get("telegram") each time it needs it and never keeps it."""

    @property
    def is_configured(self) -> object:
        """Read, never called: truthy when the connector can be used."""
        ...

    @property
    def _chat_id(self) -> ChatId | None:
        """The default chat: replies go here when the metadata has no truthy "chat_id"."""
        ...

    def set_message_handler(self, handler: MessageHandler, /) -> object:
        """Called by start(); keep the handler and call it for every inbound message."""
        ...

    def start(self) -> Awaitable[object]:
        """Awaited by the bridge's start(): complete once polling is under way."""
        ...

    def stop(self) -> Awaitable[object]:
        """Awaited by the bridge's stop(): polling stops."""
        ...

    def send_typing(self, *, chat_id: ChatId | None) -> Awaitable[object]:
        """Awaited before the agent runs and after each counted tool call; the chat id may be
        None when the metadata has none. Do not raise for a failed indicator: an exception here
        ends the agent run for that message."""
        ...

    def send_message(self, text: str, /, *, chat_id: ChatId,
                     parse_mode: str) -> Awaitable[SendResult]:
        """The whole reply, unsplit and of any length (split it yourself if your service has a
        limit); parse_mode is always ""."""
        ...

    def send_photo(self, path: str, /, *, caption: str,
                   chat_id: ChatId | None) -> Awaitable[SendResult]:
        """A closed PNG file in the temporary directory, removed by the bridge as soon as the
        awaited call ends: read it before you return. The caption is "📸 Screenshot"."""
        ...


class ConnectorManager(Protocol):
    def get(self, name: str, /) -> TelegramConnector | None:
        """Called with "telegram"; a falsy result means there is no connector."""
        ...


class AgentEvent(Protocol):
    @property
    def type(self) -> str:
        """"text", "tool_call", "tool_result", "error", "done"; anything else is only
        mirrored to the WebSocket clients."""
        ...

    @property
    def data(self) -> Mapping[str, Any]:
        """text: "content"; tool_call: "tool", "arguments" (a mapping; its "operation" is
        read); tool_result: "screenshot" (flag) and "image_base64" (PNG as base64);
        error: "message"."""
        ...

    def to_dict(self) -> Any:
        """The form broadcast to the WebSocket clients, passed to broadcast() unchanged."""
        ...


class Agent(Protocol):
    def process_message(self, text: str, /) -> AsyncIterable[AgentEvent]:
        """Called, not awaited: the result is consumed with `async for` and must end when the
        agent is done. An exception raised while iterating becomes a line of the reply."""
        ...


class ServerState(Protocol):
    def get(self, key: str, /) -> Any:
        """Called with "connector_manager" (a ConnectorManager, or falsy when there is none) and
        with "agent" (an Agent, or falsy when there is none)."""
        ...


class WebSocketManager(Protocol):
    def broadcast(self, message: Any, /) -> Awaitable[object]:
        """One positional argument: the incoming-message notice (a dict) or an event's
        to_dict(). Exceptions are tolerated and dropped by the bridge."""
        ...


class ServerModule(Protocol):
    """The module kavori.gateway.server, as the bridge uses it."""

    def get_state(self) -> ServerState: ...


class WebSocketModule(Protocol):
    """The module kavori.gateway.ws, as the bridge uses it."""

    @property
    def manager(self) -> WebSocketManager: ...
