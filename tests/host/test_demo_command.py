"""The demo command, run as a user runs it (on the suite's build and interpreter)."""

from __future__ import annotations

import asyncio
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from kavori.demo.emulator import DEMO_CHAT_ID, BotApiEmulator

REPO_ROOT = Path(__file__).resolve().parents[2]
DEMO = ["bash", str(REPO_ROOT / "scripts" / "demo")]


@pytest.fixture
def demo_env(build_dir):
    def environment(**extra: str) -> dict[str, str]:
        env = {k: v for k, v in os.environ.items() if not k.startswith("TELEGRAM_")}
        env.update(KAVORI_BUILD_DIR=str(build_dir), KAVORI_PYTHON=sys.executable,
                   PYTHONDEVMODE="1", PYTHONWARNINGS="error", **extra)
        return env

    return environment


def test_replay_answers_every_message_and_saves_the_photos(demo_env, tmp_path):
    """Twice into one folder: the second run's photos go to new files, since the live page
    still shows the first run's."""
    saved = []
    for _ in range(2):
        result = subprocess.run(
            [*DEMO, "--replay", "--web-port", "0", "--delay", "0", "--out", str(tmp_path)],
            env=demo_env(), capture_output=True, text=True, timeout=120,
            stdin=subprocess.DEVNULL, cwd=REPO_ROOT)
        assert result.returncode == 0, result.stdout + result.stderr
        out = result.stdout
        assert "replay ok: 4 messages answered, the stranger ignored" in out
        assert "Live page:        http://127.0.0.1:" in out
        saved.append({p: p.read_bytes() for p in tmp_path.glob("photo-*.png") if f"saved to {p}" in out})
        assert "Dropped a message from chat 666 (Stranger)" in out
        assert result.stderr == ""
    first, second = saved
    assert len(first) == len(second) == 2 and not first.keys() & second.keys()
    assert all(data.startswith(b"\x89PNG") for data in second.values())
    assert all(path.read_bytes() == data for path, data in first.items())


def test_with_a_token_it_serves_that_bot_and_only_with_allowed_chats(run, demo_env):
    """The token mode, pointed at the emulator standing in for Telegram's servers."""

    async def demo(*args: str, **env: str) -> asyncio.subprocess.Process:
        return await asyncio.create_subprocess_exec(
            *DEMO, "--web-port", "0", "--delay", "0", *args, env=demo_env(**env),
            cwd=REPO_ROOT, stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
            stderr=asyncio.subprocess.STDOUT)

    async def scenario():
        async with BotApiEmulator() as emulator:
            # a trailing slash is tolerated
            api = {"TELEGRAM_BOT_TOKEN": emulator.token,
                   "TELEGRAM_API_URL": emulator.api_url + "/"}
            refusing = await demo(**api)
            refused_output, _ = await asyncio.wait_for(refusing.communicate(), 60)
            # every library's debug lines, where the HTTP client logs its request URLs
            serving = await demo("--log-level", "debug", TELEGRAM_CHAT_ID=str(DEMO_CHAT_ID), **api)
            for _ in range(600):
                if emulator.calls_of("getUpdates"):
                    break
                await asyncio.sleep(0.05)
            await emulator.inject_message("hello")
            for _ in range(600):
                reply = [i for i in emulator.sent if i["method"] == "sendMessage"]
                if reply or serving.returncode is not None:
                    break
                await asyncio.sleep(0.05)
            output, _ = await asyncio.wait_for(serving.communicate(b""), 60)  # Ctrl-D
            return emulator, refusing.returncode, refused_output.decode(), \
                serving.returncode, output.decode(), reply

    emulator, refused_code, refused, code, output, reply = run(scenario)
    assert refused_code == 2
    assert "Refusing to start" in refused and "--allow-anyone" in refused
    assert code == 0, output
    assert "The bot @kavori_demo_bot is live on Telegram" in output
    assert reply[0]["chat_id"] == DEMO_CHAT_ID and "hello" in reply[0]["text"]
    assert "/getUpdates" in output  # the request lines were logged, and scanned here
    assert emulator.token not in refused + output


@pytest.mark.parametrize("url", [
    "http://127.0.0.1:9",                      # no /bot path: the token would become the port
    "ftp://127.0.0.1/bot",
    "http://127.0.0.1:99999/bot",
    "http:///bot",
    "http://127.0.0.1:9/bot{TOKEN}",           # the token pasted into the URL
])
def test_a_wrong_api_url_is_refused_up_front_without_the_token(demo_env, url):
    token = "1234567:SECRET-token-abc"
    result = subprocess.run(
        [*DEMO, "--web-port", "0", "--log-level", "debug"],
        env=demo_env(TELEGRAM_BOT_TOKEN=token, TELEGRAM_CHAT_ID="1",
                     TELEGRAM_API_URL=url.replace("{TOKEN}", token)),
        capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL, cwd=REPO_ROOT)
    output = result.stdout + result.stderr
    assert result.returncode == 2, output
    assert "TELEGRAM_API_URL" in output and "Traceback" not in output
    assert token not in output and "SECRET" not in output


@pytest.mark.parametrize("ending", ["Ctrl-C", "SIGTERM", "Ctrl-D"])
@pytest.mark.parametrize("mode", ["offline", "bot token"])
def test_the_demo_stops_cleanly_on_a_signal_or_end_of_input(run, demo_env, mode, ending):
    """Sent to the running demo while a message is being handled: the bridge answers it, then
    stops, the update offset is confirmed, every session closes, and the exit code is 0 (130
    after Ctrl-C). Offline, the user types a second line before the first answer is complete:
    it is shown after its own prompt, not run into the log lines."""

    async def scenario():
        async with BotApiEmulator() as emulator:
            env = {} if mode == "offline" else {
                "TELEGRAM_BOT_TOKEN": emulator.token, "TELEGRAM_API_URL": emulator.api_url,
                "TELEGRAM_CHAT_ID": str(DEMO_CHAT_ID)}
            demo = await asyncio.create_subprocess_exec(
                *DEMO, "--web-port", "0", "--delay", "0.1", env=demo_env(**env), cwd=REPO_ROOT,
                stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
                stderr=asyncio.subprocess.STDOUT)
            output = b""

            async def until(text: bytes) -> None:
                nonlocal output
                while text not in output:
                    chunk = await asyncio.wait_for(demo.stdout.read(4096), 60)
                    assert chunk, f"the demo ended before {text!r}: {output.decode()}"
                    output += chunk

            try:
                if mode == "offline":
                    await until(b"you> ")
                    demo.stdin.write(b"hello\nagain\n")
                    await until(b"bot> You said")
                    await until(b"Processing queued message: again")
                else:
                    await until(b"is live on Telegram")
                    update = await emulator.inject_message("hello")
                    await until(b"Processing queued message: hello")
                if ending == "Ctrl-D":
                    demo.stdin.close()
                else:
                    demo.send_signal(signal.SIGINT if ending == "Ctrl-C" else signal.SIGTERM)
                # stdin stays open after a signal: only the signal may end the demo
                rest = await asyncio.wait_for(demo.stdout.read(), 60)
                await asyncio.wait_for(demo.wait(), 60)
            finally:
                if demo.returncode is None:
                    demo.kill()
                    await demo.wait()
            confirm = None if mode == "offline" else (
                update, emulator.calls_of("getUpdates")[-1]["params"])
            return demo.returncode, (output + rest).decode(), confirm

    code, output, confirm = run(scenario)
    assert code == (130 if ending == "Ctrl-C" else 0), output
    assert "Telegram updates confirmed up to offset" in output
    # the message being handled when the stop came was answered first
    assert output.count("Reply sent to Telegram") == (2 if mode == "offline" else 1), output
    assert output.index("Reply sent to Telegram") < output.index("Telegram bridge stopped")
    if mode == "offline":
        assert "\nyou> again\n" in output, output
    assert "Telegram bridge stopped" in output
    if ending != "Ctrl-D":
        assert f"({ending}: stopping)" in output
    for trouble in ("Traceback", "Unclosed", "was destroyed", "never awaited", "error:"):
        assert trouble not in output, output
    if confirm is not None:
        update, params = confirm
        assert params == {"offset": update["update_id"] + 1, "limit": 1, "timeout": 0}
