"""The bridge module with the real host pieces: python-telegram-bot talking HTTP to the Bot API
emulator, the demo agent, the server state and the WebSocket manager."""

from __future__ import annotations

import asyncio
import re

import pytest

from kavori.connectors.telegram import MESSAGE_LIMIT, TelegramConnector, utf16_length
from kavori.demo.agent import long_report, render_screenshot
from kavori.demo.emulator import DEMO_CHAT_ID, BotApiEmulator
from kavori.demo.images import Canvas, image_size
from kavori.gateway import ws
from reliability.model import reply

from .conftest import BRIDGE_LOGGER, messages, telegram_stack


def test_message_in_typing_photo_and_reply_out_in_order(run_any, bridge_log):
    async def scenario():
        async with telegram_stack() as stack:
            sent = await stack.exchange("hello there", first_name="Ann")
            calls = [c["method"] for c in stack.emulator.calls]
            mirrored = list(ws.manager.history)
        return stack, sent, calls, mirrored

    stack, sent, calls, mirrored = run_any(scenario)
    methods = [item["method"] for item in sent]
    # typing first, the screenshot while the agent works (with a typing refresh per counted
    # tool call), the composed reply last
    assert methods[0] == "sendChatAction" and methods[-1] == "sendMessage"
    assert methods.count("sendPhoto") == 1 and methods.count("sendMessage") == 1
    assert methods.index("sendPhoto") < methods.index("sendMessage")
    assert all(item["chat_id"] == DEMO_CHAT_ID for item in sent)
    photo = next(item for item in sent if item["method"] == "sendPhoto")
    assert stack.emulator.files[photo["file_id"]].data == render_screenshot("hello there")
    assert (photo["width"], photo["height"]) == (480, 300)
    assert photo["caption"] == "📸 Screenshot"
    assert sent[-1]["text"] == reply("You said: “hello there”.\n"
                                     "Here is the page I opened; the screenshot is above.",
                                     actions=["🔧 browser.open", "🔧 browser.screenshot"])
    assert stack.agent.handled == ["hello there"]
    # the leftover webhook was removed before polling
    assert calls.index("deleteWebhook") < calls.index("getUpdates")
    # the web page's view: the notice, then every agent event
    assert '"type": "telegram_message"' in mirrored[0] and "(Ann): hello there" in mirrored[0]
    assert len(mirrored) == 1 + 9


def test_long_reply_is_split_and_every_id_is_logged(run, bridge_log):
    async def scenario():
        async with telegram_stack() as stack:
            return await stack.exchange("long")

    sent = run(scenario)
    parts = [item for item in sent if item["method"] == "sendMessage"]
    assert len(parts) >= 2
    assert all(0 < utf16_length(p["text"]) <= MESSAGE_LIMIT for p in parts)
    # nothing lost: the parts hold the whole report and the actions section, in order
    joined = re.sub(r"\s+", "", "".join(p["text"] for p in parts))
    expected = re.sub(r"\s+", "", reply(long_report("long"), actions=["🔧 files.read"]))
    assert joined == expected
    # each cut is at a paragraph break: every part but the last ends a paragraph
    assert all(p["text"].endswith(("🙂.", "✅")) for p in parts[:-1])
    ids = [p["message_id"] for p in parts]
    assert f"Reply sent to Telegram (msg_ids={ids})" in messages(bridge_log, BRIDGE_LOGGER)


def test_a_stranger_never_reaches_the_agent(run, bridge_log):
    async def scenario():
        async with telegram_stack() as stack:
            await stack.emulator.inject_message("let me in", chat_id=9999, first_name="Eve")
            sent = await stack.exchange("hi", first_name="Ann")
        return stack, sent

    stack, sent = run(scenario)
    assert stack.agent.handled == ["hi"]
    assert {item["chat_id"] for item in stack.emulator.sent} == {DEMO_CHAT_ID}
    assert stack.connector.dropped_messages == 1
    dropped = [m for m in messages(bridge_log, "kavori.connectors.telegram") if "9999" in m]
    assert dropped == ["Dropped a message from chat 9999 (Eve): not an allowed chat"]
    assert not any("let me in" in m for m in messages(bridge_log, BRIDGE_LOGGER))


def test_rate_limited_reply_is_retried_after_retry_after(run, bridge_log):
    async def scenario():
        async with telegram_stack() as stack:
            stack.emulator.fail_next("sendMessage", 429, retry_after=1)
            sent = await stack.exchange("remember the milk")
            return stack, sent

    stack, sent = run(scenario)
    attempts = stack.emulator.calls_of("sendMessage")
    assert [a["status"] for a in attempts] == [429, 200]
    assert attempts[1]["time"] - attempts[0]["time"] >= 0.9
    assert sent[-1]["text"] == "Noted: the milk. I now keep 1 note(s)."
    assert any(m.startswith("Reply sent to Telegram") for m in messages(bridge_log, BRIDGE_LOGGER))


def test_retries_are_bounded_and_a_failure_is_reported(run):
    async def scenario():
        async with BotApiEmulator() as emulator:
            connector = TelegramConnector(emulator.token, default_chat_id=DEMO_CHAT_ID,
                                          base_url=emulator.api_url, max_retries=1)
            await connector.start()
            try:
                emulator.fail_next("sendMessage", 429, retry_after=1, times=2)
                limited = await connector.send_message("hi", chat_id=DEMO_CHAT_ID)
                emulator.fail_next("sendMessage", 400, description="Bad Request: chat not found")
                refused = await connector.send_message("hi", chat_id=DEMO_CHAT_ID)
            finally:
                await connector.stop()
            return emulator, limited, refused

    emulator, limited, refused = run(scenario)
    assert [c["status"] for c in emulator.calls_of("sendMessage")] == [429, 429, 400]
    assert limited["success"] is False and "retry" in limited["message"].lower()
    assert refused == {"success": False, "message": "Chat not found", "message_ids": []}


def test_photo_refused_for_size_or_dimensions_goes_as_a_document(run, tmp_path):
    tall = Canvas(40, 9970).png()  # width + height over 10000
    small = render_screenshot("ok")
    limit = max(len(tall), len(small)) + 100  # the emulator's photo size limit below
    big = small + bytes(limit)
    for name, data in (("tall.png", tall), ("small.png", small), ("big.png", big)):
        (tmp_path / name).write_bytes(data)

    async def scenario():
        async with BotApiEmulator(photo_max_bytes=limit) as emulator:
            connector = TelegramConnector(emulator.token, default_chat_id=DEMO_CHAT_ID,
                                          base_url=emulator.api_url)
            await connector.start()
            try:
                results = [await connector.send_photo(tmp_path / name, caption="📸")
                           for name in ("tall.png", "small.png", "big.png")]
            finally:
                await connector.stop()
            return emulator, results

    emulator, results = run(scenario)
    assert [r["sent_as"] for r in results] == ["document", "photo", "document"]
    assert all(r["success"] and len(r["message_ids"]) == 1 for r in results)
    outgoing = {item["file_name"]: item for item in emulator.sent}
    assert emulator.files[outgoing["tall.png"]["file_id"]].data == tall
    assert image_size(emulator.files[outgoing["big.png"]["file_id"]].data) == (480, 300)
    assert [e["error"] for e in emulator.calls_of("sendPhoto") if e["status"] != 200] == [
        "Bad Request: PHOTO_INVALID_DIMENSIONS", "Bad Request: PHOTO_SAVE_FILE_INVALID"]


@pytest.mark.parametrize("stopped_from", ["a caller", "a task being cancelled"])
def test_stop_confirms_the_last_update_so_a_restart_does_not_repeat_it(run, stopped_from):
    """The second case is a host whose main task is cancelled (Ctrl-C under asyncio.run) and
    stops the connector on its way out: it still confirms and closes, then the cancellation
    goes on."""
    received = []
    stuck = asyncio.Event()

    async def handler(text, metadata):
        received.append((text, metadata["chat_id"], metadata["from_name"]))
        if text == "while you were away":
            await stuck.wait()  # still busy with it when the connector is stopped

    async def until_received(count):
        for _ in range(500):
            if len(received) >= count:
                return
            await asyncio.sleep(0.02)
        raise AssertionError(f"only {received} arrived")

    async def scenario():
        async with BotApiEmulator() as emulator:
            def connector():
                made = TelegramConnector(emulator.token, default_chat_id=DEMO_CHAT_ID,
                                         base_url=emulator.api_url)
                made.set_message_handler(handler)
                return made

            # written while the bot was offline: delivered once polling starts
            update = await emulator.inject_message("while you were away", first_name="Ann")
            first = connector()
            await first.start()
            await until_received(1)
            if stopped_from == "a caller":
                await first.stop()
            else:
                async def host_main():
                    try:
                        await asyncio.Event().wait()
                    finally:
                        await first.stop()

                main = asyncio.create_task(host_main())
                await asyncio.sleep(0)
                main.cancel()
                await asyncio.wait([main])
                assert main.cancelled()
            assert not first.is_running
            confirm = emulator.calls_of("getUpdates")[-1]
            # a new process: an unconfirmed update would come again, before this one
            second = connector()
            await second.start()
            await emulator.inject_message("second")
            await until_received(2)
            await second.stop()
            # the same connector started again
            await emulator.inject_message("third")
            await second.start()
            await until_received(3)
            await second.stop()
            return update, confirm

    update, confirm = run(scenario)
    assert confirm["params"] == {"offset": update["update_id"] + 1, "limit": 1, "timeout": 0}
    assert received == [("while you were away", DEMO_CHAT_ID, "Ann"),
                        ("second", DEMO_CHAT_ID, "Ann"), ("third", DEMO_CHAT_ID, "Ann")]
