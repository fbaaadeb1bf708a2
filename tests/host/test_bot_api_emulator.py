"""The offline Bot API server, spoken to over HTTP as any Bot API client would."""

from __future__ import annotations

import asyncio

import aiohttp

from kavori.demo.agent import render_screenshot
from kavori.demo.emulator import DEMO_CHAT_ID, BotApiEmulator


class Client:
    def __init__(self, emulator: BotApiEmulator, session: aiohttp.ClientSession):
        self.emulator, self.session = emulator, session

    async def api(self, method: str, token: str | None = None, **params):
        url = f"{self.emulator.api_url}{token or self.emulator.token}/{method}"
        async with self.session.post(url, json=params) as response:
            return response.status, await response.json()

    async def control(self, verb: str, path: str, **body):
        async with self.session.request(verb, f"{self.emulator.url}/control/{path}",
                                        json=body or None) as response:
            if response.content_type == "application/json":
                return response.status, await response.json()
            return response.status, await response.read()


async def with_client(scenario):
    async with BotApiEmulator() as emulator, aiohttp.ClientSession() as session:
        return await scenario(Client(emulator, session))


def test_get_updates_long_polls_and_confirms_with_offset(run):
    async def scenario(c: Client):
        loop = asyncio.get_running_loop()
        started = loop.time()
        waiting = asyncio.create_task(c.api("getUpdates", timeout=20))
        await asyncio.sleep(0.2)
        status, _ = await c.control("POST", "messages", text="hi", first_name="Ann")
        first = await waiting
        answered_after = loop.time() - started
        update_id = first[1]["result"][0]["update_id"]
        again = await c.api("getUpdates")  # not confirmed yet: delivered again
        await c.emulator.inject_message("two")
        await c.emulator.inject_message("three")
        after_offset = await c.api("getUpdates", offset=update_id + 1, limit=1)
        last_only = await c.api("getUpdates", offset=-1)
        started = loop.time()
        empty = await c.api("getUpdates", offset=update_id + 3, timeout=1)
        return status, first, answered_after, again, after_offset, last_only, empty, \
            loop.time() - started

    status, first, answered_after, again, after_offset, last_only, empty, waited = \
        run(with_client(scenario))
    assert status == 200
    assert answered_after < 5  # the injected message ended the 20 s wait
    [update] = first[1]["result"]
    assert update["message"]["text"] == "hi"
    assert update["message"]["chat"] == {"id": DEMO_CHAT_ID, "type": "private",
                                         "first_name": "Ann"}
    assert again[1]["result"] == first[1]["result"]
    assert [u["message"]["text"] for u in after_offset[1]["result"]] == ["two"]
    assert [u["message"]["text"] for u in last_only[1]["result"]] == ["three"]
    assert empty == (200, {"ok": True, "result": []}) and waited >= 0.9


def test_get_updates_conflicts(run):
    async def scenario(c: Client):
        await c.control("POST", "webhook", url="https://example.invalid/hook")
        with_webhook = await c.api("getUpdates")
        assert await c.api("deleteWebhook") == (200, {"ok": True, "result": True})
        older = asyncio.create_task(c.api("getUpdates", timeout=20))
        await asyncio.sleep(0.2)
        newer = await c.api("getUpdates", timeout=0)
        return with_webhook, await older, newer

    with_webhook, older, newer = run(with_client(scenario))
    assert with_webhook[0] == 409 and "webhook is active" in with_webhook[1]["description"]
    assert older[0] == 409 and "terminated by other getUpdates" in older[1]["description"]
    assert newer == (200, {"ok": True, "result": []})


def test_send_limits_follow_telegram(run):
    async def scenario(c: Client):
        chat = {"chat_id": DEMO_CHAT_ID}
        return {
            "4096 units": await c.api("sendMessage", **chat, text="😀" * 2048),
            "4097 units": await c.api("sendMessage", **chat, text="😀" * 2048 + "!"),
            "empty": await c.api("sendMessage", **chat, text="  "),
            "unknown chat": await c.api("sendMessage", chat_id=1, text="hi"),
            "bad parse mode": await c.api("sendMessage", **chat, text="hi", parse_mode="x"),
            "bad action": await c.api("sendChatAction", **chat, action="dancing"),
            "typing": await c.api("sendChatAction", **chat, action="typing"),
            "bad token": await c.api("getMe", token="1:wrong"),
            "unknown method": await c.api("sendSticker", **chat),
        }, c.emulator.sent

    answers, sent = run(with_client(scenario))
    assert answers["4096 units"][0] == 200
    assert answers["4096 units"][1]["result"]["text"] == "😀" * 2048
    errors = {name: (status, body.get("description")) for name, (status, body) in answers.items()
              if status != 200}
    assert errors == {
        "4097 units": (400, "Bad Request: message is too long"),
        "empty": (400, "Bad Request: message text is empty"),
        "unknown chat": (400, "Bad Request: chat not found"),
        "bad parse mode": (400, "Bad Request: unsupported parse_mode x"),
        "bad action": (400, "Bad Request: wrong parameter action in request"),
        "bad token": (401, "Unauthorized"),
        "unknown method": (404, "Not Found"),
    }
    assert [item["method"] for item in sent] == ["sendMessage", "sendChatAction"]


def test_uploads_captions_scripted_failures_and_the_control_api(run):
    png = render_screenshot("upload")

    async def scenario(c: Client):
        async def send_photo(caption):
            form = aiohttp.FormData({"chat_id": str(DEMO_CHAT_ID), "caption": caption})
            form.add_field("photo", png, filename="shot.png", content_type="image/png")
            url = f"{c.emulator.api_url}{c.emulator.token}/sendPhoto"
            async with c.session.post(url, data=form) as response:
                return response.status, await response.json()

        too_long = await send_photo("c" * 1025)
        await c.control("POST", "failures", method="sendPhoto", error_code=429, retry_after=3)
        limited = await send_photo("c")
        photo = await send_photo("c" * 1024)
        _, sent = await c.control("GET", "sent?since=0")
        _, file = await c.control("GET", f"files/{sent['sent'][0]['file_id']}")
        return too_long, limited, photo, sent, file

    too_long, limited, photo, sent, file = run(with_client(scenario))
    assert too_long[1]["description"] == "Bad Request: message caption is too long"
    assert limited == (429, {"ok": False, "error_code": 429,
                             "description": "Too Many Requests: retry after 3",
                             "parameters": {"retry_after": 3}})
    [size] = photo[1]["result"]["photo"]
    assert (size["width"], size["height"], size["file_size"]) == (480, 300, len(png))
    assert [item["method"] for item in sent["sent"]] == ["sendPhoto"] and file == png
