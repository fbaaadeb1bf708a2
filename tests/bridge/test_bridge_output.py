"""Sending reply texts and screenshots to the chat."""

import asyncio
import base64
import binascii
import os
import pathlib
import tempfile

import pytest

from .fakes import MISSING, Call, FakeTelegram, Photo

pytestmark = pytest.mark.leakcheck

PNG = b"\x89PNG\r\n\x1a\n" + bytes(range(256)) * 3
PNG_B64 = base64.b64encode(PNG).decode()
SHOT_FAIL = "Failed to send screenshot to Telegram: "


# --- replies -------------------------------------------------------------------------------------

@pytest.mark.parametrize("metadata, default, chat", [
    ({"chat_id": 42}, MISSING, 42),
    ({"chat_id": "@room", "from_name": "Ann"}, 555, "@room"),
    ({}, 555, 555),
    ({"chat_id": None}, "chan", "chan"),
    ({"chat_id": 0}, 555, 555),
    ({"chat_id": ""}, 555, 555),
])
def test_reply_goes_to_the_metadata_chat_else_the_connector_default(run, bridge, host, logs, metadata, default, chat):
    host.telegram.default_chat = default
    before = dict(metadata)
    text = "héllo ✅"
    assert run(bridge._send_reply(text, metadata)) is None
    [call] = host.of("tg.send_message")
    assert call == Call("tg.send_message", (text,), {"chat_id": chat, "parse_mode": ""}) and call.args[0] is text
    assert host.names().count("tg._chat_id") == (0 if metadata.get("chat_id") else 1)
    assert logs.lines == [("INFO", "Reply sent to Telegram (msg_ids=[101])")]
    assert metadata == before


@pytest.mark.parametrize("case", ["no connector", "not configured", "no chat", "no chat attribute"])
def test_reply_refusals(run, bridge, host, logs, case):
    metadata = {"chat_id": 0}
    if case == "no connector":
        del host.connectors.items["telegram"]
    elif case == "not configured":
        host.telegram.configured = False
    elif case == "no chat":
        host.telegram.default_chat = None
    else:
        host.telegram.default_chat = MISSING
        with pytest.raises(AttributeError):
            run(bridge._send_reply("hi", metadata))
    if case != "no chat attribute":
        run(bridge._send_reply("hi", metadata))
    expected = {"no connector": "Cannot send reply — Telegram connector not available",
                "not configured": "Cannot send reply — Telegram connector not available",
                "no chat": "Cannot send reply — no chat_id"}
    assert logs.lines == ([("ERROR", expected[case])] if case in expected else [])
    assert host.of("tg.send_message") == []
    assert ("tg._chat_id" in host.names()) == (case in ("no chat", "no chat attribute"))


class GetOnly:
    """A send result that offers nothing but `get`, and records the keys asked for."""

    def __init__(self, **values):
        self.values, self.asked = values, []

    def get(self, key):
        self.asked.append(key)
        return self.values.get(key)


@pytest.mark.parametrize("values, line, asked", [
    (dict(success=True, message_ids=[11, 12]), ("INFO", "Reply sent to Telegram (msg_ids=[11, 12])"),
     ["success", "message_ids"]),
    (dict(success=1), ("INFO", "Reply sent to Telegram (msg_ids=None)"), ["success", "message_ids"]),
    (dict(success=True, message_ids="7"), ("INFO", "Reply sent to Telegram (msg_ids=7)"), ["success", "message_ids"]),
    (dict(success=False, message="chat not found"), ("ERROR", "Failed to send Telegram reply: chat not found"),
     ["success", "message"]),
    (dict(success=[]), ("ERROR", "Failed to send Telegram reply: None"), ["success", "message"]),
])
def test_reply_outcome_is_logged(run, bridge, host, logs, values, line, asked):
    host.telegram.send_message.result = result = GetOnly(**values)
    run(bridge._send_reply("", {"chat_id": 7}))
    assert host.sent() == [""]
    assert logs.lines == [line]
    assert result.asked == asked


def test_reply_text_is_passed_whole(run, bridge, host):
    text = "ж" * 10_000 + "\n" + "x" * 5000
    run(bridge._send_reply(text, {"chat_id": 7}))
    assert host.sent() == [text] and host.sent()[0] is text


@pytest.mark.parametrize("failure", ["raises", "no get", "cancelled"])
def test_reply_catches_nothing(run, bridge, host, logs, failure):
    error = ConnectionError("network down")
    if failure == "raises":
        host.telegram.send_message.fail(error)
    elif failure == "no get":
        host.telegram.send_message.result = None

    async def main():
        task = asyncio.create_task(bridge._send_reply("hi", {"chat_id": 7}))
        if failure == "cancelled":
            host.telegram.send_message.hold()
            await host.telegram.send_message.entered.wait()
            task.cancel()
        return await task

    expected = {"raises": ConnectionError, "no get": AttributeError, "cancelled": asyncio.CancelledError}[failure]
    with pytest.raises(expected) as info:
        run(main)
    if failure == "raises":
        assert info.value is error
    assert host.sent() == ["hi"]
    assert logs.records == []


# --- screenshots ---------------------------------------------------------------------------------

class RecordingTempfile:
    """Stands in for the module's `tempfile`: real NamedTemporaryFile files whose `write` or
    close may be made to fail after the file exists."""

    def __init__(self, fail=None):
        self.fail, self.calls, self.made = fail, [], []

    def NamedTemporaryFile(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        real = tempfile.NamedTemporaryFile(*args, **kwargs)
        self.made.append(real.name)
        return _File(real, self.fail) if self.fail else real


class _File:
    def __init__(self, real, fail):
        self.real, self.fail_on = real, fail

    name = property(lambda self: self.real.name)

    def write(self, data):
        if self.fail_on == "write":
            raise OSError("disk full")
        return self.real.write(data)

    def close(self):
        self.real.close()
        if self.fail_on == "close":
            raise OSError("close failed")

    def __enter__(self):
        self.real.__enter__()
        return self

    def __exit__(self, *exc):
        self.close()
        return False


@pytest.mark.parametrize("image, data, chat", [(PNG_B64, PNG, 42), ("", b"", None), ("aG\nk=", b"hi", "@room")],
                         ids=["png", "empty", "outside-alphabet"])
def test_screenshot_is_sent_as_a_complete_closed_private_file(run, tb, bridge, host, logs, temp_dir, monkeypatch,
                                                             image, data, chat):
    recorder = RecordingTempfile()
    monkeypatch.setattr(tb, "tempfile", recorder)
    telegram = FakeTelegram(host)  # the connector passed in is the one used; nothing is looked up
    assert run(bridge._send_screenshot(image, chat, telegram)) is True
    assert recorder.calls == [((), {"suffix": ".png", "delete": False})]
    [call] = host.of("tg.send_photo")
    path = call.args[0]
    assert call == Call("tg.send_photo", (path,), {"caption": "📸 Screenshot", "chat_id": chat})
    assert type(path) is str and path == recorder.made[0]
    assert os.path.dirname(path) == str(temp_dir) and path.endswith(".png")
    assert telegram.photos == [Photo(path, data, 0o600, 0)]
    assert not os.path.exists(path)
    assert "get_state" not in host.names()
    assert logs.lines == [("INFO", "Screenshot sent to Telegram")]


def path_that_fails(host):
    """Stands in for the module's `Path`: records the removal, removes the file, then raises."""

    class PathThatFails:
        def __init__(self, path):
            self.path = path

        def unlink(self, **kwargs):
            host.record("Path.unlink", self.path, **kwargs)
            pathlib.Path(self.path).unlink(**kwargs)
            raise PermissionError("denied")

    return PathThatFails


def _decoder_error(text):
    try:
        base64.b64decode(text)
    except binascii.Error as e:
        return str(e)


# case: setup(host, monkeypatch, module), result, log lines, send_photo awaited
SCREENSHOT_ROWS = {
    "malformed base64": (None, False, [("ERROR", SHOT_FAIL + _decoder_error("abc"))], False),
    "send failed": (lambda h, mp, m: setattr(h.telegram.send_photo, "result", {"success": False, "message": "Bad Request"}),
                    False, [("WARNING", SHOT_FAIL + "Bad Request")], True),
    "send failed without message": (lambda h, mp, m: setattr(h.telegram.send_photo, "result", {"success": 0}),
                                    False, [("WARNING", SHOT_FAIL + "None")], True),
    "send raises": (lambda h, mp, m: h.telegram.send_photo.fail(TimeoutError("timed out")),
                    False, [("ERROR", SHOT_FAIL + "timed out")], True),
    "result without get": (lambda h, mp, m: setattr(h.telegram.send_photo, "result", None),
                           False, [("ERROR", SHOT_FAIL + "'NoneType' object has no attribute 'get'")], True),
    "connector removes the file": (lambda h, mp, m: setattr(h.telegram, "removes_photo", True),
                                   True, [("INFO", "Screenshot sent to Telegram")], True),
    "removal raises after success": (lambda h, mp, m: mp.setattr(m, "Path", path_that_fails(h)), False,
                                     [("INFO", "Screenshot sent to Telegram"), ("ERROR", SHOT_FAIL + "denied")], True),
    "removal raises after failure": (
        lambda h, mp, m: (mp.setattr(m, "Path", path_that_fails(h)),
                          setattr(h.telegram.send_photo, "result", {"success": False, "message": "Bad Request"})),
        False, [("WARNING", SHOT_FAIL + "Bad Request"), ("ERROR", SHOT_FAIL + "denied")], True),
    "write fails": (lambda h, mp, m: mp.setattr(m, "tempfile", RecordingTempfile("write")),
                    False, [("ERROR", SHOT_FAIL + "disk full")], False),
    "close fails": (lambda h, mp, m: mp.setattr(m, "tempfile", RecordingTempfile("close")),
                    False, [("ERROR", SHOT_FAIL + "close failed")], False),
}


@pytest.mark.parametrize("case", list(SCREENSHOT_ROWS))
def test_screenshot_failure_rows(run, tb, bridge, host, logs, temp_dir, monkeypatch, case):
    setup, result, lines, sent = SCREENSHOT_ROWS[case]
    if setup:
        setup(host, monkeypatch, tb)
    image = "abc" if case == "malformed base64" else PNG_B64
    assert run(bridge._send_screenshot(image, 9, host.telegram)) is result
    assert logs.lines == lines and all(r.exc is None for r in logs.records)
    assert len(host.of("tg.send_photo")) == sent
    if sent:
        path = host.of("tg.send_photo")[0].args[0]
        assert host.telegram.photos[0].data == PNG
        if "removal raises" in case:
            assert host.calls[-1] == Call("Path.unlink", (path,), {"missing_ok": True})
    assert os.listdir(temp_dir) == []


class Interrupt(BaseException):
    pass


@pytest.mark.parametrize("how", ["cancelled", "base exception"])
def test_screenshot_file_is_removed_when_the_send_is_interrupted(run, bridge, host, logs, temp_dir, how):
    photo = host.telegram.send_photo
    if how == "base exception":
        photo.fail(Interrupt())

    async def main():
        gate = photo.hold()
        task = asyncio.create_task(bridge._send_screenshot(PNG_B64, 1, host.telegram))
        await photo.entered.wait()
        assert os.listdir(temp_dir) == [os.path.basename(host.of("tg.send_photo")[0].args[0])]
        if how == "cancelled":
            task.cancel()
        else:
            gate.set()
        return await task

    with pytest.raises(asyncio.CancelledError if how == "cancelled" else Interrupt):
        run(main)
    assert os.listdir(temp_dir) == []
    assert logs.records == []
