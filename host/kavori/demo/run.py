"""The demo: a Kavori server with the Telegram bridge, the demo agent and the live page.

    python -m kavori.demo.run             you type as the Telegram user; the bot answers here
    python -m kavori.demo.run --replay    plays a few messages, checks the answers, exits

Without TELEGRAM_BOT_TOKEN everything runs offline against the Bot API emulator. With it, the
bot talks to the real Telegram Bot API (TELEGRAM_API_URL overrides the address), and you write
to it from a Telegram app. Who may talk to it then: TELEGRAM_ALLOWED_CHATS (comma-separated chat
ids), else TELEGRAM_CHAT_ID (also where unaddressed replies go); with neither, the demo refuses
to start unless --allow-anyone (or TELEGRAM_ALLOW_ANYONE=1) says every chat may use the bot.
"""

from __future__ import annotations

import argparse
import asyncio
import errno
import logging
import os
import re
import signal
import sys
import threading
from collections.abc import Coroutine
from pathlib import Path
from typing import Any

import aiohttp
from telegram import error as tg_error

from kavori.connectors.telegram import (DEFAULT_API_URL, ConfigurationError, TelegramConnector,
                                        TokenMask, check_api_url, mask_token)
from kavori.connectors.telegram_bridge_drain import DrainOutcome, drain, pending
from kavori.demo.agent import DemoAgent
from kavori.demo.emulator import DEMO_CHAT_ID, BotApiEmulator
from kavori.gateway import ws
from kavori.gateway.server import WebServer, get_state

STRANGER_CHAT_ID = 666
# How long a stop waits for the messages the bridge already took to be answered.
DRAIN_SECONDS = 30.0
REPLAY = ["hello there", "screenshot", "long", "error"]
SHORT_NAMES = {
    "kavori.connectors.telegram_bridge": "bridge",
    "kavori.connectors.telegram": "telegram",
    "kavori.gateway.server": "server",
    "kavori.gateway.ws": "websocket",
}


class LogFormatter(logging.Formatter):
    def __init__(self, dim: bool):
        super().__init__()
        self.dim = dim

    def format(self, record: logging.LogRecord) -> str:
        name = SHORT_NAMES.get(record.name, record.name)
        level = "" if record.levelno == logging.INFO else f"{record.levelname.lower()}: "
        line = f"  [{name}] {level}{record.getMessage()}"
        if record.exc_info:
            line += "\n" + self.formatException(record.exc_info)
        return f"\033[2m{line}\033[0m" if self.dim else line


class Console:
    """The prompt waiting for the user's input, if any: a line printed meanwhile (a log line)
    goes on a line of its own and the prompt is shown again after it."""

    prompt = ""


class ConsoleHandler(logging.StreamHandler):
    def emit(self, record: logging.LogRecord) -> None:
        if Console.prompt:
            self.stream.write("\n")
        super().emit(record)
        if Console.prompt:
            self.stream.write(Console.prompt)
            self.flush()


def configure_logging(verbose: bool, level: str | None = None) -> logging.Handler:
    handler = ConsoleHandler(sys.stdout)
    handler.setFormatter(LogFormatter(dim=sys.stdout.isatty()))
    root = logging.getLogger()
    root.handlers[:] = [handler]
    if level is not None:
        # every library's lines at that level (the HTTP client's request lines among them)
        root.setLevel(level.upper())
        return handler
    root.setLevel(logging.WARNING)
    logging.getLogger("kavori").setLevel(logging.DEBUG if verbose else logging.INFO)
    logging.getLogger("kavori.gateway").setLevel(logging.INFO if verbose else logging.WARNING)
    return handler


def say(text: str = "") -> None:
    print(text, flush=True)


class Host:
    """The server side: state, web page and the bridge, around one connector and agent."""

    def __init__(self, connector: TelegramConnector, agent: DemoAgent):
        self.connector = connector
        self.agent = agent
        self.web = WebServer()
        self.bridge: Any = None

    async def start(self, web_host: str, web_port: int) -> str:
        from kavori.connectors.telegram_bridge import get_telegram_bridge

        state = get_state()
        state.set("agent", self.agent)
        state.connectors.register("telegram", self.connector)
        try:
            url = await self.web.start(web_host, web_port)
        except OSError as error:
            if error.errno != errno.EADDRINUSE or web_port == 0:
                raise
            say(f"Port {web_port} is taken; the page gets a free port instead.")
            url = await self.web.start(web_host, 0)
        self.bridge = get_telegram_bridge()
        await self.bridge.start()
        return url

    async def drain(self, limit: float = DRAIN_SECONDS) -> None:
        """Waits until the bridge has answered every message it took: the connector confirms
        the updates it fetched when it stops, so Telegram would not deliver them again."""
        bridge = self.bridge
        if bridge is None or not bridge.is_running:
            return
        if waiting := pending(bridge):
            say(f"  (answering {waiting} pending message(s) before stopping)")
        result = await drain(bridge, timeout=limit)
        if result.outcome is DrainOutcome.TIMED_OUT:
            say(f"  (gave up waiting after {limit:g} s)")
        elif result.outcome is DrainOutcome.NO_WORKER:
            say(f"  ({result.pending} message(s) left unanswered: the bridge's worker has ended)")

    async def stop(self) -> None:
        try:
            if self.bridge is not None and self.bridge.is_running:
                await self.drain()
                await self.bridge.stop()
        finally:
            await self.web.stop()
            get_state().reset()

    @property
    def idle(self) -> bool:
        """Every message handed to the bridge has had its reply."""
        return self.connector.unanswered == 0


class TerminalUser:
    """Stands in for a person in a Telegram app: writes through the emulator's control API and
    reads what the bot sent back."""

    def __init__(self, control_url: str, session: aiohttp.ClientSession, out_dir: Path,
                 host: Host):
        self.control = control_url
        self.session = session
        self.out_dir = out_dir
        self.host = host
        self.seen = 0
        # Files are numbered on from the last run's: the live page still shows earlier runs'
        # pictures, and the paths printed for them must keep showing the same ones.
        numbers = [int(found.group(1)) for path in out_dir.glob("*-*.png")
                   if (found := re.fullmatch(r"\w+-(\d+)\.png", path.name))]
        self.last_file_number = max(numbers, default=0)

    async def write(self, text: str, *, chat_id: int = DEMO_CHAT_ID,
                    first_name: str | None = None) -> None:
        body: dict[str, Any] = {"text": text, "chat_id": chat_id}
        if first_name:
            body["first_name"] = first_name
        async with self.session.post(f"{self.control}/messages", json=body) as response:
            response.raise_for_status()

    async def _news(self, timeout: float) -> list[dict[str, Any]]:
        url = f"{self.control}/sent?since={self.seen}&timeout={timeout}"
        async with self.session.get(url) as response:
            response.raise_for_status()
            items = (await response.json())["sent"]
        self.seen += len(items)
        return items

    async def read_answer(self, *, expect_reply: bool = True,
                          timeout: float = 60.0) -> list[dict[str, Any]]:
        """Prints what the bot sends until its text reply is complete (or, when no reply is
        expected, until a short quiet period has passed)."""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + (timeout if expect_reply else 1.5)
        items: list[dict[str, Any]] = []
        while True:
            replied = any(item["method"] == "sendMessage" for item in items)
            done = replied and self.host.idle
            remaining = deadline - loop.time()
            # once done, one last look collects anything sent in the same instant
            wait = 0.0 if done or remaining <= 0 else min(remaining, 0.25)
            for item in await self._news(wait):
                if item["method"] != "sendChatAction":
                    await self._show(item)
                elif not any(seen["method"] == "sendChatAction" for seen in items):
                    say("  (bot is typing…)")
                items.append(item)
            if done or remaining <= 0:
                return items

    async def _show(self, item: dict[str, Any]) -> None:
        if item["method"] == "sendMessage":
            body = item["text"].replace("\n", "\n     ")
            say(f"bot> {body}")
            return
        async with self.session.get(f"{self.control}/files/{item['file_id']}") as response:
            response.raise_for_status()
            data = await response.read()
        path = self._new_file(item["method"][4:].lower())
        path.write_bytes(data)
        item["saved_to"] = str(path)
        kind = "photo" if item["method"] == "sendPhoto" else "document"
        size = f" {item['width']}x{item['height']}" if "width" in item else ""
        say(f"bot> [{kind}{size}] {item.get('caption') or ''} → saved to {path}")

    def _new_file(self, kind: str) -> Path:
        """A new file named `kind-N.png`, never one that exists (another demo may share the
        folder)."""
        while True:
            self.last_file_number += 1
            path = self.out_dir / f"{kind}-{self.last_file_number}.png"
            try:
                path.open("xb").close()
                return path
            except FileExistsError:
                continue


class LineReader:
    """stdin lines on the event loop (a daemon thread, so a pending read never blocks exit)."""

    def __init__(self) -> None:
        self.lines: asyncio.Queue[str | None] = asyncio.Queue()
        loop = asyncio.get_running_loop()

        def pump() -> None:
            for line in sys.stdin:
                loop.call_soon_threadsafe(self.lines.put_nowait, line.rstrip("\n"))
            loop.call_soon_threadsafe(self.lines.put_nowait, None)

        threading.Thread(target=pump, name="stdin", daemon=True).start()

    async def next(self, prompt: str) -> str | None:
        if not self.lines.empty():
            # typed while the last answer was arriving: its echo is somewhere among those lines
            line = self.lines.get_nowait()
            if line is not None:
                say(prompt + line)
            return line
        print(prompt, end="", flush=True)
        Console.prompt = prompt
        try:
            return await self.lines.get()
        finally:
            Console.prompt = ""


class Shutdown:
    """Ctrl-C and SIGTERM end the demo the way Ctrl-D does: whatever it is waiting for is
    abandoned and the host stops in order (bridge, connector with its update offset, sessions).
    A second Ctrl-C during that stop interrupts it."""

    def __init__(self) -> None:
        self.requested = asyncio.Event()
        self.signal: signal.Signals | None = None
        self._loop = asyncio.get_running_loop()
        for sig in (signal.SIGINT, signal.SIGTERM):
            try:
                self._loop.add_signal_handler(sig, self._on_signal, sig)
            except (NotImplementedError, RuntimeError):  # no such signals on this platform
                pass

    def _on_signal(self, sig: signal.Signals) -> None:
        self.signal = sig
        self.requested.set()
        self._loop.remove_signal_handler(signal.SIGINT)

    @property
    def exit_code(self) -> int | None:
        """130 after Ctrl-C (the shell's convention), 0 after SIGTERM, None when not asked."""
        if self.signal is None:
            return None
        return 130 if self.signal == signal.SIGINT else 0

    async def run(self, work: Coroutine[Any, Any, int]) -> int:
        """The result of `work`, or the signal's exit code when a signal came first."""
        task = asyncio.ensure_future(work)
        stop = asyncio.ensure_future(self.requested.wait())
        await asyncio.wait({task, stop}, return_when=asyncio.FIRST_COMPLETED)
        stop.cancel()
        if not task.done():
            task.cancel()
            await asyncio.wait([task])
            name = "Ctrl-C" if self.signal == signal.SIGINT else "SIGTERM"
            say(f"\n({name}: stopping)")
            return self.exit_code or 0
        return task.result()


def replay_check(text: str, items: list[dict[str, Any]]) -> str | None:
    """Why the answer to one replayed message is wrong, or None."""
    methods = [item["method"] for item in items]
    replies = [item for item in items if item["method"] == "sendMessage"]
    if not replies:
        return "no text reply"
    if methods[0] != "sendChatAction":
        return "the typing indicator did not come first"
    if methods[-1] != "sendMessage":
        return "the text reply did not come last"
    if text in ("hello there", "screenshot"):
        photos = [item for item in items if item["method"] == "sendPhoto"]
        if len(photos) != 1 or not Path(photos[0].get("saved_to", "")).is_file():
            return "no screenshot saved"
        if not Path(photos[0]["saved_to"]).read_bytes().startswith(b"\x89PNG"):
            return "the saved screenshot is not a PNG"
    if text == "long" and (len(replies) < 2 or sum(len(r["text"]) for r in replies) <= 4096):
        return "the long reply was not split"
    if text == "error" and not any("⚠️" in r["text"] for r in replies):
        return "the agent's error is missing from the reply"
    return None


async def run_offline(args: argparse.Namespace, shutdown: Shutdown) -> int:
    out_dir = Path(args.out).resolve()
    out_dir.mkdir(parents=True, exist_ok=True)
    emulator = BotApiEmulator()
    await emulator.start(args.host, args.emulator_port)
    agent = DemoAgent(delay=args.delay)
    connector = TelegramConnector(emulator.token, default_chat_id=DEMO_CHAT_ID,
                                  base_url=emulator.api_url)
    host = Host(connector, agent)
    try:
        page = await host.start(args.host, args.web_port)
        say(f"Live page:        {page}")
        say(f"Bot API emulator: {emulator.url} (offline; control API at {emulator.url}/control)")
        say(f"Photos go to:     {out_dir}")
        async with aiohttp.ClientSession() as session:
            user = TerminalUser(f"{emulator.url}/control", session, out_dir, host)
            if args.replay:
                return await shutdown.run(replay(user, agent, connector))
            return await shutdown.run(interactive(user))
    finally:
        await host.stop()
        await emulator.close()


async def replay(user: TerminalUser, agent: DemoAgent, connector: TelegramConnector) -> int:
    problems = []
    for text in REPLAY:
        say(f"\nyou> {text}")
        await user.write(text)
        problem = replay_check(text, await user.read_answer())
        if problem:
            problems.append(f"{text!r}: {problem}")
    say("\nstranger> hi, can I use your bot?   (a chat that is not allowed)")
    await user.write("hi, can I use your bot?", chat_id=STRANGER_CHAT_ID, first_name="Stranger")
    if await user.read_answer(expect_reply=False):
        problems.append("the stranger got an answer")
    if connector.dropped_messages != 1 or "hi, can I use your bot?" in agent.handled:
        problems.append("the stranger's message was not dropped")
    say("  (no answer: the bot only talks to allowed chats)")
    if problems:
        say("\nreplay FAILED: " + "; ".join(problems))
        return 1
    say(f"\nreplay ok: {len(REPLAY)} messages answered, the stranger ignored")
    return 0


async def interactive(user: TerminalUser) -> int:
    say("\nType a message as the Telegram user (try: help, screenshot, long, error).")
    say("'/as NAME TEXT' writes from a chat that is not allowed; '/quit' or Ctrl-D ends.\n")
    reader = LineReader()
    while True:
        line = await reader.next("you> ")
        if line is None or line.strip() in ("/quit", "/exit"):
            say("")
            return 0
        if not line.strip():
            continue
        if line.startswith("/as "):
            _, _, rest = line.partition(" ")
            name, _, text = rest.partition(" ")
            await user.write(text or "hello", chat_id=STRANGER_CHAT_ID, first_name=name)
            if not await user.read_answer(expect_reply=False):
                say("  (no answer: the bot only talks to allowed chats)")
            continue
        await user.write(line)
        if not await user.read_answer():
            say("  (no answer within 60 s)")


def _chat_list(value: str | None) -> list[str]:
    return [part.strip() for part in (value or "").split(",") if part.strip()]


async def wait_for_end_of_input() -> int:
    reader = LineReader()
    while await reader.next("") is not None:
        pass
    return 0


async def run_real(args: argparse.Namespace, token: str, shutdown: Shutdown) -> int:
    try:
        api_url = check_api_url(os.environ.get("TELEGRAM_API_URL") or DEFAULT_API_URL, token)
    except ConfigurationError as error:
        say(f"TELEGRAM_API_URL: {error}")
        return 2
    allowed = _chat_list(os.environ.get("TELEGRAM_ALLOWED_CHATS"))
    chat = os.environ.get("TELEGRAM_CHAT_ID", "").strip() or None
    anyone = args.allow_anyone or os.environ.get("TELEGRAM_ALLOW_ANYONE", "").lower() in (
        "1", "true", "yes")
    if args.replay:
        say("--replay plays against the offline emulator: unset TELEGRAM_BOT_TOKEN to use it.")
        return 2
    if not allowed and not chat and not anyone:
        say("Refusing to start: with a real bot token, anyone who finds the bot could use the "
            "agent.\nSet TELEGRAM_CHAT_ID (your chat) or TELEGRAM_ALLOWED_CHATS (a comma-"
            "separated list), or pass --allow-anyone if that is really what you want.")
        return 2
    connector = TelegramConnector(
        token, default_chat_id=chat, allowed_chat_ids=allowed or None, allow_anyone=anyone,
        base_url=api_url)
    host = Host(connector, DemoAgent(delay=args.delay))
    try:
        try:
            page = await host.start(args.host, args.web_port)
        except tg_error.InvalidToken:
            where = "" if api_url == DEFAULT_API_URL else \
                f" (or {mask_token(api_url, token)} is no Bot API server)"
            say(f"The Bot API refused the bot token (TELEGRAM_BOT_TOKEN){where}.")
            return 1
        except tg_error.TelegramError as error:
            say(f"Cannot use the Telegram Bot API: {mask_token(str(error), token)}")
            return 1
        say(f"Live page: {page}")
        say(f"The bot @{connector.bot_username} is live on Telegram: write to it from your "
            "Telegram app. Ctrl-C (or Ctrl-D) stops the demo.")
        if anyone:
            say("Every chat may use the bot (--allow-anyone).")
        return await shutdown.run(wait_for_end_of_input())
    finally:
        await host.stop()


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="scripts/demo", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--replay", action="store_true",
                        help="play a few messages, check the answers and exit (0 when all fine)")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on")
    parser.add_argument("--web-port", type=int, default=8765,
                        help="port of the live page (0 picks a free one; default 8765)")
    parser.add_argument("--emulator-port", type=int, default=0,
                        help="port of the Bot API emulator (default: a free one)")
    parser.add_argument("--out", default="demo-output", help="folder for received photos")
    parser.add_argument("--delay", type=float, default=0.15,
                        help="seconds between the agent's events (default 0.15)")
    parser.add_argument("--allow-anyone", action="store_true",
                        help="with a real token: every chat may use the bot")
    parser.add_argument("--verbose", action="store_true", help="debug log lines too")
    parser.add_argument("--log-level", choices=["debug", "info", "warning", "error"],
                        help="log every library at this level (the bot token is masked)")
    return parser.parse_args(argv)


async def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    handler = configure_logging(args.verbose, args.log_level)
    # The live page's conversation outlives a restart of the demo.
    out_dir = Path(args.out).resolve()
    out_dir.mkdir(parents=True, exist_ok=True)
    ws.manager.keep_history_in(out_dir / "live-history.jsonl")
    token = os.environ.get("TELEGRAM_BOT_TOKEN", "").strip()
    shutdown = Shutdown()
    if token:
        handler.addFilter(TokenMask(token))
        return await run_real(args, token, shutdown)
    return await run_offline(args, shutdown)


if __name__ == "__main__":
    try:
        sys.exit(asyncio.run(main()))
    except KeyboardInterrupt:
        sys.exit(130)
