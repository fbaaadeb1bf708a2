"""Screenshots on disk are private to the user whatever the umask, and gone when the delivery
ends; log lines carry user and agent text only up to the cut-offs (80 characters of a message,
100 of an agent text), counted in code points, and never treat it as a format string."""

import asyncio
import base64
import os
import stat

import pytest

from bridge.fakes import error, shot, text, tool, until

from .model import PROCESSING_ERROR, reply

pytestmark = pytest.mark.leakcheck

PNG_B64 = base64.b64encode(b"\x89PNG\r\n\x1a\n" + bytes(range(200))).decode()


@pytest.mark.parametrize("umask", [0o000, 0o022, 0o077])
def test_screenshot_files_are_private_and_short_lived(run, tb, host, temp_dir, umask):
    seen = []

    def inspect_file(path, **kwargs):
        info = os.lstat(path)
        seen.append((os.path.dirname(path), stat.S_ISREG(info.st_mode), stat.S_IMODE(info.st_mode),
                     info.st_uid, info.st_nlink, os.listdir(temp_dir)))

    host.ops["tg.send_photo"].on_call = inspect_file
    host.agent.script(*[host.event(e) for e in (shot(PNG_B64), shot(PNG_B64), text("two photos"))])
    bridge = tb.TelegramBridge()

    async def main():
        await bridge.start()
        await host.telegram.handlers[-1]("show me", {"chat_id": 3})
        await until(lambda: host.delivered)
        await bridge.stop()

    old = os.umask(umask)
    try:
        run(main)
    finally:
        os.umask(old)
    assert [s[:5] for s in seen] == [(temp_dir, True, 0o600, os.getuid(), 1)] * 2
    assert [len(s[5]) for s in seen] == [1, 1]  # one file at a time: the first is gone before the second
    assert seen[0][5] != seen[1][5]
    assert host.delivered == [(3, "two photos")] and os.listdir(temp_dir) == []


CUT = 80


def user_text(marker):
    """A text whose 80th code point is a character outside the Basic Multilingual Plane (two
    UTF-16 units, four UTF-8 bytes), mixed with combining marks, a lone surrogate, format
    directives and line breaks; what follows the cut ends with `marker`."""
    head = ("é\u0301%s\n%(x)s\udcff\u202e" * 10)[:CUT - 1] + "🚀"
    return head + "🚀after the cut " + marker


def test_log_lines_cut_user_text_by_code_points(run, tb, host, logs):
    message = user_text("SECRET-IN-MESSAGE")
    agent_text = (("ü🚀%d" * 40)[:99] + "🚀") + "SECRET-IN-AGENT-TEXT"
    long_error = "ε" * 299 + "🚀" + "SECRET-AFTER-300 " + "x" * 182 + "🚀" + "END-OF-ERROR"
    host.agent.script(*[host.event(e) for e in (text(agent_text), error("agent error 🚀"), tool("browser", "open"))],
                      fail_at=3, error=RuntimeError(long_error))
    bridge = tb.TelegramBridge()

    async def main():
        await bridge.start()
        host.faults.plant("send_typing", 3, raises=RuntimeError(long_error))
        await host.telegram.handlers[-1](message, {"chat_id": 4, "from_name": "Ann 🚀 %s"})
        await host.telegram.handlers[-1](message, {"chat_id": 5})
        await until(lambda: len(host.delivered) == 2)
        await bridge.stop()

    run(main)
    lines = [r.msg for r in logs.records]
    assert all(isinstance(line, str) for line in lines)  # one finished string per line
    assert lines.count("Queuing Telegram message from Ann 🚀 %s: " + message[:CUT]) == 1
    assert lines.count("Processing queued message: " + message[:CUT]) == 2
    assert "Agent text: " + agent_text[:100] in lines
    assert message[:CUT].endswith("🚀") and agent_text[:100].endswith("🚀")
    assert not any("SECRET-IN" in line for line in lines)
    # The error texts are the host's own, not user text: the logs keep them whole; the chat gets
    # the first 300 (agent run) or 500 (apology) code points.
    assert "Error processing Telegram message: " + long_error in lines
    assert "Agent error event: agent error 🚀" in lines
    assert host.delivered == [
        (4, reply(agent_text, "⚠️ agent error 🚀", PROCESSING_ERROR + long_error[:300],
                  actions=["🔧 browser.open"])),
        (5, "⚠️ Sorry, I encountered an error:\n" + long_error[:500])]
    assert long_error[:300].endswith("🚀") and long_error[:500].endswith("🚀")
