"""The `async def` twins of the test module's C++ functions, and helpers to compare them.

Most runtime tests are differential: they run one scenario on a C++ coroutine from
_pyrt_testmod and on its twin below, written as plain Python, and require the same outcome. The
twins carry the same names and qualified names as the C++ functions, so messages that quote a
name compare equal too.
"""

import contextlib
import sys
import types
from collections.abc import Callable, Iterator
from typing import Any

import _pyrt_testmod


async def await_value(awaitable) -> "Any":
    """Await and return."""
    return await awaitable


async def return_value(value):
    return value


async def raise_error(exception):
    raise exception


async def catch_exception(awaitable):
    try:
        result = await awaitable
    except Exception as error:
        return ("caught", error)
    return ("ok", result)


async def handle_then_await(first, probe, second):
    try:
        await first
    except Exception:
        before = probe()
        await second
        after = probe()
        return (before, after)
    return None


async def raise_in_handler(first, second, type):
    try:
        await first
    except Exception:
        await second
        raise type("raised in handler")


async def finally_call(awaitable, on_exit):
    try:
        return await awaitable
    finally:
        on_exit()


async def reraise(awaitable):
    try:
        await awaitable
    except Exception:
        raise


async def iterate(iterable):
    return [item async for item in iterable]


async def chain(depth, awaitable):
    if depth == 0:
        return await awaitable
    return await chain(depth - 1, awaitable)


async def hold_across(object, awaitable):
    held = object
    await awaitable
    return held


async def cpp_child(awaitable):
    return 2 * await awaitable


async def raise_stop_iteration(unused):
    raise StopIteration("leaked")


async def ignore_exit(factory):
    while True:
        try:
            await factory()
        except BaseException:
            pass


async def guarded(awaitable, on_exit):
    try:
        return await awaitable
    finally:
        on_exit()


def add(left: "int", right: "int") -> "int":
    """Add two numbers."""
    return left + right


class Holder:
    """Where bound_pair is a method: its qualified name is Holder.bound_pair."""

    def bound_pair(self, value):
        return (self, value)


async def typed(text: "str", data: "dict[str, Any]") -> "tuple":
    return (text, data)


NATIVE = types.SimpleNamespace(
    await_value=await_value,
    return_value=return_value,
    raise_error=raise_error,
    catch_exception=catch_exception,
    handle_then_await=handle_then_await,
    raise_in_handler=raise_in_handler,
    iterate=iterate,
    chain=chain,
    hold_across=hold_across,
    cpp_child=cpp_child,
    raise_stop_iteration=raise_stop_iteration,
    ignore_exit=ignore_exit,
    guarded=guarded,
    finally_call=finally_call,
    reraise=reraise,
    add=add,
    bound_pair=Holder.bound_pair,
    typed=typed,
)

IMPLEMENTATIONS = {"ours": _pyrt_testmod, "native": NATIVE}


def differential(scenario: Callable[[Any], Any]) -> Any:
    """Runs `scenario` on the C++ functions and on their twins; both must give the same
    outcome, which is returned."""
    native = scenario(NATIVE)
    ours = scenario(_pyrt_testmod)
    assert ours == native, f"\n ours:   {ours!r}\n native: {native!r}"
    return ours


def outcome(action: Callable[[], Any]) -> tuple[Any, ...]:
    """What calling `action` led to, in a comparable form."""
    try:
        return ("returned", action())
    except BaseException as error:  # noqa: BLE001 - the outcome is what is compared
        return ("raised", type(error), str(error))


def drive(coroutine: Any) -> Any:
    """Runs a coroutine that never suspends to its end and returns its value."""
    try:
        coroutine.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("the coroutine suspended")


def finish(coroutine: Any, value: Any = None) -> Any:
    """Sends `value`, then None, until the coroutine ends; returns its value."""
    while True:
        try:
            coroutine.send(value)
        except StopIteration as stop:
            return stop.value
        value = None


@types.coroutine
def suspend(value: Any = None) -> Any:
    """Suspends the awaiting coroutine once, yielding `value`, and returns what is sent in."""
    return (yield value)


class UnraisableRecorder:
    def __init__(self) -> None:
        self.seen: list[Any] = []

    def __call__(self, unraisable: Any) -> None:
        self.seen.append(unraisable)

    def summary(self) -> list[tuple[Any, str]]:
        return [(u.exc_type, str(u.exc_value)) for u in self.seen]


@contextlib.contextmanager
def recursion_limit(limit: int) -> Iterator[None]:
    saved = sys.getrecursionlimit()
    sys.setrecursionlimit(limit)
    try:
        yield
    finally:
        sys.setrecursionlimit(saved)

