"""Benchmark: the runtime's C++ coroutines against the same code written with `async def`.

Runs, in one process and on one interpreter, each case on both sides and prints the median
time per operation and the ratio ours/native (below 1.0: the runtime is faster):

  complete-await   create a coroutine and drive it (send(None) until StopIteration) through an
                   await of something already complete (a finished Future)
  chain-50         a 50-deep chain of coroutines awaiting each other, started, suspended once at
                   the innermost await and resumed to the end
  loop-round-trip  create_task + await of a coroutine that awaits asyncio.sleep(0), on asyncio's
                   default loop (and on uvloop when it is installed)

Usage (the test module comes from <build>/tests_ext, by default $KAVORI_BUILD_DIR or
build/release; build it with -DCMAKE_BUILD_TYPE=Release):

  python3.14 bench/runtime_bench.py [--build-dir DIR] [--repeat 9] [--scale 1.0]
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import os
import statistics
import sys
import time
import types
from collections.abc import Callable
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parent.parent


# --- the native side ------------------------------------------------------------------------------


async def await_value(awaitable):
    return await awaitable


async def chain(depth, awaitable):
    if depth == 0:
        return await awaitable
    return await chain(depth - 1, awaitable)


@types.coroutine
def suspend_once():
    return (yield)


# --- cases ----------------------------------------------------------------------------------------
# Each case maker takes the implementation (a namespace with await_value and chain) and returns
# a function running `n` operations.


def complete_await(impl, loop) -> Callable[[int], None]:
    done = loop.create_future()
    done.set_result(1)
    make = impl.await_value

    def run(n: int) -> None:
        for _ in range(n):
            coroutine = make(done)
            try:
                coroutine.send(None)
            except StopIteration:
                pass
            else:
                raise AssertionError("an await of a finished future suspended")

    return run


def chain_50(impl, loop) -> Callable[[int], None]:
    make = impl.chain

    def run(n: int) -> None:
        for _ in range(n):
            coroutine = make(50, suspend_once())
            coroutine.send(None)
            try:
                coroutine.send(None)
            except StopIteration:
                pass
            else:
                raise AssertionError("the chain did not finish")

    return run


def loop_round_trip(impl, loop) -> Callable[[int], None]:
    make = impl.await_value
    create_task = loop.create_task
    sleep = asyncio.sleep

    async def main(n: int) -> None:
        for _ in range(n):
            await create_task(make(sleep(0)))

    def run(n: int) -> None:
        loop.run_until_complete(main(n))

    return run


CASES = [
    ("complete-await", complete_await, 20_000),
    ("chain-50", chain_50, 1_000),
    ("loop-round-trip", loop_round_trip, 5_000),
]


def loops() -> list[tuple[str, Callable[[], asyncio.AbstractEventLoop]]]:
    found = [("asyncio", asyncio.EventLoop)]
    try:
        import uvloop
    except ImportError:
        pass
    else:
        found.append(("uvloop", uvloop.new_event_loop))
    return found


def time_per_op(run: Callable[[int], None], number: int) -> float:
    gc_was_enabled = gc.isenabled()
    gc.disable()  # as timeit does: collections land on whichever side happens to trigger them
    try:
        start = time.perf_counter_ns()
        run(number)
        return (time.perf_counter_ns() - start) / number
    finally:
        if gc_was_enabled:
            gc.enable()


def check_same_results(ours, native) -> None:
    loop = asyncio.EventLoop()
    try:
        for impl in (ours, native):
            assert loop.run_until_complete(impl.await_value(asyncio.sleep(0, "x"))) == "x"
            assert loop.run_until_complete(impl.chain(50, asyncio.sleep(0, "y"))) == "y"
    finally:
        loop.close()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    default_build = os.environ.get("KAVORI_BUILD_DIR") or str(REPO_ROOT / "build" / "release")
    parser.add_argument("--build-dir", default=default_build, help="default: $KAVORI_BUILD_DIR")
    parser.add_argument("--repeat", type=int, default=9, help="repetitions per case and side")
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies operations per run")
    args = parser.parse_args()

    sys.path.insert(0, str(Path(args.build_dir).resolve() / "tests_ext"))
    import _pyrt_testmod as ours

    native = types.SimpleNamespace(await_value=await_value, chain=chain)
    check_same_results(ours, native)

    print(f"python {sys.version.split()[0]}, module {Path(ours.__file__).name}")
    print(f"median of {args.repeat} runs per side; ratio = ours / native (below 1: faster)\n")
    print(f"{'case':<28}{'ours':>12}{'native':>12}{'ratio':>8}")
    for loop_name, loop_factory in loops():
        loop = loop_factory()
        try:
            for name, make_case, number in CASES:
                if loop_name != "asyncio" and name != "loop-round-trip":
                    continue  # only the round trip involves the loop
                number = max(1, int(number * args.scale))
                runs = {"ours": make_case(ours, loop), "native": make_case(native, loop)}
                for run in runs.values():
                    run(max(1, number // 10))  # warm up
                samples: dict[str, list[float]] = {"ours": [], "native": []}
                for _ in range(args.repeat):
                    for side, run in runs.items():  # interleaved, so drift hits both sides
                        samples[side].append(time_per_op(run, number))
                medians = {side: statistics.median(values) for side, values in samples.items()}
                label = name if name != "loop-round-trip" else f"{name} ({loop_name})"
                print(
                    f"{label:<28}{format_ns(medians['ours']):>12}{format_ns(medians['native']):>12}"
                    f"{medians['ours'] / medians['native']:>8.2f}"
                )
        finally:
            loop.close()
    return 0


def format_ns(value: float) -> str:
    return f"{value / 1000:.2f} us" if value >= 1000 else f"{value:.0f} ns"


if __name__ == "__main__":
    sys.exit(main())
