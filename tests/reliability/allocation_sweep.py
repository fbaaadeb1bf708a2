"""Child program of the allocation-failure sweep: runs one scenario again and again with the
N-th allocation failing (_testcapi.set_nomemory), for N = FIRST, FIRST+STEP, ... until the
scenario runs through without meeting the failure SPARE times in a row, or N reaches LAST.
After every attempt it checks that the objects involved still work. Any failure other than
MemoryError (or one the module logged) is reported, and a crash or abort ends the process.

On the debug interpreter it also checks for leaks: an attempt after which more references or
memory blocks are alive, and again after each of a few repetitions, is then run in batches with
the same allocation failing (see LEAK_BATCH), and when every batch grew by at least one of either
per attempt a line "leak N: [(references, blocks), ...] per 10 attempts" is printed (for the
first LEAK_REPORTS such attempts; the sweep goes on without the check after that).

    python allocation_sweep.py SCENARIO FIRST LAST STEP [persistent]

"persistent" makes every allocation from the N-th on fail instead of the N-th alone. Prints
"swept COUNT" and exits 0 when all went well."""

import asyncio
import collections
import contextlib
import functools
import gc
import os
import sys
import types

import _testcapi

# The fake host lives in the tests' `bridge` package.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from reliability import model  # noqa: E402  (the expected replies)

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


class Idle:
    """The worker's wait for a work item, suspended: what the driver sees when the worker idles."""

    def __await__(self):
        yield "idle"


class InstantQueue:
    """asyncio.Queue as the worker uses it, without an event loop: `put` completes at once, and
    `get` on an empty queue suspends once; resumed still empty, the wait has timed out."""

    def __init__(self):
        self.items = collections.deque()

    async def put(self, item):
        self.items.append(item)

    async def get(self):
        if not self.items:
            await Idle()
        if not self.items:
            raise TimeoutError
        return self.items.popleft()


class InstantTask:
    """asyncio's task for the worker, stepped by the sweep: `run_until_idle` runs the worker until
    it waits for work; awaiting the task runs it to its end, with a cancellation thrown in at its
    wait when `cancel` was called (each later resumption is a poll timeout, as a running loop
    would give it)."""

    def __init__(self, coroutine):
        self.coroutine = coroutine
        self.finished = False
        self.cancel_requested = False
        self.result = self.error = None

    def done(self):
        return self.finished

    def cancel(self):
        self.cancel_requested = not self.finished
        return self.cancel_requested

    def _step(self, throw):
        try:
            if throw:
                return self.coroutine.throw(asyncio.CancelledError())
            return self.coroutine.send(None)
        except StopIteration as stop:
            self.finished, self.result = True, stop.value
        except BaseException as error:  # kept, as a task keeps it, for whoever awaits the task
            self.finished, self.error = True, error
        return None

    def run_until_idle(self):
        while not self.finished and self._step(False) != "idle":
            pass

    def __await__(self):
        throw = self.cancel_requested
        for _ in range(100):
            if self.finished:
                break
            self._step(throw)
            throw = False
        else:
            raise AssertionError("the worker did not end")
        if self.error is not None:
            raise self.error
        return self.result
        yield  # a generator, as __await__ must give one


def instant_asyncio(tasks):
    """A stand-in for the module's `asyncio` whose awaitables complete at once, so start, the
    worker and stop run without an event loop; the tasks it creates are appended to `tasks`.

    The real event loop loses tasks under injected allocation failure, with or without the
    module. Driven on a real loop (debug interpreter; the loop's debug mode off, since its stack
    capture trips an interpreter assertion under failure), the same round (start, a message whose
    typing call fails, the apology, stop) with the N-th allocation failing, every 3rd N to the
    end of the path, hung in 14 of 511 attempts through the bridge's `async def` twin and in 48
    of 422 through the module. Every hang was a task whose step
    (TaskStepMethWrapper) or wakeup (Task.task_wakeup) callback raised MemoryError inside
    asyncio: from the Handle that call_soon makes to reschedule the task after a bare yield
    (base_events._call_soon, `events.Handle(...)`, under `await asyncio.sleep(0)`) or from
    Context.run itself. The loop reports it to its exception handler ("Exception in callback
    ...") and never schedules that task again; cancel() then only marks it, and whoever awaits it
    (stop(), run_until_complete) waits forever. In most hangs the lost task was the driving task
    itself, waiting in asyncio.sleep(0); no hang came without such a lost callback. Which N hits
    which allocation depends on the process's history (a single attempt at N=200 hung with the
    twin and not with the module, the reverse of the sweep), so the counts only show that both
    hang."""

    async def wait_for(awaitable, timeout):
        return await awaitable

    async def sleep(delay, result=None):
        return result

    def create_task(coroutine):
        tasks.append(InstantTask(coroutine))
        return tasks[-1]

    return types.SimpleNamespace(Queue=InstantQueue, wait_for=wait_for, sleep=sleep,
                                 create_task=create_task, CancelledError=asyncio.CancelledError)


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
    """One message through the fake host, driven by hand (no event loop, so every allocation
    counted is the bridge's, the runtime's or the fake host's): a full one with a screenshot, or
    one whose agent run fails part way, handled by the message handler; or ("worker") the bridge
    started, a message whose handling fails taken and apologised for by the worker, and the
    bridge stopped, with the module's `asyncio` replaced by one whose awaitables complete at once.
    Failures must stay inside the bridge (logged, or in the reply) or surface as MemoryError;
    afterwards the same bridge handles a message."""
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
    host.telegram.photos = CallLog()  # the fake connector's record of each photo it was sent
    sys.modules["kavori.gateway.server"], sys.modules["kavori.gateway.ws"] = host.server, host.ws_module
    from kavori.connectors import telegram_bridge as tb

    tasks = []
    if kind == "worker":
        tb.asyncio = instant_asyncio(tasks)
    tempfile.tempdir = tempfile.mkdtemp(prefix="allocation-sweep-")
    records = []
    handler = logging.Handler()
    handler.emit = records.append
    logger = logging.getLogger(tb.__name__)
    logger.addHandler(handler)
    logger.propagate = False
    png = base64.b64encode(b"\x89PNG\r\n\x1a\n-image-").decode()
    bridge = tb.TelegramBridge()
    raised = []  # MemoryError met by a step of the worker path, which goes on with the next step

    def drive(coroutine):
        try:
            while True:
                coroutine.send(None)
        except StopIteration as stop:
            return stop.value

    def handle(text_, chat):
        drive(bridge._handle_message(text_, {"chat_id": chat, "from_name": "Ann"}))

    def worker_steps(text_, chat):
        yield lambda: drive(bridge.start())
        yield lambda: drive(bridge._on_telegram_message(text_, {"chat_id": chat, "from_name": "Ann"}))
        yield lambda: tasks and tasks[-1].run_until_idle()
        yield lambda: drive(bridge.stop())

    def worker_round(text_, chat):
        for step in worker_steps(text_, chat):
            step()

    def prepare():
        host.calls.clear()
        host.telegram.handlers.clear()  # the fake connector keeps every handler registered
        host.telegram.photos.clear()  # and its record of every photo
        records.clear()
        raised.clear()
        if kind == "worker":
            typing = host.telegram.send_typing
            typing.fail_calls = {typing.count + 1: ConnectionError("typing lost")}
            return len(host.sent())
        events = [text("hello"), tool("browser", "open"), shot(png), done()]
        if kind == "failing":
            host.agent.script(*events, fail_at=2, error=ConnectionError("agent lost"))
        else:
            host.agent.script(*events)
        return len(host.sent())

    def attempt(_, failing):
        if kind != "worker":
            with failing():
                handle("hi", 7)
            return
        with failing():
            for step in worker_steps("hi", 7):
                try:
                    step()
                except MemoryError:
                    raised.append(True)

    reply = {"full": model.reply("hello", actions=["🔧 browser.open"]),
             "failing": model.reply("hello", model.PROCESSING_ERROR + "agent lost", actions=["🔧 browser.open"]),
             "worker": model.APOLOGY + "typing lost"}[kind]

    def check(sent_before):
        met = bool(raised) or any(
            "MemoryError" in r.getMessage() or (r.exc_info and r.exc_info[0] is MemoryError) for r in records)
        met = met or host.sent()[sent_before:] != [reply]
        if kind == "worker":
            try:
                drive(bridge.stop())
            except MemoryError:
                met = True  # the worker ended with it; awaiting the task hands it on
                drive(bridge.stop())
            assert not bridge.is_running and bridge._worker_task is None
            bridge._queue.items.clear()  # a message queued while no worker ran
            tasks.clear()
            prepare()
            worker_round("again", 8)
            assert tasks and tasks[-1].done() and not bridge.is_running, tasks
        else:
            host.agent.script(text("again"))
            handle("again", 8)
        assert host.sent()[-1] == (reply if kind == "worker" else "again"), host.sent()[-3:]
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
    "worker start stop": lambda: bridge_scenario("worker"),
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


@contextlib.contextmanager
def failing(n, persistent):
    """The n-th allocation fails (with `persistent`, every one from it on) while the block runs."""
    _testcapi.set_nomemory(n, 0 if persistent else n + 1)
    try:
        yield
    finally:
        _testcapi.remove_mem_hooks()


def settled():
    """References and memory blocks alive after a full collection, with the interpreter's
    attribute cache emptied: each of its 4096 slots keeps the name object last looked up there,
    so lookups by freshly made names (the interpreter's own, e.g. when it prints an unraisable
    exception) leave a slowly growing number of strings in it, a bounded store, not a leak. (That
    the runtime's own lookups leave nothing there is tested apart, in tests/runtime.)"""
    sys._clear_internal_caches()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def growth(function, *args):
    """How many references and memory blocks more are alive after `function(*args)` than
    before (debug interpreter only)."""
    references, blocks = settled()
    function(*args)
    after = settled()
    return after[0] - references, after[1] - blocks


def nothing():
    pass


def repeat(function, n):
    for _ in range(LEAK_BATCH):
        function(n)


# An attempt after which references or blocks grew, and grew again in each of LEAK_REPEATS
# repetitions, is run again in batches of LEAK_BATCH with the same allocation failing: one batch
# to warm up, then LEAK_BATCHES batches, and it leaks when every one of those grew by at least one
# reference or one block per attempt. A leak loses that much with every attempt; a bounded store
# that fills slowly (a free list, one of the interpreter's caches) does not. Growth after a few
# single attempts cannot tell them apart: with the same allocation failing, the failure moves to
# other sites as such stores fill, so a store can grow by one now and then over a hundred
# attempts before it is full.
LEAK_REPEATS = 3
LEAK_BATCH = 10
LEAK_BATCHES = 3
LEAK_REPORTS = 5


def main():
    name, first, last, step = sys.argv[1], *map(int, sys.argv[2:5])
    persistent = "persistent" in sys.argv[5:]
    prepare, attempt, check = SCENARIOS[name]()
    leak_check = hasattr(sys, "gettotalrefcount") and name != "import"
    reports = 0
    # What is alive before the first attempt (the interpreter's, asyncio's and logging's objects,
    # the host, the bridge) is left out of every later collection: walking it three times an
    # attempt was nearly all of a sweep's time. The leak check's counts still include it.
    gc.collect()
    gc.freeze()
    if leak_check:
        # The measurement's own numbers are alive at its second reading: growth beyond that.
        overhead = [growth(nothing) for _ in range(3)][-1]

    def leaked(grown):
        return any(g > o for g, o in zip(grown, overhead))

    def run_once(n):
        state = prepare()
        met = False
        try:
            try:
                attempt(state, functools.partial(failing, n, persistent))
            except MemoryError:
                met = True
            if check(state):
                met = True
        except BaseException:
            print(f"{name}: allocation {n} failing{' on' if persistent else ''}:", file=sys.stderr)
            raise
        return met

    count = clean = 0
    for n in range(first, last, step):
        if os.environ.get("SWEEP_TRACE"):
            print("allocation", n, file=sys.stderr, flush=True)
        outcome = []
        if not leak_check:
            outcome.append(run_once(n))
        elif leaked(growth(lambda: outcome.append(run_once(n)))) and all(
                leaked(growth(run_once, n)) for _ in range(LEAK_REPEATS)):
            batch = functools.partial(repeat, run_once, n)
            batch()
            grew = [tuple(g - o for g, o in zip(growth(batch), overhead)) for _ in range(LEAK_BATCHES)]
            if all(max(grown) >= LEAK_BATCH for grown in grew):
                print(f"leak {n}: {grew} per {LEAK_BATCH} attempts")
                reports += 1
                leak_check = reports < LEAK_REPORTS
        gc.collect()
        count += 1
        clean = 0 if outcome[0] else clean + 1
        if name == "import" and MODULE in sys.modules:
            break  # imported: the module exists once per process
        if clean >= SPARE:
            break
    print("swept", count)


if __name__ == "__main__":
    main()
