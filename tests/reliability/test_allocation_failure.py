"""Allocation failure injected along the representative paths: importing the module, its class
surface, a full message with a screenshot, a message whose agent run fails, the worker (start, a
message whose handling fails and gets its apology, stop) and the coroutine protocol (send, throw,
close). allocation_sweep.py runs each in a child process, since the faults it hunts crash or
abort: no path may crash, abort or return with an error left set; the failure surfaces as
MemoryError or stays in the module's log and reply, and the objects involved work afterwards (the
same bridge answers the next message). On the debug interpreter the child also checks that
repeated attempts leak no references or memory blocks. What the interpreter keeps in bounded
stores is not counted: its attribute cache is emptied before each reading, and an attempt that
left more behind is judged by batches of attempts, as a slowly filling store stops growing and a
leak does not (allocation_sweep.py says how).

On the debug interpreter every allocation along each path fails once, in turn, and (except for
the message with a screenshot) then every allocation from it on; elsewhere the sweep samples
every 5th allocation, single failures only. A sweep ends after 300 attempts in a row that met no
failure, past the path's end."""

import sys
from pathlib import Path

import pytest

SWEEP = Path(__file__).with_name("allocation_sweep.py")
DEBUG = hasattr(sys, "gettotalrefcount")
SCENARIOS = ["import", "class surface", "full message", "failing message", "worker start stop",
             "coroutine send", "coroutine throw", "coroutine close"]
# The message with a screenshot is swept with single failures only. With every allocation failing
# from some point on, the debug interpreter stops in a temporary file's deallocator ("Deallocator
# of type '_TemporaryFileWrapper' cleared the current exception"). That is the interpreter's
# limit, not the module's; pure Python shows it on python3.14-dbg: a function that makes a
# tempfile.NamedTemporaryFile, calls _testcapi.set_nomemory(0, 0) and raises aborts with that
# message when the unwinding frame drops the wrapper (whose __repr__, called by its own __init__,
# and __getattr__ read self.__dict__, materialising the instance dict). An instance of an empty
# class stops the same way ("Deallocator of type 'Plain' ...") once its `__dict__` was read, and
# ends with an ordinary MemoryError when it was not: detaching a materialised dict from the
# instance's inline values copies them, and when that allocation fails the deallocator clears the
# exception in flight.
CASES = [(scenario, mode) for scenario in SCENARIOS for mode in ("single", "persistent")
         if mode == "single" or (DEBUG and scenario != "full message")]


@pytest.mark.parametrize("scenario, mode", CASES)
def test_allocation_failure_along_a_path(run_python, scenario, mode):
    argv = [str(SWEEP), scenario, "0", "20000", "1" if DEBUG else "5"] + (["persistent"] if mode == "persistent" else [])
    result = run_python(f"import runpy, sys; sys.argv = {argv!r}; runpy.run_path(sys.argv[0], run_name='__main__')",
                        timeout=600)
    assert result.returncode == 0, result.stderr[-3000:]
    lines = result.stdout.splitlines()
    assert lines and lines[-1].startswith("swept "), result.stdout[-3000:]
    leaks = [line for line in lines if line.startswith("leak ")]
    assert not leaks, leaks
