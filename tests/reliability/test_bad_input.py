"""Bad arguments at every entry point: a TypeError at the call, worded as Python words it for a
function with the same signature (or the bridge's own wording for a wrong type), and nothing
queued, logged, asked of the host or left as an unawaited coroutine."""

import collections
import inspect
import types

import pytest

pytestmark = pytest.mark.leakcheck


class Str(str):
    pass


class Dict(dict):
    pass


# entry point: how to reach it from the module and a bridge, good arguments by name
ENTRIES = {
    "TelegramBridge": (lambda tb, b: tb.TelegramBridge, {}),
    "get_telegram_bridge": (lambda tb, b: tb.get_telegram_bridge, {}),
    "is_running": (lambda tb, b: types.MethodType(type(b).is_running.fget, b), {}),
    **{name: (lambda tb, b, name=name: getattr(b, name), {})
       for name in ("start", "stop", "_get_telegram", "_get_agent", "_process_queue")},
    **{name: (lambda tb, b, name=name: getattr(b, name), {"text": "hi", "metadata": {"chat_id": 1}})
       for name in ("_on_telegram_message", "_handle_message", "_send_reply")},
    "_send_screenshot": (lambda tb, b: b._send_screenshot, {"image_base64": "aGk=", "chat_id": 1, "telegram": None}),
}


def twin(name, params, bound):
    """A Python function with the entry point's name and parameters: the TypeErrors it raises for
    a bad call are the wording expected from the entry point."""
    namespace = {}
    exec(f"def f({', '.join((['self'] if bound else []) + list(params))}): pass", namespace)
    f = namespace["f"]
    f.__qualname__ = name if name == "get_telegram_bridge" else f"TelegramBridge.{name}"
    return types.MethodType(f, object()) if bound else f


def bad_calls(good):
    names = list(good)
    yield "extra positional", (*good.values(), 1), {}
    yield "unknown keyword", (), {**good, "chat": 1}
    if names:
        yield "missing argument", tuple(good.values())[:-1], {}
        yield "twice", tuple(good.values()), {names[0]: good[names[0]]}
        yield "keyword not a string", (), {**good, 1: 2}


CALLS = [(entry, shape, args, kwargs) for entry, (_, good) in ENTRIES.items() for shape, args, kwargs in bad_calls(good)]


@pytest.mark.parametrize("entry, shape, args, kwargs", CALLS, ids=[f"{c[0]}-{c[1]}" for c in CALLS])
def test_wrong_calls(tb, host, logs, entry, shape, args, kwargs):
    bridge = tb.TelegramBridge()
    reach, good = ENTRIES[entry]
    name = "__init__" if entry == "TelegramBridge" else entry
    expected = twin(name, good, bound=entry != "get_telegram_bridge")
    with pytest.raises(TypeError) as wanted:
        expected(*args, **kwargs)
    with pytest.raises(TypeError) as info:
        reach(tb, bridge)(*args, **kwargs)
    assert str(info.value) == str(wanted.value)
    assert host.calls == [] and logs.records == [] and bridge._queue.empty()


WRONG_TYPES = [None, b"hi", 7, Str("hi"), collections.UserString("hi"), Dict(chat_id=1),
               collections.OrderedDict(chat_id=1), collections.defaultdict(int), types.MappingProxyType({}),
               collections.UserDict(chat_id=1), [("chat_id", 1)]]
TYPED = [(entry, param, expected) for entry in ("_on_telegram_message", "_handle_message", "_send_reply")
         for param, expected in (("text", "str"), ("metadata", "dict"))] + [("_send_screenshot", "image_base64", "str")]


def type_name(cls):
    """The name the interpreter keeps for the type (its tp_name): dotted for the two types that
    the collections module defines in C."""
    return {collections.OrderedDict: "collections.OrderedDict",
            collections.defaultdict: "collections.defaultdict"}.get(cls, cls.__name__)


@pytest.mark.parametrize("bad", WRONG_TYPES, ids=lambda v: type(v).__name__)
@pytest.mark.parametrize("entry, param, expected", TYPED, ids=[f"{e}-{p}" for e, p, _ in TYPED])
def test_wrong_types(tb, host, logs, entry, param, expected, bad):
    bridge = tb.TelegramBridge()
    good = ENTRIES[entry][1]
    operation = getattr(bridge, entry)
    arguments = {**good, param: bad}
    message = f"Argument '{param}' has incorrect type (expected {expected}, got {type_name(type(bad))})"
    for call in (lambda: operation(**arguments), lambda: operation(*arguments.values())):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    assert list(inspect.signature(operation).parameters) == list(good)
    assert host.calls == [] and logs.records == [] and bridge._queue.empty()
