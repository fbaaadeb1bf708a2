"""Child program of the allocation-failure sweep: runs one scenario again and again with the
N-th allocation failing (_testcapi.set_nomemory), for N = FIRST, FIRST+STEP, ... until the
scenario runs through without meeting the failure SPARE times in a row, or N reaches LAST.
After every attempt it checks that the objects involved still work. Any failure other than
MemoryError (or one the module logged) is reported, and a crash or abort ends the process.

    python allocation_sweep.py SCENARIO FIRST LAST STEP [persistent]

"persistent" makes every allocation from the N-th on fail instead of the N-th alone. Prints
"swept COUNT" and exits 0 when all went well."""

import contextlib
import gc
import os
import sys
import types

import _testcapi

# The fake host lives in the tests' `bridge` package.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

SPARE = 300
MODULE = "kavori.connectors.telegram_bridge"


class Suspend:
    """An awaitable that suspends once, through a generator as `yield from` sees it."""

    def __await__(self):
        return (yield "suspended")


async def await_value(awaitable):
    return await awaitable


def native_or_ours():
    import _pyrt_testmod

    return (("native", await_value), ("ours", _pyrt_testmod.await_value))


def check_coroutine(coroutine):
    """A coroutine after a failed operation acts as one in the state it shows."""
    if coroutine.cr_suspended:
        try:
            coroutine.send("value")
        except StopIteration as stop:
            assert stop.value == "value", stop.value
        else:
            raise AssertionError("the coroutine suspended twice")
    else:
        try:
            coroutine.send(None)
        except RuntimeError as error:
            assert str(error) == "cannot reuse already awaited coroutine", error
        else:
            raise AssertionError("a finished coroutine was resumed")
    assert coroutine.close() is None


def coroutine_scenario(operation):
    def prepare():
        made = []
        for _, function in native_or_ours():
            coroutine = function(Suspend())
            assert coroutine.send(None) == "suspended"
            made.append(coroutine)
        return made

    def attempt(made, failing):
        for coroutine in made:
            try:
                with failing():
                    operation(coroutine)
            except (StopIteration, ValueError):
                pass  # the operation's ordinary outcome

    def check(made):
        for coroutine in made:
            check_coroutine(coroutine)

    return prepare, attempt, check


def surface_scenario():
    from kavori.connectors import telegram_bridge as tb

    functions = [value for value in vars(tb.TelegramBridge).values() if type(value).__name__ == "function"]
    functions.append(tb.get_telegram_bridge)

    def prepare():
        # Dicts come from a free list; holding many keeps it empty, so new ones are allocated.
        return [{} for _ in range(200)]

    def attempt(held, failing):
        with failing():
            for function in functions:
                del function.__annotations__
                function.__annotations__ = {"return": "None"}
                function.__name__ = function.__name__
                function.__signature__
                repr(function)

    def check(held):
        for function in functions:
            function.__annotations__ = {}
            assert function.__annotations__ == {}

    return prepare, attempt, check


def bridge_scenario(kind):
    """One message through the fake host, handled by the bridge's message handler driven by hand
    (no event loop, so every allocation counted is the bridge's, the runtime's or the fake
    host's): a full one with a screenshot, or one whose agent run fails part way. Failures must
    stay inside the bridge (logged, or in the reply) or surface as MemoryError; afterwards the
    same bridge handles a message."""
    import base64
    import logging
    import tempfile

    from bridge.fakes import Host, done, shot, text, tool

    class CallLog(list):
        """The interpreter's specialised `list.append` trips a debug assertion of its own when
        the append cannot allocate; the fake host's call log appends by an ordinary call."""

        def append(self, item):
            self.extend((item,))

    host = Host()
    host.calls = CallLog()
    sys.modules["kavori.gateway.server"], sys.modules["kavori.gateway.ws"] = host.server, host.ws_module
    from kavori.connectors import telegram_bridge as tb

    tempfile.tempdir = tempfile.mkdtemp(prefix="allocation-sweep-")
    records = []
    handler = logging.Handler()
    handler.emit = records.append
    logger = logging.getLogger(tb.__name__)
    logger.addHandler(handler)
    logger.propagate = False
    png = base64.b64encode(b"\x89PNG\r\n\x1a\n-image-").decode()
    bridge = tb.TelegramBridge()

    def handle(text_, chat):
        coroutine = bridge._handle_message(text_, {"chat_id": chat, "from_name": "Ann"})
        try:
            while True:
                coroutine.send(None)
        except StopIteration:
            pass

    def prepare():
        events = [text("hello"), tool("browser", "open"), shot(png), done()]
        if kind == "failing":
            host.agent.script(*events, fail_at=2, error=ConnectionError("agent lost"))
        else:
            host.agent.script(*events)
        records.clear()
        return len(host.sent())

    def attempt(_, failing):
        with failing():
            handle("hi", 7)

    def check(sent_before):
        met = any("MemoryError" in r.getMessage() or (r.exc_info and r.exc_info[0] is MemoryError)
                  for r in records)
        replies = host.sent()[sent_before:]
        expected = "hello\n\n📋 Actions:\n🔧 browser.open"
        if kind == "failing":
            expected = "hello\n⚠️ Processing error: agent lost\n\n📋 Actions:\n🔧 browser.open"
        met = met or replies != [expected]
        host.agent.script(text("again"))
        handle("again", 8)
        assert host.sent()[-1] == "again", host.sent()[-3:]
        for name in os.listdir(tempfile.tempdir):
            os.unlink(os.path.join(tempfile.tempdir, name))  # a failed removal may leave one
        return met

    return prepare, attempt, check


SCENARIOS = {
    "coroutine close": lambda: coroutine_scenario(lambda c: c.close()),
    "coroutine throw": lambda: coroutine_scenario(lambda c: c.throw(ValueError("thrown"))),
    "coroutine send": lambda: coroutine_scenario(lambda c: c.send("sent")),
    "class surface": surface_scenario,
    "full message": lambda: bridge_scenario("full"),
    "failing message": lambda: bridge_scenario("failing"),
    "import": lambda: import_scenario(),
}


def import_scenario():
    import asyncio.coroutines  # noqa: F401 - what the module imports, loaded beforehand
    import base64  # noqa: F401
    import inspect  # noqa: F401
    import logging  # noqa: F401
    import pathlib  # noqa: F401
    import tempfile  # noqa: F401
    import typing  # noqa: F401

    def attempt(_, failing):
        with failing():
            __import__(MODULE)

    def check(_):
        if MODULE in sys.modules:
            module = sys.modules[MODULE]
            assert type(module.get_telegram_bridge()) is module.TelegramBridge
        return False

    return (lambda: None), attempt, check


def main():
    name, first, last, step = sys.argv[1], *map(int, sys.argv[2:5])
    persistent = sys.argv[5:] == ["persistent"]
    prepare, attempt, check = SCENARIOS[name]()
    count = clean = 0
    for n in range(first, last, step):
        state = prepare()
        met = False
        if os.environ.get("SWEEP_TRACE"):
            print("allocation", n, file=sys.stderr, flush=True)

        @contextlib.contextmanager
        def failing(n=n):
            _testcapi.set_nomemory(n, 0 if persistent else n + 1)
            try:
                yield
            finally:
                _testcapi.remove_mem_hooks()

        try:
            try:
                attempt(state, failing)
            except MemoryError:
                met = True
            if check(state):
                met = True
        except BaseException:
            print(f"{name}: allocation {n} failing{' on' if persistent else ''}:", file=sys.stderr)
            raise
        del state
        gc.collect()
        count += 1
        clean = 0 if met else clean + 1
        if name == "import" and MODULE in sys.modules:
            break  # imported: the module exists once per process
        if clean >= SPARE:
            break
    print("swept", count)


if __name__ == "__main__":
    main()
