"""The server's Telegram connector, on python-telegram-bot's `Bot`.

It long-polls `getUpdates` for new messages and hands each text from an allowed chat to the
registered message handler as `handler(text, metadata)`; it sends typing indicators, texts and
photos back. Sends return a result dict: "success", "message_ids" (every message the send
produced) and, on failure, "message".

What it takes care of so that callers don't have to:
- texts longer than Telegram's 4096 characters are split at paragraph, line or word boundaries
  (never inside a surrogate pair) and sent as several messages;
- a 429 answer is retried after its retry_after, a bounded number of times;
- a photo that Telegram refuses for its size or dimensions goes out as a document instead;
- only allowed chats reach the handler (by default only the default chat); other senders are
  dropped with one log line.

`base_url` points the connector at another Bot API server (e.g. the offline emulator): an http
or https URL whose path ends in "/bot" (the token is appended) or in "/bot{token}". It is checked
when the connector is made, and no error text ever contains the token. The HTTP client logs
request URLs, token included, at INFO and DEBUG: put `TokenMask(token)` on your log handlers.
"""

from __future__ import annotations

import asyncio
import datetime as dt
import functools
import logging
import os
import unicodedata
import urllib.parse
from collections.abc import Awaitable, Callable, Iterable
from pathlib import Path
from typing import Any, TypeVar

# python-telegram-bot is moving its time periods (RetryAfter.retry_after among them) from int
# to timedelta and warns on every RetryAfter it builds until the caller opts in. The connector
# handles both forms; opting in keeps the warning (an error under -W error) away.
os.environ.setdefault("PTB_TIMEDELTA", "true")

import telegram  # noqa: E402
from telegram import error as tg_error  # noqa: E402
from telegram.constants import ChatAction  # noqa: E402
from telegram.request import HTTPXRequest  # noqa: E402

logger = logging.getLogger("kavori.connectors.telegram")

MESSAGE_LIMIT = 4096  # characters as Telegram counts them: UTF-16 code units
CAPTION_LIMIT = 1024
DEFAULT_API_URL = "https://api.telegram.org/bot{token}"

# Telegram's answers to a photo it will not take as a photo (but would as a document).
PHOTO_REFUSALS = (
    "photo_invalid_dimensions",
    "photo_save_file_invalid",
    "image_process_failed",
    "photo_too_big",
    "entity too large",
)

T = TypeVar("T")
MessageHandler = Callable[[str, dict[str, Any]], Awaitable[Any]]


class ConfigurationError(RuntimeError):
    """The connector is set up in a way that it refuses to run."""


def _token_forms(token: str) -> list[str]:
    return [form for form in {token, urllib.parse.quote(token, safe="")} if form]


def mask_token(text: str, token: str | None) -> str:
    """`text` with every occurrence of the token (also URL-quoted) replaced by "<token>"."""
    for form in _token_forms(token or ""):
        text = text.replace(form, "<token>")
    return text


def check_api_url(url: str, token: str | None = None) -> str:
    """The Bot API base URL in the form the HTTP client takes ("{token}" where the token goes),
    or ConfigurationError saying what is wrong, in words that never contain the token."""
    shown = mask_token(url, token)
    url = url.strip().rstrip("/")
    if token and any(form in url for form in _token_forms(token)):
        raise ConfigurationError(
            f"{shown!r} contains the bot token itself: end the URL in /bot and the token is "
            "added (or write {token} where it goes)")
    try:
        parts = urllib.parse.urlsplit(url)
        port = parts.port
    except ValueError as error:
        raise ConfigurationError(f"{shown!r} is not a valid URL ({error})") from None
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise ConfigurationError(f"{shown!r} must be an http:// or https:// URL with a host")
    if port == 0 or parts.query or parts.fragment:
        raise ConfigurationError(f"{shown!r} must have no port 0, query or fragment")
    if parts.path.endswith("/bot{token}") and parts.path.count("{token}") == 1:
        return url
    if parts.path.endswith("/bot") and "{token}" not in parts.path:
        return url + "{token}"
    raise ConfigurationError(
        f"{shown!r} must end in /bot (the token is added after it), for example "
        "https://api.telegram.org/bot")


class TokenMask(logging.Filter):
    """For log handlers: masks the bot token in each record's message, traceback and stack
    (the HTTP client logs request URLs with the token in them)."""

    def __init__(self, token: str) -> None:
        super().__init__()
        self._token = token

    def filter(self, record: logging.LogRecord) -> bool:
        message = record.getMessage()
        masked = mask_token(message, self._token)
        if masked != message:
            record.msg, record.args = masked, None
        if record.exc_info and not record.exc_text:
            record.exc_text = logging.Formatter().formatException(record.exc_info)
        if record.exc_text:
            record.exc_text = mask_token(record.exc_text, self._token)
        if record.stack_info:
            record.stack_info = mask_token(record.stack_info, self._token)
        return True


# --- splitting ----------------------------------------------------------------------------------


def utf16_length(text: str) -> int:
    """Length as Telegram counts it (UTF-16 code units)."""
    return len(text.encode("utf-16-le", "surrogatepass")) // 2


def _fitting_prefix(text: str, limit: int) -> int:
    """Largest code-point index i such that text[:i] is at most `limit` UTF-16 units."""
    units = 0
    for index, char in enumerate(text):
        units += 2 if ord(char) > 0xFFFF else 1
        if units > limit:
            return index
    return len(text)


def _is_glued(char: str) -> bool:
    """Characters that belong to the character before them."""
    return (
        unicodedata.combining(char) != 0
        or char in "\u200d\ufe0e\ufe0f"
        or "\U0001f3fb" <= char <= "\U0001f3ff"  # skin tone modifiers
        or "\udc00" <= char <= "\udfff"  # the low half of a pair held as two code points
    )


def _hard_cut(text: str, cut: int) -> int:
    """Moves a cut left so that it keeps pairs, combining marks and joined emoji together."""
    index = cut
    while index > 1 and (_is_glued(text[index]) or text[index - 1] == "\u200d"):
        index -= 1
    return index if index > 0 else cut


def _boundary(window: str) -> tuple[int, int] | None:
    """Where to split a window that is too long: (end of the head, start of the tail).

    A paragraph break is preferred, then a line break, then any white space, as long as the
    head keeps at least half the window; failing that, the latest boundary of any kind."""
    half = len(window) // 2
    candidates = []
    for separator in ("\n\n", "\n"):
        at = window.rfind(separator)
        if at > 0:
            candidates.append((at, at + len(separator)))
    at = _last_space(window)
    if at > 0:
        candidates.append((at, at + 1))
    for head_end, tail_start in candidates:
        if head_end >= half:
            return head_end, tail_start
    return max(candidates) if candidates else None


def _last_space(window: str) -> int:
    for index in range(len(window) - 1, 0, -1):
        if window[index].isspace():
            return index
    return -1


def split_message(text: str, limit: int = MESSAGE_LIMIT) -> list[str]:
    """Splits `text` into pieces of at most `limit` UTF-16 units.

    Pieces end at a paragraph break, a line break or a space when one is near enough, otherwise
    at a character boundary that keeps surrogate pairs, combining marks and joined emoji whole.
    The separator at a split is dropped; pieces that would hold only white space are left out.
    A text that fits is returned unchanged as the only piece."""
    if limit < 2:
        raise ValueError("limit must be at least 2")
    pieces: list[str] = []
    rest = text
    while utf16_length(rest) > limit:
        cut = _fitting_prefix(rest, limit)
        found = _boundary(rest[: cut + 1])  # a separator right at the limit is fine
        if found is not None and found[0] <= cut:
            head_end, tail_start = found
        else:
            head_end = tail_start = _hard_cut(rest, cut)
        head = rest[:head_end]
        if head.strip():
            pieces.append(head)
        rest = rest[tail_start:]
    if rest.strip() or not pieces:
        pieces.append(rest)
    return pieces


def _cut_caption(caption: str | None) -> str | None:
    if caption is None or utf16_length(caption) <= CAPTION_LIMIT:
        return caption
    return caption[: _hard_cut(caption, _fitting_prefix(caption, CAPTION_LIMIT - 1))] + "…"


def _seconds(value: int | float | dt.timedelta) -> float:
    if isinstance(value, dt.timedelta):
        return value.total_seconds()
    return float(value)


def _is_photo_refusal(error: tg_error.TelegramError) -> bool:
    text = str(error).lower()
    return isinstance(error, (tg_error.BadRequest, tg_error.NetworkError)) and any(
        marker in text for marker in PHOTO_REFUSALS
    )


def _failure(message: str, message_ids: list[int] | None = None) -> dict[str, Any]:
    return {"success": False, "message": message, "message_ids": message_ids or []}


# --- the connector ------------------------------------------------------------------------------


class TelegramConnector:
    """Talks to one bot through the Bot API.

    token: the bot token; without one the connector is not configured.
    default_chat_id: where replies go when no chat is named (`_chat_id`).
    allowed_chat_ids: chats whose messages are handed on; None means only the default chat.
    allow_anyone: hand on messages from every chat (required when no chat would be allowed).
    base_url: the Bot API server, ending in "/bot" or "/bot{token}" (check_api_url).
    poll_timeout: seconds one getUpdates long poll may wait.
    max_retries: how often a send is retried after a 429; max_retry_wait caps one wait.
    """

    def __init__(
        self,
        token: str | None,
        *,
        default_chat_id: int | str | None = None,
        allowed_chat_ids: Iterable[int | str] | None = None,
        allow_anyone: bool = False,
        base_url: str = DEFAULT_API_URL,
        poll_timeout: int = 30,
        max_retries: int = 3,
        max_retry_wait: float = 60.0,
        request_timeout: float = 20.0,
    ) -> None:
        self._token = token or ""
        self._chat_id = default_chat_id
        self._allow_anyone = allow_anyone
        allowed = set() if allowed_chat_ids is None else {str(c) for c in allowed_chat_ids}
        if allowed_chat_ids is None and default_chat_id not in (None, ""):
            allowed.add(str(default_chat_id))
        self._allowed = frozenset(allowed)
        self._base_url = check_api_url(base_url, token)
        self._poll_timeout = poll_timeout
        self._max_retries = max_retries
        self._max_retry_wait = max_retry_wait
        self._request_timeout = request_timeout
        self._handler: MessageHandler | None = None
        self._bot: telegram.Bot | None = None
        self._poll_task: asyncio.Task[None] | None = None
        self._offset: int | None = None
        self._confirmed_offset: int | None = None
        self.bot_username: str | None = None
        self.dropped_messages = 0
        self._unanswered = 0

    # -- configuration --

    @property
    def is_configured(self) -> bool:
        return bool(self._token)

    @property
    def allowed_chat_ids(self) -> frozenset[str]:
        return self._allowed

    @property
    def unanswered(self) -> int:
        """Messages handed to the handler that have had no send_message since: 0 once every
        message has its reply (the bridge answers each message with exactly one send)."""
        return self._unanswered

    @property
    def is_running(self) -> bool:
        return self._poll_task is not None and not self._poll_task.done()

    def set_message_handler(self, handler: MessageHandler | None) -> None:
        self._handler = handler

    def is_allowed(self, chat_id: int | str | None) -> bool:
        return self._allow_anyone or (chat_id is not None and str(chat_id) in self._allowed)

    def check_access_settings(self) -> None:
        if not self._allowed and not self._allow_anyone:
            raise ConfigurationError(
                "no chat is allowed to talk to the bot: name a default chat or allowed chats, "
                "or allow anyone explicitly"
            )

    def _make_bot(self) -> telegram.Bot:
        timeout = self._request_timeout
        return telegram.Bot(
            self._token,
            base_url=self._base_url,
            request=HTTPXRequest(read_timeout=timeout, write_timeout=timeout,
                                 connect_timeout=timeout, media_write_timeout=timeout * 3),
            get_updates_request=HTTPXRequest(read_timeout=timeout, connect_timeout=timeout),
        )

    # -- lifecycle --

    async def start(self) -> None:
        """Connects (getMe), removes any webhook and starts long polling; returns once the
        polling task is about to make its first request."""
        if self.is_running:
            return
        if not self.is_configured:
            raise ConfigurationError("the Telegram connector has no bot token")
        self.check_access_settings()
        bot = self._make_bot()
        try:
            await bot.initialize()
            await self._with_retry(lambda: bot.delete_webhook(drop_pending_updates=False))
        except BaseException:
            await bot.shutdown()
            raise
        self._bot = bot
        self.bot_username = bot.username
        polling = asyncio.Event()
        self._poll_task = asyncio.get_running_loop().create_task(
            self._poll(bot, polling), name="telegram polling"
        )
        await polling.wait()
        logger.info("Telegram connector polling as @%s (%s)", self.bot_username,
                    "any chat" if self._allow_anyone else
                    f"allowed chats: {', '.join(sorted(self._allowed))}")

    async def stop(self) -> None:
        """Stops polling, confirms the offset of the last handled update so that Telegram does
        not deliver it again, and closes the connection."""
        task, self._poll_task = self._poll_task, None
        bot, self._bot = self._bot, None
        # When the caller itself is being cancelled (a host shutting down under Ctrl-C), the
        # offset is still confirmed and the connection closed; the cancellation goes on after.
        caller_cancelled: asyncio.CancelledError | None = None
        if task is not None:
            task.cancel()
            try:
                await task
            except asyncio.CancelledError as cancelled:
                current = asyncio.current_task()
                if current is not None and current.cancelling():
                    caller_cancelled = cancelled
        if bot is not None:
            try:
                if self._offset is not None and self._offset != self._confirmed_offset:
                    await bot.get_updates(offset=self._offset, limit=1, timeout=0)
                    self._confirmed_offset = self._offset
                    logger.info("Telegram updates confirmed up to offset %s", self._offset)
            except tg_error.TelegramError as error:
                logger.warning("Could not confirm the Telegram update offset: %s", error)
            finally:
                await bot.shutdown()
        if caller_cancelled is not None:
            raise caller_cancelled

    async def _poll(self, bot: telegram.Bot, polling: asyncio.Event) -> None:
        backoff = 1.0
        while True:
            polling.set()
            try:
                updates = await bot.get_updates(offset=self._offset, timeout=self._poll_timeout,
                                                allowed_updates=["message"])
            except tg_error.RetryAfter as error:
                await asyncio.sleep(_seconds(error.retry_after))
                continue
            except tg_error.InvalidToken as error:
                logger.error("Telegram polling stopped: the bot token was refused (%s)", error)
                return
            except Exception as error:  # network trouble, a conflict, an unreadable answer
                logger.warning("Telegram polling failed (%s); retrying in %.0f s", error, backoff)
                await asyncio.sleep(backoff)
                backoff = min(backoff * 2, 30.0)
                continue
            backoff = 1.0
            self._confirmed_offset = self._offset
            for update in updates:
                try:
                    await self._dispatch(update)
                finally:
                    self._offset = update.update_id + 1

    async def _dispatch(self, update: telegram.Update) -> None:
        message = update.message
        if message is None:
            return
        chat = message.chat
        user = message.from_user
        name = _display_name(user, chat)
        text = message.text if message.text is not None else message.caption
        if not self.is_allowed(chat.id):
            self.dropped_messages += 1
            logger.warning("Dropped a message from chat %s (%s): not an allowed chat",
                           chat.id, name)
            await _show_dropped(chat.id, name, text)
            return
        if text is None:
            logger.info("Ignored a message without text from chat %s (%s)", chat.id, name)
            return
        if self._handler is None:
            logger.warning("No message handler set; dropped a message from chat %s", chat.id)
            return
        metadata = {
            "from_name": name,
            "chat_id": chat.id,
            "chat_type": chat.type,
            "user_id": user.id if user else None,
            "username": user.username if user else None,
            "message_id": message.message_id,
            "date": message.date.isoformat() if message.date else None,
        }
        self._unanswered += 1
        try:
            await self._handler(text, metadata)
        except Exception:
            self._unanswered -= 1
            logger.exception("The message handler failed for a message from chat %s", chat.id)

    # -- sending --

    async def _with_retry(self, call: Callable[[], Awaitable[T]]) -> T:
        attempt = 0
        while True:
            try:
                return await call()
            except tg_error.RetryAfter as error:
                wait = _seconds(error.retry_after)
                if attempt >= self._max_retries or wait > self._max_retry_wait:
                    raise
                attempt += 1
                logger.warning("Telegram asked to slow down; retry %d of %d in %g s",
                               attempt, self._max_retries, wait)
                await asyncio.sleep(wait)

    async def send_typing(self, chat_id: int | str | None = None) -> bool:
        """Shows "typing…" in the chat. Failures are logged, never raised: the indicator is a
        courtesy and must not stop a reply."""
        chat = chat_id or self._chat_id
        if not chat or self._bot is None:
            return False
        try:
            await self._bot.send_chat_action(chat, ChatAction.TYPING)
        except tg_error.TelegramError as error:
            logger.debug("Typing indicator failed: %s", error)
            return False
        return True

    async def send_message(self, text: str, chat_id: int | str | None = None,
                           parse_mode: str | None = None) -> dict[str, Any]:
        """Sends a text, split into several messages when it is longer than Telegram allows."""
        try:
            return await self._send_message(text, chat_id, parse_mode)
        finally:
            self._unanswered = max(0, self._unanswered - 1)

    async def _send_message(self, text: str, chat_id: int | str | None,
                            parse_mode: str | None) -> dict[str, Any]:
        chat = chat_id or self._chat_id
        if not chat:
            return _failure("no chat_id")
        if not text.strip():
            return _failure("message text is empty")
        bot = self._bot
        if bot is None:
            return _failure("the Telegram connector is not started")
        ids: list[int] = []
        pieces = split_message(text)
        for piece in pieces:
            try:
                sent = await self._with_retry(functools.partial(
                    bot.send_message, chat, piece, parse_mode=parse_mode or None))
            except tg_error.TelegramError as error:
                logger.warning("Sending part %d of %d failed: %s", len(ids) + 1, len(pieces), error)
                return _failure(str(error), ids)
            ids.append(sent.message_id)
        return {"success": True, "message_ids": ids, "parts": len(pieces)}

    async def send_photo(self, path: str | os.PathLike[str], caption: str | None = None,
                         chat_id: int | str | None = None) -> dict[str, Any]:
        """Sends an image file as a photo; when Telegram refuses it as a photo (too big, odd
        dimensions) it goes out as a document."""
        chat = chat_id or self._chat_id
        if not chat:
            return _failure("no chat_id")
        bot = self._bot
        if bot is None:
            return _failure("the Telegram connector is not started")
        file = Path(path)
        try:
            data = file.read_bytes()
        except OSError as error:
            return _failure(f"cannot read {file}: {error.strerror or error}")
        caption = _cut_caption(caption)
        try:
            sent = await self._with_retry(lambda: bot.send_photo(
                chat, telegram.InputFile(data, filename=file.name), caption=caption))
            return {"success": True, "message_ids": [sent.message_id], "sent_as": "photo"}
        except tg_error.TelegramError as error:
            if not _is_photo_refusal(error):
                return _failure(str(error))
            logger.info("Telegram refused %s as a photo (%s); sending it as a document",
                        file.name, error)
        try:
            sent = await self._with_retry(lambda: bot.send_document(
                chat, telegram.InputFile(data, filename=file.name), caption=caption))
        except tg_error.TelegramError as error:
            return _failure(str(error))
        return {"success": True, "message_ids": [sent.message_id], "sent_as": "document"}


async def _show_dropped(chat_id: int, name: str, text: str | None) -> None:
    """Tells the live page about a dropped message, so that the operator sees who tried."""
    try:
        from kavori.gateway.ws import manager

        await manager.broadcast({"type": "telegram_dropped", "chat_id": chat_id,
                                 "from_name": name, "content": (text or "")[:500],
                                 "reason": "not an allowed chat"})
    except Exception as error:  # the page is a courtesy; polling must go on
        logger.debug("Could not show a dropped message on the live page: %s", error)


def _display_name(user: telegram.User | None, chat: telegram.Chat) -> str:
    if user is not None:
        return user.full_name or (f"@{user.username}" if user.username else str(user.id))
    return chat.effective_name or str(chat.id)

