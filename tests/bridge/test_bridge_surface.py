"""The module as the host sees it: namespace, docstrings, the class and its operations, argument
checks, the read-only state property and the process-wide bridge."""

import asyncio
import builtins
import collections.abc
import copy
import inspect
import logging
import pathlib
import pickle
import pydoc
import sys
import tempfile
import types
import typing
import warnings

import pytest

from conftest import PUBLIC_PATHS

from .fakes import REPO_ROOT, text

pytestmark = pytest.mark.leakcheck

MODULE_DOC = [
    "Telegram ↔ Agent bridge — makes Telegram a full two-way interface to Kavori.",
    "",
    "Flow:",
    "  1. User sends message to the Telegram bot",
    "  2. Polling loop in TelegramConnector picks it up",
    "  3. This bridge receives it via the on_message callback",
    '  4. Sends an immediate "thinking..." indicator to Telegram',
    "  5. Routes it through the Standard Agent (same as WebSocket chat)",
    "  6. Collects the agent's text response events",
    "  7. Sends the response back to the user via Telegram",
    "  8. Also broadcasts events to WebSocket so the UI stays in sync",
    "  9. Screenshots and files generated during processing are sent as photos/docs",
    "",
    "The bridge processes messages sequentially via a queue to prevent",
    "concurrent agent calls from interfering with each other.",
    "",
]

TEXT_META = {"text": "str", "metadata": "dict[str, Any]", "return": "None"}
TEXT_META_SIG = "(self, text: 'str', metadata: 'dict[str, Any]') -> 'None'"

# name, kind, annotations, docstring, signature
OPERATIONS = [
    ("__init__", "sync", {"return": "None"}, None, "(self) -> 'None'"),
    ("start", "async", {"return": "None"},
     "Start the bridge — begins processing incoming Telegram messages.", "(self) -> 'None'"),
    ("stop", "async", {"return": "None"}, "Stop the bridge.", "(self) -> 'None'"),
    ("is_running", "property", {"return": "bool"}, None, "(self) -> 'bool'"),
    ("_get_telegram", "sync", {}, "Get the Telegram connector from the server state.", "(self)"),
    ("_get_agent", "sync", {}, "Get the Kavori agent from the server state.", "(self)"),
    ("_on_telegram_message", "async", TEXT_META,
     "Callback when a Telegram message arrives — queue it for processing.", TEXT_META_SIG),
    ("_process_queue", "async", {"return": "None"},
     "Worker that processes queued Telegram messages one at a time.", "(self) -> 'None'"),
    ("_handle_message", "async", TEXT_META,
     "Route a Telegram message through the agent and send the response back.", TEXT_META_SIG),
    ("_send_reply", "async", TEXT_META, "Send a reply back to the Telegram user.", TEXT_META_SIG),
    ("_send_screenshot", "async",
     {"image_base64": "str", "chat_id": "str | int | None", "telegram": "Any", "return": "bool"},
     "Decode a base64 screenshot and send it as a photo to Telegram.",
     "(self, image_base64: 'str', chat_id: 'str | int | None', telegram: 'Any') -> 'bool'"),
]
ASYNC_OPS = [op[0] for op in OPERATIONS if op[1] == "async"]


def test_module_namespace_docstring_and_class(tb):
    names = [k for k in vars(tb) if not k.startswith("__")]
    assert names == ["asyncio", "base64", "logging", "tempfile", "Path", "Any", "logger",
                     "TelegramBridge", "_bridge", "get_telegram_bridge"]
    assert (tb.asyncio, tb.logging, tb.tempfile, tb.Path, tb.Any) == (
        asyncio, logging, tempfile, pathlib.Path, typing.Any)
    assert tb.base64.__name__ == "base64" and tb.base64.b64decode
    assert tb.logger is logging.getLogger("kavori.connectors.telegram_bridge")
    assert tb.__name__ == "kavori.connectors.telegram_bridge"
    assert tb.__doc__.split("\n") == MODULE_DOC

    cls = tb.TelegramBridge
    assert type(cls) is type and cls.__bases__ == (object,)
    assert (cls.__module__, cls.__qualname__, cls.__name__) == (
        "kavori.connectors.telegram_bridge", "TelegramBridge", "TelegramBridge")
    assert cls.__doc__ == "Routes Telegram messages through the Kavori agent and sends responses back."
    assert [k for k in vars(cls) if k == "__init__" or not k.startswith("__")] == [op[0] for op in OPERATIONS]

    fn = tb.get_telegram_bridge
    assert (fn.__name__, fn.__qualname__, fn.__doc__) == (
        "get_telegram_bridge", "get_telegram_bridge", "Get or create the singleton Telegram bridge.")
    assert fn.__annotations__ == {"return": "TelegramBridge"}
    assert str(inspect.signature(fn)) == "() -> 'TelegramBridge'"
    assert not inspect.iscoroutinefunction(fn)


@pytest.mark.parametrize("name, kind, annotations, doc, signature", OPERATIONS, ids=[op[0] for op in OPERATIONS])
def test_operation_surface(tb, bridge, name, kind, annotations, doc, signature):
    cls = tb.TelegramBridge
    raw = vars(cls)[name]
    if kind == "property":
        assert type(raw) is property and raw.fset is None and raw.__doc__ is None
        fn = raw.fget
    else:
        fn = raw
    assert (fn.__name__, fn.__qualname__) == (name, "TelegramBridge." + name)
    assert list(fn.__annotations__.items()) == list(annotations.items())
    assert fn.__doc__ == doc
    assert str(inspect.signature(fn)) == signature
    # Tools that resolve string annotations find the module's namespace, where Any is bound.
    assert fn.__globals__ is vars(tb) and fn.__builtins__ is vars(builtins)
    evaluated = {key: eval(value, vars(tb)) for key, value in annotations.items()}
    assert inspect.get_annotations(fn, eval_str=True) == evaluated
    assert typing.get_type_hints(fn) == {
        key: type(None) if value is None else value for key, value in evaluated.items()
    }
    if kind == "property":
        return
    # By reference, as Python functions pickle and copy.
    assert pickle.loads(pickle.dumps(fn)) is fn and copy.copy(fn) is fn and copy.deepcopy(fn) is fn
    bound = getattr(bridge, name)
    is_async = kind == "async"
    assert inspect.iscoroutinefunction(getattr(cls, name)) is is_async
    assert inspect.iscoroutinefunction(bound) is is_async
    with warnings.catch_warnings():  # asyncio's own test is deprecated, and still asked
        warnings.simplefilter("ignore", DeprecationWarning)
        assert asyncio.iscoroutinefunction(getattr(cls, name)) is asyncio.iscoroutinefunction(bound) is is_async
    # asyncio's own marker too, where asyncio's internals hold it (not on the public paths).
    marked = getattr(fn, "_is_coroutine", None) is getattr(asyncio.coroutines, "_is_coroutine", object())
    assert marked is (is_async and not PUBLIC_PATHS)


@pytest.mark.parametrize("name", ASYNC_OPS)
def test_calling_an_async_operation_does_nothing_until_awaited(bridge, host, logs, name):
    args = {"_on_telegram_message": ("hi", {"chat_id": 1}), "_handle_message": ("hi", {"chat_id": 1}),
            "_send_reply": ("hi", {"chat_id": 1}), "_send_screenshot": ("aGk=", 1, host.telegram)}.get(name, ())
    coro = getattr(bridge, name)(*args)
    assert isinstance(coro, collections.abc.Coroutine) and asyncio.iscoroutine(coro)
    coro.close()
    assert host.calls == [] and logs.records == [] and bridge._queue.empty()
    assert (bridge._running, bridge._processing, bridge._worker_task) == (False, False, None)


def test_wrong_argument_counts_raise_at_the_call(tb, bridge, host, run):
    with pytest.raises(TypeError):
        tb.TelegramBridge(1)
    for call in (lambda: bridge.start(1), lambda: bridge._send_reply("x"), lambda: bridge._get_agent(1),
                 lambda: bridge._handle_message("x", {}, 3), lambda: bridge._send_screenshot("", 1),
                 lambda: bridge._send_reply("x", {}, chat_id=1), lambda: tb.get_telegram_bridge(1)):
        with pytest.raises(TypeError):
            call()
    assert host.calls == []
    # Keywords under the documented names work.
    run(bridge._send_reply(metadata={"chat_id": 3}, text="by keyword"))
    assert host.sent() == ["by keyword"]


class Str(str):
    pass


class Dict(dict):
    pass


def _bad_argument_cases():
    for op in ("_on_telegram_message", "_handle_message", "_send_reply"):
        for bad in (None, b"hi", 7, Str("hi")):
            yield op, "text", bad, "str"
        for bad in (None, Dict(chat_id=1), [("chat_id", 1)]):
            yield op, "metadata", bad, "dict"
    for bad in (None, b"aGk=", Str("aGk=")):
        yield "_send_screenshot", "image_base64", bad, "str"


@pytest.mark.parametrize("op, param, bad, expected", list(_bad_argument_cases()))
def test_exact_type_checks_raise_before_any_work(tb, bridge, host, logs, op, param, bad, expected):
    good = {"text": "hi", "metadata": {"chat_id": 1}, "image_base64": "aGk=", "chat_id": 1,
            "telegram": host.telegram}
    names = list(inspect.signature(getattr(tb.TelegramBridge, op)).parameters)[1:]
    kwargs = {n: (bad if n == param else good[n]) for n in names}
    message = f"Argument '{param}' has incorrect type (expected {expected}, got {type(bad).__name__})"
    for call in (lambda: getattr(bridge, op)(**kwargs), lambda: getattr(bridge, op)(*kwargs.values())):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    assert host.calls == [] and logs.records == [] and bridge._queue.empty()


def test_new_bridge_state_and_read_only_is_running(tb, host, logs):
    bridge = tb.TelegramBridge()
    assert list(vars(bridge)) == ["_running", "_processing", "_queue", "_worker_task"]
    assert (bridge._running, bridge._processing, bridge._worker_task) == (False, False, None)
    assert type(bridge._queue) is asyncio.Queue and bridge._queue.maxsize == 0 and bridge._queue.empty()
    assert bridge.is_running is False
    assert host.calls == [] and logs.records == []
    with pytest.raises(AttributeError):
        bridge.is_running = True
    marker = object()
    bridge._running = marker
    assert bridge.is_running is marker


def test_singleton_follows_the_module_attributes(tb, host, monkeypatch):
    monkeypatch.setattr(tb, "_bridge", None)
    first = tb.get_telegram_bridge()
    assert type(first) is tb.TelegramBridge and tb._bridge is first and tb.get_telegram_bridge() is first
    assert (first.is_running, first._processing, first._worker_task, first._queue.qsize()) == (False, False, None, 0)
    assert host.calls == []

    tb._bridge = None
    second = tb.get_telegram_bridge()
    assert second is not first and tb._bridge is second

    stand_in = 0  # falsy but not None: returned unchanged, no new bridge
    tb._bridge = stand_in
    assert tb.get_telegram_bridge() is stand_in

    made = []

    class Factory:
        def __init__(self):
            made.append(self)

    tb._bridge = None
    monkeypatch.setattr(tb, "TelegramBridge", Factory)
    assert tb.get_telegram_bridge() is made[0] and tb._bridge is made[0]

    def broken():
        raise RuntimeError("cannot build")

    tb._bridge = None
    tb.TelegramBridge = broken
    with pytest.raises(RuntimeError, match="cannot build"):
        tb.get_telegram_bridge()
    assert tb._bridge is None
    tb.TelegramBridge = Factory
    assert tb.get_telegram_bridge() is made[1]


def test_a_rebound_logger_is_used(tb, bridge, host, logs, monkeypatch, run):
    """Module globals are read at every use: a rebinding, a deletion or a change through the
    namespace dict after they were read is seen at the next use."""
    lines = []

    class Recorder:
        def __init__(self, tag=""):
            self.tag = tag

        def __getattr__(self, level):
            return lambda msg, *args, **kwargs: lines.append((self.tag + level, msg))

    host.state_error = RuntimeError("not ready")
    assert bridge._get_agent() is None  # the module's own logger, read before the rebinding
    assert logs.lines == [("ERROR", "Failed to get agent: not ready")]
    monkeypatch.setattr(tb, "logger", Recorder())
    assert bridge._get_agent() is None
    run(bridge.stop())
    assert lines == [("error", "Failed to get agent: not ready"),
                     ("error", "Failed to get Telegram connector: not ready"),
                     ("info", "Telegram bridge stopped")]
    vars(tb).update(logger=Recorder("again "))
    assert bridge._get_agent() is None
    assert lines[-1] == ("again error", "Failed to get agent: not ready")
    del tb.logger
    with pytest.raises(NameError, match="name 'logger' is not defined"):
        bridge._get_agent()
    tb.logger = Recorder("restored ")
    assert bridge._get_agent() is None
    assert lines[-1] == ("restored error", "Failed to get agent: not ready")
    assert len(logs.records) == 1


QUEUED = "Queuing Telegram message from Ann: hi"


class _InfoRecordingLogger(logging.Logger):
    def info(self, msg, *args, **kwargs):
        _seen.append(msg)


_seen: list[str] = []
# What changes after the bridge has logged at WARNING (its info calls dropped), and what the next
# info call must then give: a record, or a call of the replacement.
LOGGER_CHANGES = {
    "the level lowered": (lambda logger, mp: logger.setLevel(logging.INFO), ("INFO", QUEUED)),
    "the level cache filled by hand": (lambda logger, mp: logger._cache.__setitem__(logging.INFO, True),
                                       ("INFO", QUEUED)),
    "info on the instance": (lambda logger, mp: setattr(logger, "info", lambda msg, *a, **k: _seen.append(msg)),
                             QUEUED),
    "isEnabledFor on the instance": (lambda logger, mp: setattr(logger, "isEnabledFor", lambda level: True),
                                     ("INFO", QUEUED)),
    "info on the class": (lambda logger, mp: mp.setattr(logging.Logger, "info",
                                                        lambda self, msg, *a, **k: _seen.append(msg)), QUEUED),
    "the logger's class": (lambda logger, mp: mp.setattr(logger, "__class__", _InfoRecordingLogger), QUEUED),
    "the instance dict replaced, the old one kept": (
        lambda logger, mp: setattr(logger, "__dict__", {**vars(logger), "info": lambda msg, *a, **k: _seen.append(msg)}),
        QUEUED),
    "logging.INFO rebound": (lambda logger, mp: mp.setattr(logging, "INFO", logging.WARNING), ("WARNING", QUEUED)),
    "the module's logger rebound": (lambda logger, mp: mp.setattr(sys.modules[logger.name], "logger",
                                                                  _InfoRecordingLogger("other")), QUEUED),
    # The level cache is logging's own, not public: without it the call is made, as the twin makes it.
    "the level cache gone": (lambda logger, mp: delattr(logger, "_cache"), AttributeError),
}


_built: list[str] = []


class _Shows:
    """A value whose str() and repr() are seen."""

    def __str__(self):
        _built.append("str")
        return "shown"

    def __repr__(self):
        _built.append("repr")
        return "shown"


class _SlicedStr(str):
    def __getitem__(self, index):
        _built.append("slice")
        return str.__getitem__(self, index)


# Inputs of log messages that the logger drops at WARNING (the queuing line's sender, an agent
# text's content, the sent reply's message ids), and what building those messages shows: Python
# builds the argument before the logger drops the call, so only what nothing can show is skipped.
DROPPED_MESSAGE_INPUTS = {
    "plain str, int and list": (lambda: ("Ann", "hello", [101, 2**63 - 1]), []),
    "a sender with __str__": (lambda: (_Shows(), "hello", [101]), ["str"]),
    "a str subclass as content": (lambda: ("Ann", _SlicedStr("hello"), [101]), ["slice"]),
    "message ids with __repr__": (lambda: ("Ann", "hello", [_Shows()]), ["repr"]),
    "message ids too long to print": (lambda: ("Ann", "hello", (10**5000,)), ValueError),
}


@pytest.mark.parametrize("case", list(DROPPED_MESSAGE_INPUTS))
def test_dropped_log_calls_still_build_a_message_when_that_shows(tb, bridge, host, logs, run, case):
    make, expected = DROPPED_MESSAGE_INPUTS[case]
    sender, content, message_ids = make()
    logger = logging.getLogger(tb.__name__)
    logger.setLevel(logging.WARNING)
    for level in (logging.DEBUG, logging.INFO):
        logger.isEnabledFor(level)  # fills the level cache: the calls are dropped at once
    host.agent.script(text(content))
    host.telegram.send_message.result = {"success": True, "message_ids": message_ids}
    _built.clear()
    run(bridge._on_telegram_message("hi", {"from_name": sender}))
    if expected is ValueError:
        with pytest.raises(ValueError, match="integer string conversion"):
            run(bridge._handle_message("hi", {"chat_id": 1}))
    else:
        run(bridge._handle_message("hi", {"chat_id": 1}))
        assert _built == expected
    assert logs.lines == []


@pytest.mark.parametrize("change", list(LOGGER_CHANGES))
def test_dropped_log_calls_follow_the_logger(tb, bridge, host, logs, monkeypatch, run, change):
    """Info and debug calls that the standard logger drops are not made at all, and any change
    that would make the logger act on them is seen at the very next call."""
    logger = logging.getLogger(tb.__name__)
    own_dict = vars(logger)  # kept, and put back at the end
    logger.setLevel(logging.WARNING)
    apply, expected = LOGGER_CHANGES[change]
    metadata = {"from_name": "Ann"}
    info_code = logging.Logger.info.__code__
    calls = []
    for _ in range(3):  # the first calls fill the logger's level cache
        run(bridge._on_telegram_message("hi", metadata))
    try:
        sys.setprofile(lambda frame, event, arg: calls.append(event) if frame.f_code is info_code
                       and frame.f_locals["self"] is logger else None)
        run(bridge._on_telegram_message("hi", metadata))
    finally:
        sys.setprofile(None)
    assert calls == [] and logs.lines == []  # dropped without a call
    _seen.clear()
    try:
        apply(logger, monkeypatch)
        if expected is AttributeError:
            with pytest.raises(AttributeError, match="_cache"):
                run(bridge._on_telegram_message("hi", metadata))
            expected = None
        else:
            run(bridge._on_telegram_message("hi", metadata))
    finally:
        logger.__dict__ = own_dict
        for name in ("info", "isEnabledFor"):
            own_dict.pop(name, None)
        own_dict.setdefault("_cache", {})
    assert (logs.lines, _seen) == (([], []) if expected is None else ([expected], []) if isinstance(expected, tuple)
                                   else ([], [expected]))


def _handle_replaced_while_the_record_is_made(logger, mp, handled):
    factory = logging.getLogRecordFactory()

    def making(*args, **kwargs):
        mp.setattr(logging.Logger, "handle", lambda self, record: handled.append(record.getMessage()))
        return factory(*args, **kwargs)

    mp.setattr(logging, "_logRecordFactory", making)  # setLogRecordFactory, undone at the end


def _class_assigned_while_the_record_is_made(logger, mp, handled):
    class Handing(logging.Logger):
        def handle(self, record):
            handled.append(record.getMessage())

    factory = logging.getLogRecordFactory()

    def making(*args, **kwargs):
        mp.setattr(logger, "__class__", Handing)
        return factory(*args, **kwargs)

    mp.setattr(logging, "_logRecordFactory", making)


def _renamed(name_on_the_class):
    def apply(logger, mp, handled):
        if name_on_the_class:
            mp.setattr(logging.Logger, "name", property(lambda self: "from the class"), raising=False)
        else:
            mp.setattr(logger, "name", "renamed")
        handler = logging.Handler()
        handler.emit = lambda record: handled.append(record.name)
        logger.addHandler(handler)
        return handler  # taken off by the test

    return apply


# Where a record made at INFO goes after each change of what makes it and hands it on (to the
# replacement, as `logger.info` would send it), and the name it carries after a rename.
RECORD_METHOD_CHANGES = {
    "handle on the instance": (lambda logger, mp, handled: mp.setitem(
        vars(logger), "handle", lambda record: handled.append(record.getMessage())), [QUEUED]),
    "handle on the class": (lambda logger, mp, handled: mp.setattr(
        logging.Logger, "handle", lambda self, record: handled.append(record.getMessage())), [QUEUED]),
    "makeRecord on the class": (lambda logger, mp, handled: mp.setattr(
        logging.Logger, "makeRecord", lambda self, *args: handled.append(args[4]) or logging.LogRecord(*args[:8])),
        [QUEUED]),
    "handle on the class, while makeRecord runs": (_handle_replaced_while_the_record_is_made, [QUEUED]),
    "the logger's class assigned while makeRecord runs": (_class_assigned_while_the_record_is_made, [QUEUED]),
    "the logger renamed": (_renamed(False), ["renamed"]),
    "a name property on the class": (_renamed(True), ["from the class"]),
}


@pytest.mark.parametrize("change", list(RECORD_METHOD_CHANGES))
def test_made_records_follow_the_methods_that_make_and_handle_them(tb, bridge, host, logs, monkeypatch, run,
                                                                    change):
    logger = logging.getLogger(tb.__name__)
    logger.setLevel(logging.INFO)
    run(bridge._on_telegram_message("hi", {"from_name": "Ann"}))  # the plan made and followed
    handled = []
    apply, expected = RECORD_METHOD_CHANGES[change]
    handler = apply(logger, monkeypatch, handled)
    try:
        run(bridge._on_telegram_message("hi", {"from_name": "Ann"}))
    finally:
        logger.removeHandler(handler)
    assert handled == expected


class _PlainLogger(logging.Logger):
    """A logger the module cannot vouch for: every call is made as written."""


def _recording_logger(logger, level):
    records = []
    handler = logging.Handler()
    handler.emit = records.append
    logger.addHandler(handler)
    logger.setLevel(level)
    return records, handler


# The attributes a record carries apart from its time and location.
RECORD_FIELDS = ("name", "msg", "args", "levelname", "levelno", "stack_info", "threadName", "processName")


def test_made_records_equal_the_loggers_own_and_name_the_log_call(tb, bridge, host, monkeypatch, run):
    """With the standard logger the module makes each record itself (makeRecord, handle), as the
    logger's method would, at every level, located at the module's own log call; a logger it cannot
    vouch for gets the calls, and the records are the same."""
    from .fakes import error, text, tool
    failure = RuntimeError("connection lost")
    made = {}
    for kind in ("standard", "subclass"):
        logger = logging.getLogger(tb.__name__) if kind == "standard" else _PlainLogger(tb.__name__)
        monkeypatch.setattr(tb, "logger", logger)
        records, handler = _recording_logger(logger, logging.DEBUG)
        try:
            host.agent.script(text("Part one"), tool("browser", "open"), error("bad"), text("lost"), fail_at=3,
                              error=failure)
            run(bridge._handle_message("hi", {"chat_id": 42, "from_name": "Ann"}))
        finally:
            logger.removeHandler(handler)
            logger.setLevel(logging.NOTSET)
        made[kind] = records
    assert [r.levelname for r in made["standard"]] == ["INFO", "DEBUG", "DEBUG", "WARNING", "ERROR", "INFO", "INFO"]
    assert len({r.taskName for r in made["standard"]} - {None}) == 1  # the running task's name
    exc_info = made["standard"][4].exc_info
    assert exc_info[:2] == (RuntimeError, failure) and isinstance(exc_info[2], types.TracebackType)
    assert ([[getattr(r, f) for f in RECORD_FIELDS] + [r.exc_info and r.exc_info[:2]] for r in made["standard"]]
            == [[getattr(r, f) for f in RECORD_FIELDS] + [r.exc_info and r.exc_info[:2]] for r in made["subclass"]])
    for record in made["standard"]:
        source = (REPO_ROOT / record.pathname).read_text(encoding="utf-8").splitlines()
        call = source[record.lineno - 1].strip()
        level = "exception" if record.exc_info else record.levelname.lower()
        assert call.startswith((f"log(Level::{level},", f"log_lazily(Level::{level},")), (record.pathname, record.lineno, call)
        assert any(f" {record.funcName}(" in line for line in source[:record.lineno]), record.funcName
        assert record.module == pathlib.Path(record.pathname).stem


def _made_by_spy(logger, mp):
    def make_record(*args):
        _seen.append(args[4])
        return logging.Logger.makeRecord(logger, *args)
    logger.makeRecord = make_record


class _MarkedRecord(logging.LogRecord):
    pass


# What changes once the module makes the logger's records itself, and what the next info record
# then is: (path, line, function) of the record, None for no record, or a check of the records.
RECORD_CHANGES = {
    # logging's internal switch for locations is read only on the private paths.
    "logging._srcfile cleared": (lambda logger, mp: mp.setattr(logging, "_srcfile", None),
                                 ("(unknown file)", 0, "(unknown function)") if not PUBLIC_PATHS else
                                 lambda records: [r.funcName for r in records] == ["_on_telegram_message"]),
    "findCaller on the class": (lambda logger, mp: mp.setattr(logging.Logger, "findCaller",
                                                              lambda self, *a: ("there.py", 7, "f", None)),
                                ("there.py", 7, "f")),
    "makeRecord on the instance": (_made_by_spy, lambda records: _seen == [QUEUED] and len(records) == 1),
    "handle on the class": (lambda logger, mp: mp.setattr(logging.Logger, "handle",
                                                          lambda self, record: _seen.append(record.msg)),
                            lambda records: _seen == [QUEUED] and records == []),
    "a record factory": (lambda logger, mp: mp.setattr(logging, "_logRecordFactory", _MarkedRecord),
                         lambda records: [type(r) for r in records] == [_MarkedRecord]),
    "a filter": (lambda logger, mp: logger.addFilter(lambda record: False), None),
    "disabled": (lambda logger, mp: setattr(logger, "disabled", True), None),
}


@pytest.mark.parametrize("change", list(RECORD_CHANGES))
def test_made_records_follow_the_logger(tb, bridge, host, monkeypatch, run, change):
    logger = logging.getLogger(tb.__name__)
    records, handler = _recording_logger(logger, logging.INFO)
    apply, expected = RECORD_CHANGES[change]
    metadata = {"from_name": "Ann"}
    _seen.clear()
    try:
        for _ in range(2):  # the first calls fill the logger's level cache
            run(bridge._on_telegram_message("hi", metadata))
        assert [(r.pathname, r.funcName) for r in records] == [
            ("connectors/telegram_bridge/message_pipeline.cpp", "_on_telegram_message")] * 2
        records.clear()
        apply(logger, monkeypatch)
        run(bridge._on_telegram_message("hi", metadata))
    finally:
        logger.removeHandler(handler)
        logger.setLevel(logging.NOTSET)
        logger.filters.clear()
        logger.disabled = False
        vars(logger).pop("makeRecord", None)
    if expected is None or isinstance(expected, tuple):
        assert [(r.pathname, r.lineno, r.funcName) for r in records] == ([] if expected is None else [expected])
    else:
        assert expected(records), (records, _seen)
    _seen.clear()


def test_a_logger_keeps_its_own_dict(tb, bridge, host, monkeypatch, run):
    """A logger the module has not logged through before keeps its instance dict: the same object,
    holding the same objects in the same order; its records are located from the first."""
    logger = logging.Logger(f"{tb.__name__}.fresh")
    records, _ = _recording_logger(logger, logging.INFO)
    own = vars(logger)
    held = [(name, id(value)) for name, value in own.items()]
    monkeypatch.setattr(tb, "logger", logger)
    for _ in range(2):
        run(bridge._on_telegram_message("hi", {"from_name": "Ann"}))
    assert vars(logger) is own and [(name, id(value)) for name, value in own.items()] == held
    assert [(r.getMessage(), r.funcName) for r in records] == [(QUEUED, "_on_telegram_message")] * 2


def test_help_shows_the_public_surface(tb):
    text = pydoc.render_doc(tb, renderer=pydoc.plaintext)
    for line in ("class TelegramBridge(builtins.object)",
                 "Routes Telegram messages through the Kavori agent and sends responses back.",
                 "async start(self) -> None",
                 "Start the bridge — begins processing incoming Telegram messages.",
                 "async stop(self) -> None", "Stop the bridge.", "is_running",
                 "get_telegram_bridge() -> TelegramBridge", "Get or create the singleton Telegram bridge.",
                 "concurrent agent calls from interfering with each other."):
        assert line in text
