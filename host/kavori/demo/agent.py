"""A deterministic stand-in for the server's AI agent.

`DemoAgent().process_message(text)` is an async iterator of `AgentEvent`s (type, data,
to_dict()), the same shape the real agent streams. What it does depends on words in the text:

    help         the list below
    long         a report longer than one Telegram message (over 4096 characters)
    screenshot   opens a page and returns a screenshot
    error        a tool fails: an error event in the middle of the answer
    remember X   stores X in its memory
    (anything else)  echoes the text, plans, "browses" and returns a screenshot

The same text always gives the same events, byte for byte.
"""

from __future__ import annotations

import asyncio
import base64
import hashlib
from collections.abc import AsyncIterator
from typing import Any

from kavori.demo.images import Canvas

HELP = (
    "I am the demo agent. Try:\n"
    "• screenshot — I open a page and send you a screenshot\n"
    "• long — a report too long for one Telegram message\n"
    "• error — a tool fails on purpose\n"
    "• remember <something> — I keep a note\n"
    "Anything else is echoed back, with a screenshot."
)


class AgentEvent:
    def __init__(self, type: str, data: dict[str, Any] | None = None):
        self.type = type
        self.data = {} if data is None else data

    def to_dict(self) -> dict[str, Any]:
        return {"type": self.type, "data": self.data}

    def __repr__(self) -> str:
        return f"AgentEvent({self.type!r}, {self.data!r})"


def _text(content: str) -> AgentEvent:
    return AgentEvent("text", {"content": content})


def _tool(tool: str, operation: str | None = None, **arguments: Any) -> AgentEvent:
    if operation is not None:
        arguments["operation"] = operation
    return AgentEvent("tool_call", {"tool": tool, "arguments": arguments})


def _result(tool: str, output: str, **extra: Any) -> AgentEvent:
    return AgentEvent("tool_result", {"tool": tool, "output": output, **extra})


def render_screenshot(seed: str, width: int = 480, height: int = 300) -> bytes:
    """A PNG that looks like a small browser window; its content follows from `seed`."""
    digest = hashlib.sha256(seed.encode()).digest()
    canvas = Canvas(width, height, (246, 247, 249))
    canvas.rect(0, 0, width, 28, (222, 225, 230))  # title bar
    for i, color in enumerate([(237, 106, 94), (245, 191, 79), (98, 197, 84)]):
        canvas.rect(10 + 16 * i, 9, 10, 10, color)
    canvas.rect(70, 6, width - 90, 16, (255, 255, 255))  # address bar
    accent = (40 + digest[0] % 80, 90 + digest[1] % 100, 160 + digest[2] % 90)
    canvas.rect(0, 28, width, 46, accent)  # page header
    canvas.rect(20, 44, 160, 14, (255, 255, 255))
    for line in range(6):  # paragraph lines
        canvas.rect(20, 92 + 16 * line, 150 + digest[3 + line] % 90, 8, (170, 174, 182))
    for bar in range(8):  # a bar chart
        h = 30 + digest[10 + bar] % 120
        canvas.rect(280 + 22 * bar, 270 - h, 16, h, accent)
    canvas.rect(270, 270, 190, 2, (120, 124, 130))
    return canvas.png()


def long_report(topic: str) -> str:
    """About 6,500 characters in 14 paragraphs, with emoji outside the BMP along the way."""
    paragraphs = [f"📄 Long report on “{topic}”."]
    for number in range(1, 14):
        sentences = " ".join(
            f"Finding {number}.{i}: the measurement {i} of section {number} stayed within its "
            f"expected range, so nothing needs doing here 🙂."
            for i in range(1, 5)
        )
        paragraphs.append(f"Section {number} 🔎\n{sentences}")
    paragraphs.append("That is the whole report. ✅")
    return "\n\n".join(paragraphs)


class DemoAgent:
    """The agent in the demo's server state. `delay` spaces the events out (seconds) so that
    the live page shows them arriving."""

    def __init__(self, *, delay: float = 0.0):
        self.delay = delay
        self.memory: list[str] = []
        self.handled: list[str] = []

    async def process_message(self, text: str) -> AsyncIterator[AgentEvent]:
        self.handled.append(text)
        for event in self._script(text):
            if self.delay:
                await asyncio.sleep(self.delay)
            else:
                await asyncio.sleep(0)
            yield event

    def _script(self, text: str) -> list[AgentEvent]:
        words = text.strip().lower()
        if words.startswith("/"):
            words = words[1:]
        if words in ("help", "start"):
            return [_text(HELP), AgentEvent("done", {"steps": 0})]
        if "long" in words:
            # One text event per paragraph; the pieces are joined by line breaks.
            paragraphs = long_report(text.strip()).split("\n\n")
            return [
                _tool("plan", "create", steps=["collect", "write"]),
                _tool("files", "read", path="report-data.csv"),
                _result("files", f"{len(paragraphs)} sections read"),
                *(_text(p + "\n") for p in paragraphs[:-1]),
                _text(paragraphs[-1]),
                AgentEvent("done", {"steps": 2}),
            ]
        if "error" in words:
            return [
                _text("Let me check that page for you."),
                _tool("browser", "click", selector="#submit"),
                AgentEvent("error", {"message": "The browser tool timed out (a demo failure)."}),
                _text("I could not finish: the page never answered."),
                AgentEvent("done", {"steps": 1}),
            ]
        if words.startswith("remember"):
            note = text.strip()[len("remember"):].strip() or "(nothing)"
            self.memory.append(note)
            return [
                _tool("memory", "store", note=note),
                _result("memory", "stored"),
                _text(f"Noted: {note}. I now keep {len(self.memory)} note(s)."),
                AgentEvent("done", {"steps": 1}),
            ]
        return self._browse(text, with_echo="screenshot" not in words)

    def _browse(self, text: str, *, with_echo: bool) -> list[AgentEvent]:
        shot = base64.b64encode(render_screenshot(text)).decode("ascii")
        events = []
        if with_echo:
            events.append(_text(f"You said: “{text.strip()}”."))
        events += [
            _tool("plan", "create", steps=["open the page", "take a screenshot"]),
            _tool("browser", "open", url="https://example.org/"),
            _result("browser", "page loaded"),
            _tool("browser", "screenshot"),
            _result("browser", "screenshot taken", screenshot=True, image_base64=shot),
            _tool("memory", "store", note=text.strip()[:40]),
            _text("Here is the page I opened; the screenshot is above."),
            AgentEvent("done", {"steps": 2}),
        ]
        return events
