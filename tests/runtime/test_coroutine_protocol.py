"""The coroutine object under the bare protocol (send, throw, close, __await__, __next__), its
states and its end of life, compared with coroutines of `async def` functions."""

import gc
import inspect
import re
import sys
import warnings
import weakref
from pathlib import Path

import pytest

import _pyrt_testmod

from .twins import NATIVE, differential, drive, finish, outcome, suspend

pytestmark = pytest.mark.leakcheck

RETURNED = [None, 0, "text", (), (1, 2), [3], StopIteration("inner"), ValueError("value")]


class Recorder:
    """An awaitable that notes each step it takes and completes after one suspension."""

    def __init__(self, events: list) -> None:
        self.events = events

    def __await__(self):
        self.events.append("awaited started")
        try:
            return (yield "awaited suspended")
        finally:
            self.events.append("awaited finally")


class NoThrow:
    """An iterator awaitable without throw() or close(): a thrown exception goes to the frame."""

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return "tick"


@pytest.mark.parametrize("value", RETURNED, ids=repr)
def test_any_return_value_reaches_the_awaiter_intact(impl, value):
    # Directly, through a linked coroutine of the same kind, through an awaited Python
    # coroutine, through __await__().__next__() and through an `await` in Python code.
    assert drive(impl.return_value(value)) is value
    assert drive(impl.await_value(impl.return_value(value))) is value
    assert drive(impl.await_value(NATIVE.return_value(value))) is value
    coroutine = impl.await_value(suspend())
    iterator = coroutine.__await__()
    assert next(iterator) is None
    with pytest.raises(StopIteration) as stop:
        iterator.send(value)
    assert stop.value.value is value

    async def outer():
        return await impl.return_value(value)

    assert drive(outer()) is value


def test_protocol_errors_match_native_coroutines():
    def scenario(impl):
        results = []
        coroutine = impl.await_value(suspend())
        results.append(outcome(lambda: coroutine.send(1)))
        # A refused first send leaves the coroutine unstarted.
        results.append(inspect.getcoroutinestate(coroutine))
        coroutine.send(None)
        results.append(outcome(lambda: coroutine.send(None)))
        for action in (
            lambda: coroutine.send(None),
            lambda: next(coroutine.__await__()),
            lambda: coroutine.throw(ValueError("late")),
            coroutine.close,
        ):
            results.append(outcome(action))
        results.append(outcome(lambda: coroutine.throw(1)))
        results.append(outcome(lambda: coroutine.throw()))
        results.append(outcome(lambda: coroutine.throw(ValueError("a"), ValueError("b"))))

        async def await_again():
            return await coroutine

        results.append(outcome(lambda: drive(await_again())))
        return results

    results = differential(scenario)
    assert results[2] == ("raised", StopIteration, "")
    assert results[3][1:] == (RuntimeError, "cannot reuse already awaited coroutine")


class Reenter:
    """Awaited by `target`, it calls back into `target` while it runs."""

    def __init__(self, action: str, impl) -> None:
        self.action = action
        self.impl = impl
        self.target = None
        self.seen = None

    def __await__(self):
        self.seen = outcome(lambda: self.call())
        return "finished"
        yield

    def call(self):
        if self.action == "send":
            return self.target.send(None)
        if self.action == "next":
            return next(self.target.__await__())
        if self.action == "throw":
            return self.target.throw(KeyError("inside"))
        if self.action == "python await":
            return drive(NATIVE.await_value(self.target))
        if self.action == "runtime await":
            return drive(self.impl.await_value(self.target))
        return self.target.close()


@pytest.mark.parametrize(
    "action", ["send", "next", "throw", "python await", "runtime await", "close"]
)
def test_reentering_a_running_coroutine(action):
    def scenario(impl):
        reenter = Reenter(action, impl)
        reenter.target = impl.await_value(impl.await_value(reenter))
        result = drive(reenter.target)
        return reenter.seen, result

    seen, result = differential(scenario)
    assert seen[1:] == (ValueError, "coroutine already executing")
    assert result == "finished"


# Who awaits a coroutine that is already suspended in an await of its own.
SECOND_AWAITS = {
    "python await": lambda impl, coroutine: drive(NATIVE.await_value(coroutine)),
    "runtime await": lambda impl, coroutine: drive(impl.await_value(coroutine)),
    "__await__ then next": lambda impl, coroutine: next(coroutine.__await__()),
    "send": lambda impl, coroutine: coroutine.send(None),
    "throw": lambda impl, coroutine: coroutine.throw(KeyError("thrown")),
    "close": lambda impl, coroutine: coroutine.close(),
}


@pytest.mark.parametrize("awaited", ["same kind", "python coroutine"])
@pytest.mark.parametrize("second", sorted(SECOND_AWAITS))
def test_a_coroutine_being_awaited_refuses_a_second_await(second, awaited):
    # Only the await expression refuses; __await__() itself and the protocol methods do not.
    def scenario(impl):
        factory = impl if awaited == "same kind" else NATIVE
        coroutine = factory.await_value(suspend("first"))
        first = impl.await_value(coroutine)
        first.send(None)
        seen = outcome(lambda: SECOND_AWAITS[second](impl, coroutine))
        return seen, inspect.getcoroutinestate(coroutine), outcome(lambda: finish(first, "end"))

    seen, _, _ = differential(scenario)
    if second.endswith("await"):
        assert seen == ("raised", RuntimeError, "coroutine is being awaited already")


def test_coroutine_ignoring_generator_exit(unraisables):
    def scenario(impl):
        coroutine = impl.ignore_exit(suspend)
        coroutine.send(None)
        closed = outcome(coroutine.close)
        state = inspect.getcoroutinestate(coroutine)
        del coroutine
        gc.collect()
        # The finalizer reports the same failure as unraisable instead of raising it.
        reported = unraisables.summary()
        unraisables.seen.clear()
        return closed, state, reported

    closed, state, reported = differential(scenario)
    assert closed[1:] == (RuntimeError, "coroutine ignored GeneratorExit")
    assert state == inspect.CORO_SUSPENDED
    assert reported == [(RuntimeError, "coroutine ignored GeneratorExit")]


def test_stop_iteration_escaping_a_body_becomes_runtime_error():
    def scenario(impl):
        try:
            drive(impl.raise_stop_iteration(None))
        except RuntimeError as error:
            direct = (str(error), type(error.__cause__), error.__cause__.args)
        caught = drive(impl.catch_exception(impl.raise_stop_iteration(None)))
        return direct, caught[0], type(caught[1]), str(caught[1])

    direct, *_ = differential(scenario)
    assert direct == ("coroutine raised StopIteration", StopIteration, ("leaked",))


def test_throw_into_a_just_started_coroutine_skips_the_body():
    def scenario(impl):
        events = []
        coroutine = impl.await_value(Recorder(events))
        error = ValueError("early")
        thrown = outcome(lambda: coroutine.throw(error))
        state = inspect.getcoroutinestate(coroutine)
        again = outcome(lambda: coroutine.send(None))
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            del coroutine
            gc.collect()
        return events, thrown, state, again, len(caught)

    events, thrown, state, again, warned = differential(scenario)
    assert events == [] and thrown[1] is ValueError and warned == 0
    assert state == inspect.CORO_CLOSED


def test_close_of_an_unstarted_coroutine_is_silent():
    def scenario(impl):
        events = []
        coroutine = impl.await_value(Recorder(events))
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            closed = outcome(coroutine.close)
            state = inspect.getcoroutinestate(coroutine)
            again = outcome(lambda: coroutine.send(None))
            del coroutine
            gc.collect()
        return events, closed, state, again, len(caught)

    events, closed, state, _, warned = differential(scenario)
    assert (events, closed, state, warned) == ([], ("returned", None), inspect.CORO_CLOSED, 0)


async def recovering(events):
    try:
        await suspend("first")
    except KeyError as error:
        events.append(f"recovered from {error!r}")
        await suspend("second")
        return "recovered"


async def reraising(events):
    try:
        await suspend("first")
    finally:
        events.append("inner finally")


async def failing_close(events):
    try:
        await suspend("first")
    except GeneratorExit:
        events.append("inner closing")
        raise ValueError("from close") from None


@pytest.mark.parametrize(
    "inner, thrown_type",
    [
        (recovering, KeyError),
        (reraising, KeyError),
        (reraising, GeneratorExit),
        (failing_close, GeneratorExit),
        (lambda events: NoThrow(), KeyError),
    ],
    ids=["inner-recovers", "inner-reraises", "generator-exit", "inner-close-fails", "no-throw"],
)
def test_throw_is_forwarded_to_the_awaited_object(inner, thrown_type):
    # catch_exception sits between: Exception-family errors come back as ("caught", error).
    thrown = thrown_type("thrown")

    def scenario(impl):
        events = []
        coroutine = impl.catch_exception(impl.await_value(inner(events)))
        coroutine.send(None)
        steps = [outcome(lambda: coroutine.throw(thrown))]
        while steps[-1][0] == "returned":
            steps.append(outcome(lambda: coroutine.send("resumed")))
        stop = steps[-1]
        return events, steps, inspect.getcoroutinestate(coroutine), stop

    differential(scenario)


def test_legacy_throw_signature_warns_like_native():
    def scenario(impl):
        coroutine = impl.catch_exception(suspend())
        coroutine.send(None)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                coroutine.throw(KeyError, "key", None)
            except StopIteration as stop:
                kind, error = stop.value
        return [(w.category, str(w.message)) for w in caught], kind, type(error), error.args

    warned, *result = differential(scenario)
    assert warned[0][0] is DeprecationWarning and result == ["caught", KeyError, ("key",)]


@pytest.mark.parametrize("inner", [reraising, failing_close], ids=["finally", "close-fails"])
def test_close_is_forwarded_to_the_awaited_object(inner):
    def scenario(impl):
        events = []
        coroutine = impl.await_value(impl.await_value(inner(events)))
        coroutine.send(None)
        closed = outcome(coroutine.close)
        return events, closed, inspect.getcoroutinestate(coroutine), outcome(coroutine.close)

    differential(scenario)


def states(*coroutines):
    return [
        (inspect.getcoroutinestate(c), c.cr_running, c.cr_suspended, c.cr_await is None)
        for c in coroutines
    ]


class StateProbe:
    """Records the states of the given coroutines while it is being awaited by them."""

    def __init__(self) -> None:
        self.coroutines = ()
        self.seen = []

    def __await__(self):
        self.seen.append(states(*self.coroutines))
        yield "suspended"
        self.seen.append(states(*self.coroutines))
        return "done"


def test_states_and_cr_await_through_the_lifecycle():
    def scenario(impl):
        probe = StateProbe()
        inner = impl.await_value(probe)
        outer = impl.await_value(inner)
        probe.coroutines = (outer, inner)
        seen = [states(outer, inner)]
        outer.send(None)
        seen.append(states(outer, inner))
        chain = [outer.cr_await is inner, type(inner.cr_await).__name__]
        assert drive(outer) == "done"
        seen.append(states(outer, inner))
        return seen, probe.seen, chain

    seen, probed, chain = differential(scenario)
    created, suspended, closed = seen
    assert {s[0] for s in created} == {inspect.CORO_CREATED}
    assert {s[0] for s in suspended} == {inspect.CORO_SUSPENDED}
    assert {s[0] for s in closed} == {inspect.CORO_CLOSED}
    assert {s[0] for step in probed for s in step} == {inspect.CORO_RUNNING}
    assert chain == [True, "generator"]


def test_frame_locals_show_the_arguments():
    # What debuggers and inspect.getcoroutinelocals show; a body's C++ locals are not listed.
    def scenario(impl):
        first = suspend()
        coroutine = impl.handle_then_await(first, "probe", None)
        seen = [inspect.getcoroutinelocals(coroutine)]
        coroutine.send(None)
        seen.append(inspect.getcoroutinelocals(coroutine))
        coroutine.close()
        seen.append(inspect.getcoroutinelocals(coroutine))
        return [{k: v is first if k == "first" else v for k, v in s.items()} for s in seen]

    created, _, closed = differential(scenario)
    assert created == {"first": True, "probe": "probe", "second": None} and closed == {}


class Held:
    """An awaitable that suspends once, then returns or fails; weakly referable, so that a test
    sees who still keeps it."""

    def __init__(self, fail: bool = False) -> None:
        self.fail = fail

    def __await__(self):
        yield "tick"
        if self.fail:
            raise ValueError("failed")
        return "done"

    def __call__(self) -> None:
        pass


# How a coroutine ends: returning, raising, closed while suspended, closed or thrown into before
# it started, or cleared by the collector (the native twin, which has no tp_clear, is closed).
ENDINGS = ["returned", "raised", "closed", "closed before start", "thrown before start", "cleared"]


@pytest.mark.parametrize("read_frame", [False, True], ids=["frame untouched", "frame read"])
@pytest.mark.parametrize("ending", ENDINGS)
def test_an_ended_coroutine_keeps_neither_arguments_nor_frame_locals(ending, read_frame):
    """A finished coroutine that someone keeps (asyncio keeps a done task's coroutine) holds no
    argument, and its frame, once read (repr(task) reads it), no locals."""

    def scenario(impl):
        awaitable, on_exit = Held(fail=ending == "raised"), Held()
        alive = [weakref.ref(awaitable), weakref.ref(on_exit)]
        coroutine = impl.finally_call(awaitable, on_exit)
        del awaitable, on_exit
        if read_frame:
            seen = [sorted(coroutine.cr_frame.f_locals)]
        else:
            seen = []
        if ending == "closed before start":
            seen.append(outcome(coroutine.close))
        elif ending == "thrown before start":
            seen.append(outcome(lambda: coroutine.throw(KeyError("early"))))
        else:
            coroutine.send(None)
            if read_frame:
                seen.append(sorted(coroutine.cr_frame.f_locals))
            if ending == "cleared" and impl is not NATIVE:
                _pyrt_testmod.clear_object(coroutine)
            elif ending in ("closed", "cleared"):
                seen.append(outcome(coroutine.close))
            else:
                seen.append(outcome(lambda: coroutine.send(None)))
        code = coroutine.cr_code
        seen += [[ref() is not None for ref in alive], coroutine.cr_frame, coroutine.cr_await,
                 inspect.getcoroutinestate(coroutine), coroutine.cr_running, coroutine.cr_suspended,
                 coroutine.cr_origin, (code.co_name, code.co_qualname)]
        return seen if ending != "cleared" else seen[-8:]

    seen = differential(scenario)
    assert seen[-8:-6] == [[False, False], None]


def test_names_follow_the_function_and_can_be_changed():
    def scenario(impl):
        coroutine = impl.await_value(None)
        names = [coroutine.__name__, coroutine.__qualname__]
        coroutine.__qualname__ = "Service.operation"
        coroutine.__name__ = "operation"
        names += [coroutine.__name__, coroutine.__qualname__, repr(coroutine).split(" at ")[0]]
        names.append(outcome(lambda: setattr(coroutine, "__name__", 1)))
        names.append(outcome(lambda: setattr(coroutine, "__qualname__", None)))
        names.append(type(coroutine)[int, str, bool].__args__)
        coroutine.close()
        return names

    names = differential(scenario)
    assert names[:5] == [
        "await_value",
        "await_value",
        "operation",
        "Service.operation",
        "<coroutine object Service.operation",
    ]


def test_origin_is_recorded_while_tracking_is_on():
    # asyncio's debug mode turns tracking on; the never-awaited warning then says where the
    # coroutine was made.
    def scenario(impl):
        def make():
            return impl.await_value(None)

        saved = sys.get_coroutine_origin_tracking_depth()
        sys.set_coroutine_origin_tracking_depth(2)
        try:
            tracked = make()
        finally:
            sys.set_coroutine_origin_tracking_depth(saved)
        untracked = make()
        origins = [tracked.cr_origin, untracked.cr_origin]
        untracked.close()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            del tracked
            gc.collect()
        return origins, [str(w.message) for w in caught]

    (tracked, untracked), warned = differential(scenario)
    assert [frame[2] for frame in tracked] == ["make", "scenario"] and untracked is None
    assert "Coroutine created at (most recent call last)" in warned[0]


@pytest.mark.parametrize("action", ["always", "error", "ignore"])
def test_never_awaited_coroutine_warns_through_the_warnings_filters(action, unraisables):
    def scenario(impl):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter(action)
            coroutine = impl.await_value(None)
            del coroutine
            gc.collect()
        reported = unraisables.summary()
        unraisables.seen.clear()
        return [(w.category, str(w.message)) for w in caught], reported

    warned, reported = differential(scenario)
    expected = [(RuntimeWarning, "coroutine 'await_value' was never awaited")]
    assert (warned, reported) == {
        "always": (expected, []),
        "error": ([], expected),
        "ignore": ([], []),
    }[action]


def test_abandoned_suspended_coroutine_is_closed_by_its_finalizer(unraisables):
    # guarded() runs on_exit from a C++ destructor; await_value() links to it.
    def scenario(impl):
        events = []
        coroutine = impl.guarded(
            impl.await_value(Recorder(events)), lambda: events.append("on_exit")
        )
        coroutine.send(None)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            del coroutine
            gc.collect()
        return events, len(caught), unraisables.summary()

    events, warned, reported = differential(scenario)
    assert events == ["awaited started", "awaited finally", "on_exit"]
    assert (warned, reported) == (0, [])


SHUTDOWN = """
import gc, sys, warnings
sys.path.insert(0, {twins!r})
warnings.simplefilter("default")
import twins
impl = twins.IMPLEMENTATIONS[{which!r}]
class Keeper:
    pass
keeper = Keeper()
keeper.cycle = keeper
keeper.coroutine = impl.await_value(None)
pending = impl.await_value(None)
# Suspended ones are closed as they go: their frames' cleanup runs, nothing is printed.
suspended = impl.guarded(twins.suspend(), lambda: print("closed", file=sys.stderr))
suspended.send(None)
keeper.suspended = impl.guarded(impl.await_value(twins.suspend()), lambda: None)
keeper.suspended.send(None)
"""


def test_never_awaited_coroutines_collected_at_shutdown(run_python):
    # At most the warning itself: nothing about imports failing while the interpreter ends.
    def scenario(impl):
        which = "ours" if impl is not NATIVE else "native"
        code = SHUTDOWN.format(twins=str(Path(__file__).parent), which=which)
        child = run_python(code)
        return child.returncode, re.sub(r"0x[0-9a-f]+", "ADDRESS", child.stderr)

    returncode, stderr = differential(scenario)
    assert returncode == 0 and "Error" not in stderr


@pytest.mark.parametrize("which", ["outer", "inner"])
def test_coroutine_cleared_by_the_collector_is_finished(which):
    """tp_clear frees the frame; the coroutine then acts as a native one that has finished (ours
    is cleared as the collector would; the native one, which has no tp_clear, is closed)."""

    def scenario(impl):
        events = []
        inner = impl.guarded(impl.await_value(suspend("tick")), lambda: events.append("on_exit"))
        outer = impl.await_value(inner)
        assert outer.send(None) == "tick"
        target = outer if which == "outer" else inner
        if impl is NATIVE:
            target.close()
        else:
            _pyrt_testmod.clear_object(target)
        seen = [target.cr_suspended, target.cr_frame, target.cr_await]
        seen += [outcome(lambda: target.send(None)), outcome(lambda: target.throw(ValueError("late")))]
        seen += [outcome(target.close), outcome(lambda: outer.send(None)), outcome(outer.close)]
        inner.close()
        return seen + [events]

    seen = differential(scenario)
    assert seen[:3] == [False, None, None] and seen[-1] == ["on_exit"]
