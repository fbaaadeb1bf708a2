"""Child program of the allocation-failure sweep: runs one scenario again and again with the
N-th allocation failing (_testcapi.set_nomemory), for N = FIRST, FIRST+STEP, ... until the
scenario runs through without meeting the failure SPARE times in a row, or N reaches LAST.
After every attempt it checks that the objects involved still work. Any failure other than
MemoryError (or one the module logged) is reported, and a crash or abort ends the process.

    python allocation_sweep.py SCENARIO FIRST LAST STEP [persistent]

"persistent" makes every allocation from the N-th on fail instead of the N-th alone. Prints
"swept COUNT" and exits 0 when all went well."""

import asyncio
import gc
import sys
import types

import _testcapi

SPARE = 20


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

    def attempt(made):
        for coroutine in made:
            try:
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

    def attempt(held):
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


SCENARIOS = {
    "coroutine close": lambda: coroutine_scenario(lambda c: c.close()),
    "coroutine throw": lambda: coroutine_scenario(lambda c: c.throw(ValueError("thrown"))),
    "coroutine send": lambda: coroutine_scenario(lambda c: c.send("sent")),
    "class surface": surface_scenario,
}


def main():
    name, first, last, step = sys.argv[1], *map(int, sys.argv[2:5])
    persistent = sys.argv[5:] == ["persistent"]
    prepare, attempt, check = SCENARIOS[name]()
    count = clean = 0
    for n in range(first, last, step):
        state = prepare()
        met = False
        _testcapi.set_nomemory(n, 0 if persistent else n + 1)
        try:
            attempt(state)
        except MemoryError:
            met = True
        finally:
            _testcapi.remove_mem_hooks()
        check(state)
        del state
        gc.collect()
        count += 1
        clean = 0 if met else clean + 1
        if clean >= SPARE:
            break
    print("swept", count)


if __name__ == "__main__":
    main()
