"""An offline Telegram Bot API server, for the demo and the tests.

It speaks the Bot API's HTTP dialect at /bot<token>/<method> (query, form, multipart or JSON
parameters; {"ok": ..., "result": ...} answers) for the methods a bot bridge uses:

    getMe, deleteWebhook, setWebhook, getWebhookInfo, getUpdates,
    sendMessage, sendPhoto, sendDocument, sendChatAction

with Telegram's rules where they matter: getUpdates long-polls (waits up to `timeout` seconds
for an update), confirms everything below `offset`, refuses to run while a webhook is set, and
ends an older waiting request with 409 when a newer one arrives; texts are limited to 4096
characters and captions to 1024 (counted in UTF-16 units, as Telegram does); photos to 10 MB
and to width + height <= 10000 with a side ratio of at most 20.

Scripted failures make the next calls of a method answer 429 (with retry_after) or 400.

Control API (JSON), for a test or a terminal standing in for the Telegram user:

    POST /control/messages   {"text", "chat_id"?, "first_name"?, "username"?}  a user writes
    GET  /control/sent?since=N&timeout=S   what the bot sent (long-polls for news)
    GET  /control/calls                    every Bot API call, with its outcome
    POST /control/failures   {"method", "error_code", "retry_after"?, "description"?, "times"?}
    POST /control/webhook    {"url"}       pretend a webhook is set
    GET  /control/files/<file_id>          an uploaded photo or document
"""

from __future__ import annotations

import asyncio
import contextlib
import itertools
import json
import logging
import time
from dataclasses import dataclass
from typing import Any

from aiohttp import web

from kavori.demo.images import image_size
from kavori.gateway.server import serve

logger = logging.getLogger("kavori.demo.emulator")

DEFAULT_TOKEN = "123456789:DEMO-offline-token"
DEMO_CHAT_ID = 4242
MESSAGE_LIMIT = 4096
CAPTION_LIMIT = 1024
PHOTO_MAX_BYTES = 10 * 1024 * 1024
FILE_MAX_BYTES = 50 * 1024 * 1024
CHAT_ACTIONS = frozenset({
    "typing", "upload_photo", "record_video", "upload_video", "record_voice", "upload_voice",
    "upload_document", "choose_sticker", "find_location", "record_video_note",
    "upload_video_note",
})
PARSE_MODES = frozenset({"HTML", "Markdown", "MarkdownV2"})
INT_FIELDS = ("offset", "limit", "timeout", "message_id", "reply_to_message_id")


def utf16_length(text: str) -> int:
    return len(text.encode("utf-16-le", "surrogatepass")) // 2


class ApiError(Exception):
    def __init__(self, code: int, description: str, parameters: dict[str, Any] | None = None):
        super().__init__(description)
        self.code, self.description, self.parameters = code, description, parameters

    def body(self) -> dict[str, Any]:
        body: dict[str, Any] = {"ok": False, "error_code": self.code,
                                "description": self.description}
        if self.parameters:
            body["parameters"] = self.parameters
        return body


def bad_request(what: str) -> ApiError:
    return ApiError(400, f"Bad Request: {what}")


@dataclass
class Failure:
    method: str
    code: int
    description: str | None
    retry_after: int | None
    times: int

    def error(self) -> ApiError:
        if self.code == 429:
            wait = self.retry_after or 1
            return ApiError(429, self.description or f"Too Many Requests: retry after {wait}",
                            {"retry_after": wait})
        return ApiError(self.code, self.description or "Bad Request: scripted failure")


@dataclass
class Upload:
    file_id: str
    name: str
    content_type: str
    data: bytes


class BotApiEmulator:
    def __init__(self, token: str = DEFAULT_TOKEN, *, chats: dict[int, str] | None = None,
                 photo_max_bytes: int = PHOTO_MAX_BYTES, file_max_bytes: int = FILE_MAX_BYTES):
        self.token = token
        self.bot = {"id": int(token.split(":")[0]) if token.split(":")[0].isdigit() else 1,
                    "is_bot": True, "first_name": "Kavori Demo", "username": "kavori_demo_bot",
                    "can_join_groups": False, "can_read_all_group_messages": False,
                    "supports_inline_queries": False}
        self.photo_max_bytes = photo_max_bytes
        self.file_max_bytes = file_max_bytes
        # Known private chats (chat id = user id) and their users' first names.
        self.chats: dict[int, str] = dict(chats if chats is not None else {DEMO_CHAT_ID: "Demo"})
        self.webhook_url = ""
        self.updates: list[dict[str, Any]] = []  # not yet confirmed
        self.injected: list[dict[str, Any]] = []  # every update ever made
        self.calls: list[dict[str, Any]] = []
        self.sent: list[dict[str, Any]] = []
        self.files: dict[str, Upload] = {}
        self.failures: list[Failure] = []
        self._update_ids = itertools.count(700001)
        self._message_ids = itertools.count(1)
        self._file_ids = itertools.count(1)
        self._poller = 0  # generation of the newest getUpdates request
        self._news = asyncio.Condition()
        self._closing = False
        self._runner: web.AppRunner | None = None
        self.url = ""

    # -- serving --

    @property
    def api_url(self) -> str:
        """The base URL for a Bot API client: the token goes right after it."""
        return f"{self.url}/bot"

    def create_app(self) -> web.Application:
        app = web.Application(client_max_size=self.file_max_bytes + 1024 * 1024)
        app.router.add_route("*", "/bot{token}/{method}", self._api)
        app.router.add_post("/control/messages", self._control_message)
        app.router.add_get("/control/sent", self._control_sent)
        app.router.add_get("/control/calls", self._control_calls)
        app.router.add_post("/control/failures", self._control_failures)
        app.router.add_post("/control/webhook", self._control_webhook)
        app.router.add_get("/control/files/{file_id}", self._control_file)
        return app

    async def start(self, host: str = "127.0.0.1", port: int = 0) -> str:
        self._runner, self.url = await serve(self.create_app(), host, port)
        return self.url

    async def close(self) -> None:
        self._closing = True
        await self._notify()
        runner, self._runner = self._runner, None
        if runner is not None:
            await runner.cleanup()

    async def __aenter__(self) -> BotApiEmulator:
        await self.start()
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()

    async def _notify(self) -> None:
        async with self._news:
            self._news.notify_all()

    # -- what a test or the terminal does --

    async def inject_message(self, text: str, *, chat_id: int = DEMO_CHAT_ID,
                             first_name: str | None = None, username: str | None = None,
                             last_name: str | None = None) -> dict[str, Any]:
        """A user writes `text` to the bot in their private chat (chat id = user id)."""
        name = first_name or self.chats.get(chat_id) or f"User{chat_id}"
        self.chats[chat_id] = name
        user: dict[str, Any] = {"id": chat_id, "is_bot": False, "first_name": name,
                                "language_code": "en"}
        chat: dict[str, Any] = {"id": chat_id, "type": "private", "first_name": name}
        for key, value in (("last_name", last_name), ("username", username)):
            if value:
                user[key] = chat[key] = value
        update = {"update_id": next(self._update_ids), "message": {
            "message_id": next(self._message_ids), "date": int(time.time()), "chat": chat,
            "from": user, "text": text}}
        self.updates.append(update)
        self.injected.append(update)
        await self._notify()
        return update

    def fail_next(self, method: str, code: int, *, retry_after: int | None = None,
                  description: str | None = None, times: int = 1) -> None:
        """The next `times` calls of `method` ("*" for any) fail with `code`."""
        self.failures.append(Failure(method, code, description, retry_after, times))

    async def wait_sent(self, since: int = 0, timeout: float = 10.0) -> list[dict[str, Any]]:
        """What the bot sent after the first `since` items; waits up to `timeout` for news."""
        deadline = asyncio.get_running_loop().time() + timeout
        async with self._news:
            while len(self.sent) <= since and not self._closing:
                remaining = deadline - asyncio.get_running_loop().time()
                if remaining <= 0:
                    break
                with contextlib.suppress(TimeoutError):
                    await asyncio.wait_for(self._news.wait(), remaining)
        return self.sent[since:]

    def calls_of(self, method: str) -> list[dict[str, Any]]:
        return [call for call in self.calls if call["method"] == method]

    # -- the Bot API --

    async def _api(self, request: web.Request) -> web.StreamResponse:
        method = request.match_info["method"]
        record: dict[str, Any] = {"method": method, "time": time.time()}
        self.calls.append(record)
        try:
            if request.match_info["token"] != self.token:
                raise ApiError(401, "Unauthorized")
            params, uploads = await self._read_params(request)
            record["params"] = {k: v for k, v in params.items() if k != "text"}
            if "text" in params:
                record["params"]["text_length"] = utf16_length(str(params["text"]))
            self._scripted_failure(method)
            handler = self._methods.get(method.lower())
            if handler is None:
                raise ApiError(404, "Not Found")
            result = await handler(self, params, uploads)
        except ApiError as error:
            record["status"] = error.code
            record["error"] = error.description
            return web.json_response(error.body(), status=error.code)
        record["status"] = 200
        return web.json_response({"ok": True, "result": result})

    async def _read_params(self, request: web.Request) -> tuple[dict[str, Any], dict[str, Upload]]:
        params: dict[str, Any] = dict(request.query)
        uploads: dict[str, Upload] = {}
        if request.method == "POST" and request.can_read_body:
            if request.content_type == "application/json":
                body = await request.json()
                if not isinstance(body, dict):
                    raise bad_request("request body must be a JSON object")
                params.update(body)
            else:
                form = await request.post()
                for key, value in form.items():
                    if isinstance(value, web.FileField):
                        uploads[key] = Upload("", value.filename or key,
                                              value.content_type, value.file.read())
                    else:
                        params[key] = value
        for key in INT_FIELDS:
            if key in params and params[key] not in (None, ""):
                try:
                    params[key] = int(params[key])
                except (TypeError, ValueError):
                    raise bad_request(f"wrong parameter {key} in request") from None
        if isinstance(params.get("allowed_updates"), str):
            with contextlib.suppress(ValueError):
                params["allowed_updates"] = json.loads(params["allowed_updates"])
        return params, uploads

    def _scripted_failure(self, method: str) -> None:
        for failure in self.failures:
            if failure.method in (method, "*") and failure.times > 0:
                failure.times -= 1
                if failure.times == 0:
                    self.failures.remove(failure)
                raise failure.error()

    def _chat(self, params: dict[str, Any]) -> int:
        raw = params.get("chat_id")
        if raw in (None, ""):
            raise bad_request("chat_id is empty")
        try:
            chat_id = int(raw)
        except (TypeError, ValueError):
            raise bad_request("chat not found") from None
        if chat_id not in self.chats:
            raise bad_request("chat not found")
        return chat_id

    def _message(self, chat_id: int, **content: Any) -> dict[str, Any]:
        return {"message_id": next(self._message_ids), "date": int(time.time()),
                "chat": {"id": chat_id, "type": "private", "first_name": self.chats[chat_id]},
                "from": {k: self.bot[k] for k in ("id", "is_bot", "first_name", "username")},
                **content}

    async def _record_sent(self, item: dict[str, Any]) -> None:
        item["seq"] = len(self.sent) + 1
        self.sent.append(item)
        await self._notify()

    def _caption(self, params: dict[str, Any]) -> str | None:
        caption = params.get("caption")
        if caption is not None and utf16_length(str(caption)) > CAPTION_LIMIT:
            raise bad_request("message caption is too long")
        return caption

    def _upload(self, params: dict[str, Any], uploads: dict[str, Upload], field: str) -> Upload:
        upload = uploads.get(field)
        if upload is None:
            reference = params.get(field)
            if isinstance(reference, str) and reference in self.files:
                return self.files[reference]
            if reference in (None, ""):
                raise bad_request(f"there is no {field} in the request")
            raise bad_request("wrong file identifier/HTTP URL specified")
        if len(upload.data) > self.file_max_bytes:
            raise ApiError(413, "Request Entity Too Large")
        upload.file_id = f"F{next(self._file_ids):06d}-{field}"
        self.files[upload.file_id] = upload
        return upload

    async def _get_me(self, params, uploads):
        return dict(self.bot)

    async def _delete_webhook(self, params, uploads):
        if str(params.get("drop_pending_updates", "")).lower() in ("true", "1"):
            self.updates.clear()
        self.webhook_url = ""
        return True

    async def _set_webhook(self, params, uploads):
        self.webhook_url = str(params.get("url", ""))
        return True

    async def _get_webhook_info(self, params, uploads):
        return {"url": self.webhook_url, "has_custom_certificate": False,
                "pending_update_count": len(self.updates)}

    async def _get_updates(self, params, uploads):
        if self.webhook_url:
            raise ApiError(409, "Conflict: can't use getUpdates method while webhook is active; "
                                "use deleteWebhook to delete the webhook first")
        offset = params.get("offset")
        limit = params.get("limit") or 100
        if not 1 <= limit <= 100:
            limit = 100
        timeout = min(max(params.get("timeout") or 0, 0), 50)
        self._poller += 1
        me = self._poller
        async with self._news:
            self._news.notify_all()  # an older poll still waiting now ends with a conflict
        if offset is not None:
            if offset < 0:
                del self.updates[:offset]
            else:
                self.updates = [u for u in self.updates if u["update_id"] >= offset]
        deadline = asyncio.get_running_loop().time() + timeout
        async with self._news:
            while not self.updates and not self._closing:
                remaining = deadline - asyncio.get_running_loop().time()
                if remaining <= 0:
                    break
                with contextlib.suppress(TimeoutError):
                    await asyncio.wait_for(self._news.wait(), remaining)
                if self._poller != me:
                    raise ApiError(409, "Conflict: terminated by other getUpdates request; "
                                        "make sure that only one bot instance is running")
        return self.updates[:limit]

    async def _send_message(self, params, uploads):
        chat_id = self._chat(params)
        text = params.get("text")
        if text is None or not str(text).strip():
            raise bad_request("message text is empty")
        text = str(text)
        if utf16_length(text) > MESSAGE_LIMIT:
            raise bad_request("message is too long")
        parse_mode = params.get("parse_mode") or None
        if parse_mode is not None and parse_mode not in PARSE_MODES:
            raise bad_request(f"unsupported parse_mode {parse_mode}")
        message = self._message(chat_id, text=text)
        await self._record_sent({"method": "sendMessage", "chat_id": chat_id,
                                 "message_id": message["message_id"], "text": text,
                                 "parse_mode": parse_mode})
        return message

    async def _send_photo(self, params, uploads):
        chat_id = self._chat(params)
        caption = self._caption(params)
        photo = self._upload(params, uploads, "photo")
        if len(photo.data) > self.photo_max_bytes:
            raise bad_request("PHOTO_SAVE_FILE_INVALID")
        size = image_size(photo.data)
        if size is None:
            raise bad_request("IMAGE_PROCESS_FAILED")
        width, height = size
        if width + height > 10000 or max(width, height) > 20 * max(1, min(width, height)):
            raise bad_request("PHOTO_INVALID_DIMENSIONS")
        sizes = [{"file_id": photo.file_id, "file_unique_id": "U" + photo.file_id,
                  "width": width, "height": height, "file_size": len(photo.data)}]
        content: dict[str, Any] = {"photo": sizes}
        if caption:
            content["caption"] = caption
        message = self._message(chat_id, **content)
        await self._record_sent({"method": "sendPhoto", "chat_id": chat_id,
                                 "message_id": message["message_id"], "caption": caption,
                                 "file_id": photo.file_id, "file_name": photo.name,
                                 "file_size": len(photo.data), "width": width, "height": height})
        return message

    async def _send_document(self, params, uploads):
        chat_id = self._chat(params)
        caption = self._caption(params)
        document = self._upload(params, uploads, "document")
        content: dict[str, Any] = {"document": {
            "file_id": document.file_id, "file_unique_id": "U" + document.file_id,
            "file_name": document.name, "mime_type": document.content_type,
            "file_size": len(document.data)}}
        if caption:
            content["caption"] = caption
        message = self._message(chat_id, **content)
        await self._record_sent({"method": "sendDocument", "chat_id": chat_id,
                                 "message_id": message["message_id"], "caption": caption,
                                 "file_id": document.file_id, "file_name": document.name,
                                 "file_size": len(document.data)})
        return message

    async def _send_chat_action(self, params, uploads):
        chat_id = self._chat(params)
        action = params.get("action")
        if action not in CHAT_ACTIONS:
            raise bad_request("wrong parameter action in request")
        await self._record_sent({"method": "sendChatAction", "chat_id": chat_id,
                                 "action": action})
        return True

    _methods = {
        "getme": _get_me,
        "deletewebhook": _delete_webhook,
        "setwebhook": _set_webhook,
        "getwebhookinfo": _get_webhook_info,
        "getupdates": _get_updates,
        "sendmessage": _send_message,
        "sendphoto": _send_photo,
        "senddocument": _send_document,
        "sendchataction": _send_chat_action,
    }

    # -- the control API --

    async def _control_message(self, request: web.Request) -> web.StreamResponse:
        body = await request.json()
        if not isinstance(body, dict) or not isinstance(body.get("text"), str):
            return web.json_response({"ok": False, "description": "text is required"},
                                     status=400)
        update = await self.inject_message(
            body["text"], chat_id=int(body.get("chat_id", DEMO_CHAT_ID)),
            first_name=body.get("first_name"), username=body.get("username"),
            last_name=body.get("last_name"))
        message = update["message"]
        return web.json_response({"ok": True, "update_id": update["update_id"],
                                  "message_id": message["message_id"],
                                  "chat_id": message["chat"]["id"]})

    async def _control_sent(self, request: web.Request) -> web.StreamResponse:
        try:
            since = int(request.query.get("since", 0))
            timeout = min(float(request.query.get("timeout", 0)), 60.0)
        except ValueError:
            return web.json_response({"ok": False, "description": "bad since/timeout"},
                                     status=400)
        items = await self.wait_sent(since, timeout) if timeout > 0 else self.sent[since:]
        return web.json_response({"ok": True, "sent": items, "next": since + len(items)})

    async def _control_calls(self, request: web.Request) -> web.StreamResponse:
        return web.json_response({"ok": True, "calls": self.calls})

    async def _control_failures(self, request: web.Request) -> web.StreamResponse:
        body = await request.json()
        try:
            self.fail_next(str(body["method"]), int(body["error_code"]),
                           retry_after=body.get("retry_after"),
                           description=body.get("description"), times=int(body.get("times", 1)))
        except (KeyError, TypeError, ValueError):
            return web.json_response({"ok": False, "description": "method and error_code "
                                      "are required"}, status=400)
        return web.json_response({"ok": True})

    async def _control_webhook(self, request: web.Request) -> web.StreamResponse:
        body = await request.json()
        self.webhook_url = str(body.get("url", ""))
        return web.json_response({"ok": True})

    async def _control_file(self, request: web.Request) -> web.StreamResponse:
        upload = self.files.get(request.match_info["file_id"])
        if upload is None:
            return web.json_response({"ok": False, "description": "no such file"}, status=404)
        return web.Response(body=upload.data, content_type=upload.content_type or
                            "application/octet-stream")
