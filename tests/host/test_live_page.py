"""The live page in headless Chromium (driven by Playwright's playwright-core from Node.js),
following a Telegram conversation through the bridge as it happens."""

from __future__ import annotations

import asyncio
import json
import os
import shutil
import tempfile
from pathlib import Path
from urllib.parse import urlsplit

import pytest

from kavori.demo.agent import DemoAgent
from kavori.gateway import ws

from .conftest import telegram_stack

REPO_ROOT = Path(__file__).resolve().parents[2]
DRIVER = Path(__file__).with_name("browser_driver.mjs")
BROWSER_DEPS = REPO_ROOT / "build" / "browser-deps"
CHROMIUM = Path("/usr/bin/chromium")
OUTPUT = REPO_ROOT / "build" / "test-output"


def missing_pieces() -> list[str]:
    missing = []
    if shutil.which("node") is None:
        missing.append("Node.js (Debian package nodejs)")
    if not CHROMIUM.exists():
        missing.append(f"{CHROMIUM} (Debian package chromium)")
    if not (BROWSER_DEPS / "node_modules" / "playwright-core").is_dir():
        missing.append(f"playwright-core in {BROWSER_DEPS} (bash scripts/browser-deps)")
    return missing


@pytest.fixture(autouse=True)
def browser_available():
    """Skips when the browser pieces are absent, unless KAVORI_REQUIRE_BROWSER=1 (the test
    command's setting) makes that a failure."""
    missing = missing_pieces()
    if missing:
        message = "the browser test needs " + "; ".join(missing)
        if os.environ.get("KAVORI_REQUIRE_BROWSER") == "1":
            pytest.fail(message)
        pytest.skip(message)


class Browser:
    def __init__(self, process: asyncio.subprocess.Process):
        self.process = process

    @classmethod
    async def launch(cls, profile: str) -> Browser:
        # The browser must not inherit the sanitizer runtime that the ASan run preloads.
        env = {k: v for k, v in os.environ.items()
               if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}
        env.update(KAVORI_BROWSER_DEPS=str(BROWSER_DEPS), KAVORI_CHROMIUM=str(CHROMIUM),
                   KAVORI_PROFILE=profile)
        process = await asyncio.create_subprocess_exec(
            "node", str(DRIVER), stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
            stderr=asyncio.subprocess.PIPE, env=env)
        browser = cls(process)
        assert await browser._answer() == "ready"
        return browser

    async def _answer(self):
        line = await asyncio.wait_for(self.process.stdout.readline(), 30)
        if not line:
            stderr = await self.process.stderr.read()
            raise AssertionError(f"the browser driver ended: {stderr.decode()[-2000:]}")
        answer = json.loads(line)
        if not answer["ok"]:
            raise AssertionError(answer["error"])
        return answer["value"]

    async def do(self, cmd: str, **args):
        self.process.stdin.write((json.dumps({"cmd": cmd, **args}) + "\n").encode())
        await self.process.stdin.drain()
        return await self._answer()

    async def close(self) -> None:
        if self.process.returncode is None:
            try:
                await self.do("close")
            finally:
                self.process.stdin.close()
                try:
                    await asyncio.wait_for(self.process.wait(), 10)
                except TimeoutError:
                    self.process.kill()
                    await self.process.wait()


PAGE_STATE = """(() => ({
  empty: document.getElementById('empty')?.innerText ?? null,
  senders: [...document.querySelectorAll('.label .sender')].map(e => e.innerText),
  times: [...document.querySelectorAll('.label time')].map(e => /\\d:\\d\\d/.test(e.innerText)),
  dropped: [...document.querySelectorAll('.bubble.dropped')].map(e => e.innerText),
  incoming: [...document.querySelectorAll('.bubble.incoming')].map(e => e.innerText),
  agentText: [...document.querySelectorAll('.agent-text')].map(e => e.innerText),
  tools: [...document.querySelectorAll('.tool')].map(e => e.innerText),
  errors: [...document.querySelectorAll('.error')].map(e => e.innerText),
  shots: [...document.querySelectorAll('img.screenshot')].map(i => [i.naturalWidth, i.naturalHeight]),
  working: document.querySelectorAll('.agent.working').length,
}))()"""

# Coloured pixels of an emoji drawn in the page's font: a missing emoji font draws an empty box
# in the text colour (grey), or nothing.
EMOJI_COLOURS = """(async () => {
  await document.fonts.ready;
  const canvas = document.createElement('canvas');
  canvas.width = canvas.height = 40;
  const context = canvas.getContext('2d');
  context.font = '32px sans-serif';
  context.textBaseline = 'top';
  context.fillText('🔧', 0, 0);
  const pixels = context.getImageData(0, 0, 40, 40).data;
  let coloured = 0;
  for (let i = 0; i < pixels.length; i += 4) {
    if (pixels[i + 3] && (pixels[i] !== pixels[i + 1] || pixels[i + 1] !== pixels[i + 2])) coloured++;
  }
  return coloured;
})()"""


def test_page_mirrors_the_conversation_and_keeps_it_across_a_restart(run, build_dir, tmp_path):
    OUTPUT.mkdir(parents=True, exist_ok=True)
    shot = OUTPUT / f"live-page-{build_dir.name}.png"
    history = tmp_path / "live-history.jsonl"

    async def scenario():
        original, ws.manager = ws.manager, ws.WebSocketManager()
        ws.manager.keep_history_in(history)
        try:
            async with telegram_stack(web=True, agent=DemoAgent(delay=0.01)) as stack:
                profile = tempfile.mkdtemp(prefix="kavori-chromium-")
                try:
                    browser = await Browser.launch(profile)
                    try:
                        await browser.do("open", url=stack.page_url)
                        await browser.do("waitFor", selector="#status.connected")
                        empty = await browser.do("evaluate", expression=PAGE_STATE)
                        await stack.exchange("hello there", first_name="Ann")
                        await stack.exchange("error")
                        await stack.emulator.inject_message("let me in", chat_id=666,
                                                            first_name="Mallory")
                        for selector in (".error", "img.screenshot", ".bubble.dropped"):
                            await browser.do("waitFor", selector=selector)
                        live = await browser.do("evaluate", expression=PAGE_STATE)
                        # the server goes away and a new one (a new manager, as in a new
                        # process) comes back with the history it kept: the page reconnects
                        # by itself and shows the same conversation
                        port = urlsplit(stack.page_url).port
                        await stack.web.stop()
                        await browser.do("waitFor", selector="#status.waiting")
                        ws.manager = ws.WebSocketManager()
                        ws.manager.keep_history_in(history)
                        await stack.web.start("127.0.0.1", port)
                        await browser.do("waitFor", selector="#status.connected", timeout=15000)
                        await browser.do("waitFor", selector=".bubble.dropped")
                        again = await browser.do("evaluate", expression=PAGE_STATE)
                        # the picture of the page once it has rendered the history it was sent
                        # (its fonts and images loaded): what a user sees after a reload
                        emoji = await browser.do("evaluate", expression=EMOJI_COLOURS)
                        await browser.do("screenshot", path=str(shot))
                        errors = await browser.do("consoleErrors")
                    finally:
                        await browser.close()
                finally:
                    await asyncio.to_thread(shutil.rmtree, profile, ignore_errors=True)
        finally:
            ws.manager = original
        return empty, live, again, emoji, errors

    empty, live, again, emoji, errors = run(scenario)
    # connected to a server with nothing to show: the hint stays
    assert empty["empty"].startswith("Nothing yet.") and empty["incoming"] == []
    assert live["empty"] is None
    assert live["senders"] == ["Ann", "Agent", "Ann", "Agent", "Mallory"]
    assert live["times"] == [True] * 5
    assert live["incoming"] == ["hello there", "error"]
    assert live["dropped"] == ["let me in\nNot passed to the agent: not an allowed chat."]
    assert live["agentText"][:2] == ["You said: “hello there”.",
                                     "Here is the page I opened; the screenshot is above."]
    assert "I could not finish: the page never answered." in live["agentText"]
    assert live["tools"][:4] == ["🔧 plan.create", "🔧 browser.open", "🔧 browser.screenshot",
                                 "🔧 memory.store"]
    assert live["errors"] == ["⚠️ The browser tool timed out (a demo failure)."]
    assert live["shots"] == [[480, 300]] and live["working"] == 0
    assert again == live
    # WebSocket errors while the server was away are expected; nothing else may go wrong
    assert [e for e in errors if "WebSocket" not in e and "ERR_CONNECTION_REFUSED" not in e] == []
    assert emoji > 50, "no colour emoji font: emoji show as empty boxes"
    # a blank page of this size compresses to a few kilobytes
    assert shot.stat().st_size > 10_000
