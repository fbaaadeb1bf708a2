"""The coroutine object inside asyncio: tasks, both event loops, eager completion, directly
linked chains, cancellation, the cycle collector and the introspection tools."""

import asyncio
import collections.abc
import gc
import inspect
import io
import re
import types
import weakref

import pytest

import _pyrt_testmod as m

from .twins import NATIVE, differential, finish, recursion_limit, suspend

pytestmark = pytest.mark.leakcheck


def test_recognised_as_a_coroutine_and_run_by_tasks(run_any):
    coroutine = m.await_value(asyncio.sleep(0, "slept"))
    assert asyncio.iscoroutine(coroutine)
    assert isinstance(coroutine, collections.abc.Coroutine)
    assert inspect.isawaitable(coroutine)

    async def main():
        task = asyncio.create_task(coroutine)
        future = asyncio.ensure_future(m.await_value(asyncio.sleep(0, "ensured")))
        gathered = await asyncio.gather(m.return_value(1), m.cpp_child(asyncio.sleep(0, 21)))
        waited = await asyncio.wait_for(m.await_value(asyncio.sleep(0, "waited")), 10)
        return await task, await future, gathered, waited

    assert run_any(main) == ("slept", "ensured", [1, 42], "waited")


class CompleteAwaitable:
    """Ready at once: its iterator returns on the first step."""

    def __await__(self):
        return "ready"
        yield


def complete_future():
    future = asyncio.get_running_loop().create_future()
    future.set_result("done")
    return future


READY = {
    "queue-put": lambda impl: asyncio.Queue().put("item"),
    "done-future": lambda impl: complete_future(),
    "python-coroutine": lambda impl: NATIVE.return_value("at once"),
    "own-coroutine": lambda impl: impl.return_value("at once"),
    "ready-iterator": lambda impl: CompleteAwaitable(),
    "sleep-0": lambda impl: asyncio.sleep(0),
}


@pytest.mark.parametrize("awaited", sorted(READY))
def test_await_of_a_complete_awaitable_does_not_yield_to_the_loop(run_any, awaited):
    async def scenario(impl):
        order = []

        async def other():
            order.append("other task")

        task = asyncio.create_task(other())
        await impl.await_value(READY[awaited](impl))
        order.append("after await")
        await task
        return order

    order = differential(lambda impl: run_any(scenario(impl)))
    if awaited == "sleep-0":
        assert order == ["other task", "after await"]
    else:
        assert order == ["after await", "other task"]


def awaited_chain(coroutine):
    chain = []
    while coroutine is not None:
        chain.append(coroutine.__qualname__)
        coroutine = getattr(coroutine, "cr_await", None)
    return chain


def test_a_deep_chain_links_each_coroutine_to_the_next():
    def scenario(impl):
        outer = impl.chain(50, suspend("innermost"))
        yielded = outer.send(None)
        chain = awaited_chain(outer)
        try:
            outer.send("sent")
        except StopIteration as stop:
            return yielded, chain, stop.value

    yielded, chain, result = differential(scenario)
    assert chain == ["chain"] * 51 + ["suspend"]
    assert (yielded, result) == ("innermost", "sent")


@types.coroutine
def stack_when_resumed():
    yield "suspended"
    return m.stack_address(None)


def test_resuming_a_deep_chain_does_not_go_through_each_level():
    # Forwarding a resumption through N coroutine objects nests N calls on the C stack, so it
    # shows up as a deeper stack where the innermost awaitable is resumed.
    def scenario(impl):
        addresses = []
        for depth in (1, 400):
            outer = impl.chain(depth, stack_when_resumed())
            outer.send(None)
            addresses.append(finish(outer))
        return abs(addresses[1] - addresses[0]) < 4096

    assert differential(scenario) is True


def test_chains_far_deeper_than_the_recursion_limit():
    # Starting and finishing a linked chain use the compiler's symmetric transfer, which
    # AddressSanitizer builds turn into one real call per level: keep within their stack.
    depth = 5000
    with recursion_limit(100):
        outer = m.chain(depth, suspend("innermost"))
        assert outer.send(None) == "innermost"
        assert finish(outer, "value") == "value"

        outer = m.catch_exception(m.chain(depth, suspend("innermost")))
        outer.send(None)
        error = KeyError("thrown")
        try:
            outer.throw(error)
        except StopIteration as stop:
            assert stop.value == ("caught", error)

        events = []
        outer = m.guarded(m.chain(depth, suspend()), lambda: events.append("closed"))
        outer.send(None)
        outer.close()
        assert events == ["closed"]


def test_await_of_a_cpp_child_coroutine(run_any):
    async def failing():
        await asyncio.sleep(0)
        raise KeyError("child")

    def scenario(impl):
        value = run_any(impl.cpp_child(asyncio.sleep(0, 21)))
        caught = run_any(impl.catch_exception(impl.cpp_child(failing())))
        return value, caught[0], type(caught[1])

    assert differential(scenario) == (42, "caught", KeyError)


async def numbers(fail):
    for number in range(3):
        await asyncio.sleep(0)
        yield number
    if fail:
        raise KeyError("iteration")


class Ending(StopAsyncIteration):
    pass


class PlainAnext:
    """An asynchronous iterator whose __anext__ is a plain method: awaitables of 1 and 2, then
    `end` raised at the call itself, raised by the awaitable it returns, or returned."""

    def __init__(self, end, where="call"):
        self.end, self.where, self.index = end, where, 0

    def __aiter__(self):
        return self

    def __anext__(self):
        self.index += 1
        if self.index <= 2:
            return asyncio.sleep(0, self.index)
        if self.where == "call":
            raise self.end
        return self.raise_end() if self.where == "awaitable" else self.end

    async def raise_end(self):
        raise self.end


async def closed_generator():
    generator = numbers(False)
    await generator.aclose()
    return generator


class WithoutAnext:
    def __aiter__(self):
        return 42


ITERABLES = {
    "async generator": lambda: numbers(False),
    "async generator failing": lambda: numbers(True),
    "async generator closed": closed_generator,
    "ends at the __anext__ call": lambda: PlainAnext(StopAsyncIteration()),
    "ends at the call by a subclass": lambda: PlainAnext(Ending("done")),
    "fails at the __anext__ call": lambda: PlainAnext(KeyError("at the call")),
    "StopIteration at the __anext__ call": lambda: PlainAnext(StopIteration("leaked")),
    "ends in the awaitable": lambda: PlainAnext(StopAsyncIteration(), "awaitable"),
    "non-awaitable from __anext__": lambda: PlainAnext(42, "returned"),
    "not async-iterable": lambda: 42,
    "__aiter__ without __anext__": WithoutAnext,
}


@pytest.mark.parametrize("iterable", list(ITERABLES))
def test_async_iteration_ends_and_fails_as_async_for_does(run_any, iterable):
    async def scenario(impl):
        made = ITERABLES[iterable]()
        if inspect.isawaitable(made):
            made = await made
        kind, result = await impl.catch_exception(impl.iterate(made))
        if kind == "ok":
            return kind, result
        return kind, type(result), str(result), type(result.__cause__)

    outcome = differential(lambda impl: run_any(scenario(impl)))
    if iterable.startswith("ends"):
        assert outcome == ("ok", [1, 2])
    elif iterable == "async generator":
        assert outcome == ("ok", [0, 1, 2])


def test_closing_an_iteration_suspended_in_anext_closes_the_async_generator():
    def scenario(impl):
        events = []

        async def watched():
            try:
                yield "first"
                await suspend("inside")
            finally:
                events.append("generator finally")

        generator = watched()
        coroutine = impl.iterate(generator)
        events.append(coroutine.send(None))
        coroutine.close()
        events.append(generator.ag_running)
        return events, inspect.getcoroutinestate(coroutine)

    events, state = differential(scenario)
    assert events == ["inside", "generator finally", False]


@pytest.mark.parametrize("first_awaiter", ["python", "runtime"])
def test_a_second_task_awaiting_the_same_coroutine_is_refused(run_any, first_awaiter):
    async def waiter(coroutine):
        return await coroutine

    async def scenario(impl):
        shared = impl.await_value(asyncio.sleep(0.01, "slept"))
        first_wait = waiter if first_awaiter == "python" else impl.await_value
        first = asyncio.create_task(first_wait(shared))
        await asyncio.sleep(0)
        second = asyncio.create_task(waiter(shared))
        results = await asyncio.gather(first, second, return_exceptions=True)
        return [r if not isinstance(r, BaseException) else (type(r), str(r)) for r in results]

    results = differential(lambda impl: run_any(scenario(impl)))
    assert results == ["slept", (RuntimeError, "coroutine is being awaited already")]


@pytest.mark.parametrize("layers", ["direct", "linked", "cpp-child"])
def test_cancellation_reaches_the_innermost_awaitable_and_the_cpp_frames(run_any, layers):
    async def scenario(impl):
        events = []

        async def innermost():
            try:
                await asyncio.sleep(3600)
            except asyncio.CancelledError as error:
                events.append(("innermost cancelled", error.args))
                raise
            finally:
                events.append("innermost finally")

        awaited = {
            "direct": lambda: innermost(),
            "linked": lambda: impl.await_value(impl.await_value(innermost())),
            "cpp-child": lambda: impl.cpp_child(innermost()),
        }[layers]()
        # catch_exception must let the cancellation through; guarded's C++ destructor runs.
        body = impl.guarded(impl.catch_exception(awaited), lambda: events.append("on_exit"))
        task = asyncio.create_task(body)
        await asyncio.sleep(0)
        task.cancel("stop")
        try:
            await task
        except asyncio.CancelledError as error:
            events.append(("task cancelled", error.args))
        return events, task.cancelled()

    events, cancelled = differential(lambda impl: run_any(scenario(impl)))
    assert cancelled and events[-2:] == ["on_exit", ("task cancelled", ("stop",))]
    assert events[:2] == [("innermost cancelled", ("stop",)), "innermost finally"]


class Owner:
    def on_exit(self):
        pass


class HoldingAwaitable:
    """Its iterator keeps the awaitable, and so the owner, alive."""

    def __init__(self, owner, future):
        self.owner = owner
        self.future = future

    def __await__(self):
        return (yield from self.future)


HOLDERS = {
    # owner is held by an argument only (through a bound method)
    "argument": lambda impl, owner, future: impl.guarded(future, owner.on_exit),
    # owner is held by an argument and by a local across the suspension
    "local": lambda impl, owner, future: impl.hold_across(owner, future),
    # owner is reachable only through the iterator of the awaited object
    "awaited": lambda impl, owner, future: impl.await_value(HoldingAwaitable(owner, future)),
}


@pytest.mark.parametrize("holder", sorted(HOLDERS))
def test_cycle_through_a_pending_task_is_collected(run, impl, holder):
    async def scenario():
        loop = asyncio.get_running_loop()
        reports = []
        loop.set_exception_handler(lambda loop, context: reports.append(context["message"]))
        owner = Owner()
        future = loop.create_future()
        owner.task = asyncio.ensure_future(HOLDERS[holder](impl, owner, future))
        await asyncio.sleep(0)
        assert inspect.getcoroutinestate(owner.task.get_coro()) == inspect.CORO_SUSPENDED
        alive = weakref.ref(owner)
        del owner, future
        gc.collect()
        return alive() is None, reports

    collected, reports = run(scenario)
    assert collected
    assert reports == ["Task was destroyed but it is pending!"]


def test_task_repr_names_the_qualified_name(run_any):
    async def scenario(impl):
        coroutine = impl.await_value(asyncio.sleep(3600))
        coroutine.__qualname__ = "Service.operation"
        task = asyncio.create_task(coroutine)
        await asyncio.sleep(0)
        pending = repr(task)
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)
        return pending, repr(task)

    def summary(impl):
        pending, done = run_any(scenario(impl))
        return re.search(r"coro=<(.*?) at ", pending)[1], re.search(r"coro=<(.*?) at ", done)[1]

    assert differential(summary) == (
        "Service.operation() running",
        "Service.operation() done, defined",
    )


def test_call_graph_walks_through_to_the_awaited_python_coroutine(run):
    async def scenario(impl):
        async def innermost():
            await asyncio.sleep(3600)

        inner = asyncio.create_task(impl.await_value(impl.await_value(innermost())))
        outer = asyncio.create_task(impl.await_value(inner))
        await asyncio.sleep(0)
        graph = asyncio.capture_call_graph(inner)
        names = [entry.frame.f_code.co_qualname for entry in graph.call_stack]
        awaited_by = [parent.future is outer for parent in graph.awaited_by]
        printed = io.StringIO()
        asyncio.print_call_graph(inner, file=printed)
        outer.cancel()
        await asyncio.gather(outer, return_exceptions=True)
        return names, awaited_by, normalise_graph(printed.getvalue())

    names, awaited_by, printed = differential(lambda impl: run(scenario(impl)))
    assert names[-3].endswith("innermost") and names[-2:] == ["await_value", "await_value"]
    assert awaited_by == [True]


def normalise_graph(text):
    # Frames of compiled coroutines are not generator frames, so print_call_graph does not tag
    # them "async"; names, order and nesting must still agree.
    text = re.sub(r"File '.*?', line \d+, in (async )?", "in ", text)
    return re.sub(r"name='Task-\d+', id=0x[0-9a-f]+", "task", text)
