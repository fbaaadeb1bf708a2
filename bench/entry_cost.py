"""The cost of one entry into the interpreter, from C, against the same call inline in Python.

When Python bytecode calls a Python function, or awaits the coroutine of an `async def`, the
interpreter pushes the callee's frame and goes on in the same evaluation loop. C code has no such
path: every call of a Python function from C (PyObject_VectorcallMethod, as the bridge calls its
host), and every send() into a Python coroutine (PyIter_Send, as the bridge drives an awaited
host coroutine), starts the evaluation loop afresh. This measures both, with host methods that
return at once, so nothing but the way in differs:

  sync call   host.call(arg), a plain method: one entry from C
  async def   await host.acall(arg), a coroutine method: two entries from C (the call creates the
              coroutine, the send runs it)

Python's side subtracts its own empty loop; C's loop costs next to nothing. The extra cost of C is
the entry cost. Timing: CPU time of this process (a shared machine makes it wait for a core,
which is not a cost), median of R interleaved runs. --instructions counts instructions with
callgrind instead (each side at N and at 0 operations, start-up subtracted), which repeat exactly.

    python bench/entry_cost.py [--operations N] [--repeat R] [--instructions]
"""

from __future__ import annotations

import argparse
import gc
import os
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

BUILD_DIR = Path(os.environ.get("KAVORI_BUILD_DIR",
                                Path(__file__).resolve().parent.parent / "build" / "release"))


class Host:
    def call(self, argument):
        return None

    async def acall(self, argument):
        return None


def python_calls(host, argument, count: int) -> None:
    for _ in range(count):
        host.call(argument)


def python_loop(host, argument, count: int) -> None:
    for _ in range(count):
        pass


async def python_awaits(host, argument, count: int) -> None:
    for _ in range(count):
        await host.acall(argument)


async def python_async_loop(host, argument, count: int) -> None:
    for _ in range(count):
        pass


def drive(coroutine) -> None:
    try:
        coroutine.send(None)
    except StopIteration:
        return
    raise RuntimeError("the coroutine suspended")


def runner(case: str, side: str):
    """A function running `count` operations of `case` on `side` (C, Python, or Python's loop)."""
    sys.path.insert(0, str(BUILD_DIR / "bench_ext"))
    import _entry_cost_benchmod as from_c

    host, argument = Host(), "message"
    if case == "sync":
        return {
            "C": lambda count: from_c.call_method(host, "call", argument, count),
            "Python": lambda count: python_calls(host, argument, count),
            "loop": lambda count: python_loop(host, argument, count),
        }[side]
    return {
        "C": lambda count: from_c.call_and_drive(host, "acall", argument, count),
        "Python": lambda count: drive(python_awaits(host, argument, count)),
        "loop": lambda count: drive(python_async_loop(host, argument, count)),
    }[side]


CASES = {"sync": ("sync call", 1), "async": ("async def", 2)}  # name, entries per operation
SIDES = ("C", "Python", "loop")


def timed(operations: int, repeat: int) -> dict:
    per_op = {}
    for case in CASES:
        runs = {side: runner(case, side) for side in SIDES}
        for run in runs.values():
            run(operations // 10)  # warm-up
        samples: dict[str, list[float]] = {side: [] for side in SIDES}
        gc.disable()
        try:
            for _ in range(repeat):
                for side, run in runs.items():
                    started = time.process_time_ns()
                    run(operations)
                    samples[side].append((time.process_time_ns() - started) / operations)
        finally:
            gc.enable()
        per_op[case] = {side: statistics.median(values) for side, values in samples.items()}
    return per_op


def counted(operations: int) -> dict:
    def instructions(case: str, side: str, count: int) -> int:
        result = subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
             __file__, "--child", case, side, str(count)],
            capture_output=True, text=True, check=True, env=dict(os.environ, PYTHONHASHSEED="0"))
        return int(re.search(r"Collected : (\d+)", result.stderr).group(1))

    return {case: {side: (instructions(case, side, operations) - instructions(case, side, 0))
                   / operations for side in SIDES} for case in CASES}


def report(per_op: dict, unit: str, digits: int) -> None:
    print(f"| case | from C {unit}/op | inline Python {unit}/op | C extra {unit}/op "
          f"| entries/op | {unit}/entry |")
    print("|---|---:|---:|---:|---:|---:|")
    for case, (name, entries) in CASES.items():
        c, python = per_op[case]["C"], per_op[case]["Python"] - per_op[case]["loop"]
        print(f"| {name} | {c:,.{digits}f} | {python:,.{digits}f} | {c - python:,.{digits}f} "
              f"| {entries} | {(c - python) / entries:,.{digits}f} |")


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        case, side, count = sys.argv[2], sys.argv[3], int(sys.argv[4])
        run = runner(case, side)
        run(100)  # the same warm-up at every count, so it cancels out
        run(count)
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--operations", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--instructions", action="store_true",
                        help="count instructions with callgrind (20,000 operations by default)")
    args = parser.parse_args()
    print(f"Python {sys.version.split()[0]}")
    if args.instructions:
        operations = 20_000 if args.operations == 200_000 else args.operations
        print(f"instructions (callgrind), {operations} operations, start-up subtracted")
        report(counted(operations), "instr", 0)
    else:
        print(f"time, {args.operations} operations, median of {args.repeat} interleaved runs")
        report(timed(args.operations, args.repeat), "ns", 1)


if __name__ == "__main__":
    main()
