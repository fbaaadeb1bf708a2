"""Allocation failure injected along the representative paths: importing the module, its class
surface, a full message with a screenshot, a message whose agent run fails, and the coroutine
protocol (send, throw, close). allocation_sweep.py runs each in a child process, since the faults
it hunts crash or abort: no path may crash, abort or return with an error left set; the failure
surfaces as MemoryError or stays in the module's log and reply, and the objects involved work
afterwards (the same bridge answers the next message).

On the debug interpreter every allocation along each path fails once, in turn, and (except for
the two message paths) then every allocation from it on; elsewhere the sweep samples every 5th
allocation, single failures only. A sweep ends after 300 attempts in a row that met no failure,
past the path's end."""

import sys
from pathlib import Path

import pytest

SWEEP = Path(__file__).with_name("allocation_sweep.py")
DEBUG = hasattr(sys, "gettotalrefcount")
SCENARIOS = ["import", "class surface", "full message", "failing message", "coroutine send",
             "coroutine throw", "coroutine close"]
# With every allocation failing from some point of a message on, the debug interpreter can stop
# in a temporary file's deallocator ("cleared the current exception") after earlier attempts:
# the message paths are swept with single failures.
CASES = [(scenario, mode) for scenario in SCENARIOS for mode in ("single", "persistent")
         if mode == "single" or (DEBUG and "message" not in scenario)]


@pytest.mark.parametrize("scenario, mode", CASES)
def test_allocation_failure_along_a_path(run_python, scenario, mode):
    argv = [str(SWEEP), scenario, "0", "20000", "1" if DEBUG else "5"] + (["persistent"] if mode == "persistent" else [])
    result = run_python(f"import runpy, sys; sys.argv = {argv!r}; runpy.run_path(sys.argv[0], run_name='__main__')",
                        timeout=600)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.startswith("swept "), result.stdout
