"""Allocation failure injected at every allocation along the representative paths (run by
allocation_sweep.py in a child process, since the faults it hunts crash or abort). No path may
crash, abort or leave an error indicator set; the failure surfaces as MemoryError, and the
objects involved work afterwards."""

from pathlib import Path

import pytest

SWEEP = Path(__file__).with_name("allocation_sweep.py")

# scenario, allocations to sweep (first, last, step)
CASES = [
    ("coroutine close", (0, 300, 1)),
    ("coroutine throw", (0, 300, 1)),
    ("coroutine send", (0, 300, 1)),
    ("class surface", (0, 2000, 1)),
]


@pytest.mark.parametrize("mode", ["single", "persistent"])
@pytest.mark.parametrize("scenario, allocations", CASES, ids=[case[0] for case in CASES])
def test_allocation_failure_at_every_step(run_python, scenario, allocations, mode):
    argv = [str(SWEEP), scenario, *map(str, allocations)] + (["persistent"] if mode == "persistent" else [])
    result = run_python(f"import runpy, sys; sys.argv = {argv!r}; runpy.run_path(sys.argv[0], run_name='__main__')",
                        timeout=600)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.startswith("swept "), result.stdout
