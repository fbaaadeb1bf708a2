"""Python exceptions crossing C++ code: the Exception-family helper, the handled exception that
Python code called from a C++ handler sees, the boundary back to the interpreter, owned
references at interpreter exit, and what repeated operations leave in the interpreter's caches."""

import asyncio
import gc
import inspect
import logging
import re
import sys
import textwrap
import traceback
import types
from pathlib import Path

import pytest

import _pyrt_testmod as m

from .twins import NATIVE, differential, finish, outcome, suspend

pytestmark = pytest.mark.leakcheck

REPO_ROOT = Path(__file__).resolve().parents[2]


class CustomError(Exception):
    pass


class CustomBaseError(BaseException):
    pass


# Factories: each run raises fresh exceptions, as a raised instance keeps growing its traceback.
FAMILY = [
    lambda: ValueError("value"),
    lambda: KeyError("key"),
    lambda: OSError(2, "missing"),
    lambda: ExceptionGroup("group", [ValueError("member")]),
    lambda: CustomError("custom"),
]
OUTSIDE = [
    lambda: asyncio.CancelledError("cancelled"),
    KeyboardInterrupt,
    lambda: SystemExit(3),
    GeneratorExit,
    lambda: CustomBaseError("base"),
]


async def fail_later(error):
    await suspend()
    raise error


@pytest.mark.parametrize("when", ["at-once", "after-suspension"])
@pytest.mark.parametrize("make_error", FAMILY + OUTSIDE, ids=lambda make: type(make()).__name__)
def test_exception_family_helper_lets_only_the_family_in(make_error, when):
    error = make_error()

    def scenario(impl):
        source = impl.raise_error(error) if when == "at-once" else fail_later(error)
        return outcome(lambda: finish(impl.catch_exception(source)))

    result = differential(scenario)
    if make_error in FAMILY:
        assert result == ("returned", ("caught", error))
    else:
        assert result[1] is type(error)


@pytest.mark.parametrize("clean_up", ["passes", "raises"])
@pytest.mark.parametrize("make_error", [None] + FAMILY[:1] + OUTSIDE,
                         ids=lambda make: "no error" if make is None else type(make()).__name__)
def test_finally_runs_the_clean_up_then_raises_again(make_error, clean_up):
    def scenario(impl):
        error = None if make_error is None else make_error()
        calls = []

        def on_exit():
            calls.append(sys.exception() is error)
            if clean_up == "raises":
                raise KeyError("clean-up")

        source = impl.return_value(5) if error is None else fail_later(error)
        return outcome(lambda: finish(impl.finally_call(source, on_exit))), calls

    result, calls = differential(scenario)
    assert calls == [True]
    if clean_up == "raises":
        assert result[1] is KeyError
    else:
        assert result == (("returned", 5) if make_error is None else ("raised", type(make_error()), str(make_error())))


def _entries(error):
    """(name, source line) of the traceback entries of compiled functions."""
    lines = (REPO_ROOT / "tests/runtime/pyrt_testmod.cpp").read_text(encoding="utf-8").splitlines()
    return [(e.name, lines[e.lineno - 1].strip()) for e in traceback.extract_tb(error.__traceback__)
            if e.filename == "tests/runtime/pyrt_testmod.cpp"]


# case: the call (given the error to raise), then each compiled function's entry, from the
# outside in: its name and a word of its source line
ENTRY_CASES = {
    "plain function": (lambda e: m.raise_plain(e), [("raise_plain", "throw_error")]),
    "coroutine body": (lambda e: finish(m.raise_error(e)), [("raise_error", "throw_error")]),
    "through a step": (lambda e: finish(m.cpp_child(fail_later(e))),
                       [("cpp_child", "doubled"), ("cpp_child.doubled", "awaitable")]),
    "caught and raised again": (lambda e: finish(m.reraise(fail_later(e))),
                                [("reraise", "catching"), ("reraise.await_into", "awaitable")]),
    "through a finally": (lambda e: finish(m.finally_call(fail_later(e), lambda: None)),
                          [("finally_call", "finishing"), ("finally_call.await_into", "awaitable")]),
    "argument check": (lambda e: m.typed(b"text", {}), [("typed", "function_spec<&typed>")]),
    # Each helper family, given an argument it rejects: the entry names the body's line that
    # called the helper, not a line of the helpers it calls in turn.
    **{f"helper {helper}": (lambda e, helper=helper, argument=argument: finish(m.helper_error(helper, argument)),
                            [("helper_error", f"pyrt::{helper}(")])
       for helper, argument in [("call", 5), ("call_method", 5), ("getattr", 5), ("concat", 5), ("prefix", 5),
                                ("import_from", "os"), ("async_iter", 5), ("anext", 5)]},
}


@pytest.mark.parametrize("case", list(ENTRY_CASES))
def test_an_error_gets_one_traceback_entry_per_compiled_function(case):
    call, expected = ENTRY_CASES[case]
    with pytest.raises(Exception) as info:
        call(CustomError("entry"))
    entries = _entries(info.value)
    assert [name for name, _ in entries] == [name for name, _ in expected]
    assert all(word in line for (_, line), (_, word) in zip(entries, expected)), entries
    # Python code that raised it keeps its own entry, below the compiled ones.
    innermost = traceback.extract_tb(info.value.__traceback__)[-1]
    assert innermost.name == ("fail_later" if "fail_later" in call.__code__.co_names else expected[-1][0])


class SeenAwaitable:
    """Notes sys.exception() on its first step and after being resumed."""

    def __init__(self, seen):
        self.seen = seen

    def __await__(self):
        self.seen.append(("awaited first step", sys.exception()))
        yield "suspended"
        self.seen.append(("awaited resumed", sys.exception()))


def test_python_code_called_from_a_handler_sees_the_handled_exception():
    logger = logging.getLogger("pyrt.tests.handled")
    records = []
    handler = logging.Handler()
    handler.emit = records.append
    logger.addHandler(handler)
    logger.propagate = False

    def probe():
        logger.exception("handling")
        return sys.exception()

    def scenario(impl):
        records.clear()
        seen = []
        error = KeyError("handled")
        try:
            raise OSError("the caller's own")
        except OSError as own:
            coroutine = impl.handle_then_await(
                fail_later(error), probe, impl.await_value(SeenAwaitable(seen))
            )
            coroutine.send(None)
            seen.append(("caller, body suspended before the handler", sys.exception() is own))
            coroutine.send(None)
            seen.append(("caller, body suspended in the handler", sys.exception() is own))
            before, after = finish(coroutine)
            seen.append(("caller, body finished", sys.exception() is own))
        seen.append(("probes", before is error, after is error))
        logged = [r.exc_info[1:] == (error, error.__traceback__) for r in records]
        seen.append(("log records", logged))
        return [
            (what, *(v is error if isinstance(v, BaseException) else v for v in values))
            for what, *values in seen
        ]

    try:
        seen = differential(scenario)
    finally:
        logger.removeHandler(handler)
        logger.propagate = True
    assert seen == [
        ("caller, body suspended before the handler", True),
        ("awaited first step", True),
        ("caller, body suspended in the handler", True),
        ("awaited resumed", True),
        ("caller, body finished", True),
        ("probes", True, True),
        ("log records", [True, True]),
    ]


def test_exception_raised_in_a_handler_gets_the_handled_one_as_context():
    def scenario(impl):
        error = KeyError("handled")
        try:
            finish(impl.raise_in_handler(fail_later(error), suspend(), RuntimeError))
        except RuntimeError as error_raised:
            raised = error_raised
        return str(raised), raised.__context__ is error, raised.__cause__, sys.exception()

    assert differential(scenario) == ("raised in handler", True, None, None)


def test_plain_function_handler_sees_and_restores_the_handled_exception():
    error = ValueError("inner")
    assert m.plain_handled(error, sys.exception) is error
    assert sys.exception() is None
    try:
        raise KeyError("outer")
    except KeyError as outer:
        assert m.plain_handled(error, sys.exception) is error
        assert sys.exception() is outer


def test_errors_cross_the_boundary_as_python_exceptions():
    error = CustomError("plain")
    assert outcome(lambda: m.raise_plain(error)) == outcome(lambda: (_ for _ in ()).throw(error))
    assert outcome(lambda: m.add(1, "a")) == outcome(lambda: 1 + "a")
    # A C++ allocation failure becomes MemoryError, in plain code and in a coroutine body.
    with pytest.raises(MemoryError):
        m.fail_allocation(None)
    with pytest.raises(MemoryError):
        finish(m.fail_allocation_after(suspend()))
    caught = finish(m.catch_exception(m.fail_allocation_after(suspend())))
    assert caught[0] == "caught" and type(caught[1]) is MemoryError


EXIT_SCRIPT = """
import asyncio, types, _pyrt_testmod as m

@types.coroutine
def suspend():
    yield

async def native_guarded(awaitable, on_exit):
    try:
        return await awaitable
    finally:
        on_exit()

for impl, guarded in (("native", native_guarded), ("ours", m.guarded)):
    pending = guarded(m.await_value(suspend()), lambda impl=impl: print(impl, "closed"))
    pending.send(None)
    globals()[impl + "_pending"] = pending
print(asyncio.run(m.await_value(asyncio.sleep(0, "ran"))))
"""


def test_interpreter_exit_with_pending_coroutines_is_clean(run_python):
    # Suspended coroutines still alive at exit are closed while the interpreter can run
    # Python code; nothing the runtime owns may outlive it.
    result = run_python(textwrap.dedent(EXIT_SCRIPT))
    assert (result.returncode, result.stderr) == (0, "")
    assert sorted(result.stdout.splitlines()) == ["native closed", "ours closed", "ran"]


# A static or thread_local owning reference, or one at namespace scope, is destroyed after the
# interpreter is gone.
STATIC_OWNER = re.compile(
    r"^\s*(static|thread_local)\s+(const\s+)?(pyrt::)?(Ref|Local|PyError)\s+\w+\s*[;={]"
    r"|^(static\s+)?(pyrt::)?(Ref|Local|PyError)\s+\w+\s*[;={]",
    re.MULTILINE,
)


def test_no_static_owning_references_in_the_sources():
    sources = [
        path
        for folder in ("runtime", "connectors", "tests")
        for path in sorted((REPO_ROOT / folder).rglob("*"))
        if path.suffix in {".cpp", ".hpp", ".h"}
    ]
    assert sources
    offenders = [
        f"{path.relative_to(REPO_ROOT)}: {match.group(0).strip()}"
        for path in sources
        for match in STATIC_OWNER.finditer(path.read_text())
    ]
    assert offenders == []


@types.coroutine
def absorb():
    """Suspends once; a ValueError thrown in ends it with a value, as StopIteration carries it."""
    try:
        yield
    except ValueError:
        return "absorbed"


def suspended(impl, awaitable):
    coroutine = impl.await_value(awaitable)
    coroutine.send(None)
    return coroutine


# The interpreter's attribute cache keeps the name object of the last lookup in each slot, so a
# lookup by a str made afresh leaves that str behind until the slot is taken again. Names the
# runtime looks up must be interned, as the interpreter's own are: then repeating an operation
# keeps nothing (the suite's leak check empties that cache, so it cannot see this).
REPEATED = {
    "close": lambda impl: suspended(impl, suspend()).close(),
    "throw": lambda impl: outcome(lambda: suspended(impl, absorb()).throw(ValueError("thrown"))),
    "signature": lambda impl: (inspect.signature(impl.typed), inspect.signature(impl.add)),
}


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="counts the debug interpreter's references")
@pytest.mark.parametrize("operation", list(REPEATED))
def test_repeated_operations_keep_nothing_in_the_interpreters_caches(operation):
    def kept(impl):
        for _ in range(10):
            REPEATED[operation](impl)
        gc.collect()
        before = sys.gettotalrefcount(), sys.getallocatedblocks()
        for _ in range(300):
            REPEATED[operation](impl)
        gc.collect()
        return sys.gettotalrefcount() - before[0], sys.getallocatedblocks() - before[1]

    native, ours = kept(NATIVE), kept(m)
    assert ours[0] <= native[0] + 10 and ours[1] <= native[1] + 10, (ours, native)
