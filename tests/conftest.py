"""Shared test harness: import paths for the built modules, the event-loop runners and the
reference-leak check.

The compiled modules come from a CMake build directory named by $KAVORI_BUILD_DIR
(scripts/test sets it for each build flavour). Without it, build/debug is used under a debug
interpreter and build/release otherwise.
"""

from __future__ import annotations

import abc
import asyncio
import gc
import inspect
import linecache
import os
import re
import subprocess
import sys
import typing
from collections.abc import Awaitable, Callable
from pathlib import Path
from typing import Any

import pytest

REPO_ROOT = Path(__file__).resolve().parent.parent


def _build_dir() -> Path:
    configured = os.environ.get("KAVORI_BUILD_DIR")
    if configured:
        return Path(configured).resolve()
    flavour = "debug" if hasattr(sys, "gettotalrefcount") else "release"
    return REPO_ROOT / "build" / flavour


BUILD_DIR = _build_dir()
# Whether this run forces every private detail onto its public path (pyrt/compat.hpp).
PUBLIC_PATHS = "public" in os.environ.get("PYRT_COMPAT", "").split(",")
TEST_MODULES_DIR = BUILD_DIR / "tests_ext"

# Prepended at import time (before collection) so that test modules can import the compiled
# modules at their top level.
for _path in (TEST_MODULES_DIR, BUILD_DIR):
    if str(_path) not in sys.path:
        sys.path.insert(0, str(_path))


@pytest.fixture(scope="session")
def build_dir() -> Path:
    return BUILD_DIR


# --- event loops ---------------------------------------------------------------------------------
# Every coroutine runs on a fresh loop made by asyncio.Runner with an explicit loop factory; the
# event-loop policy API is deprecated in 3.14 and must not be touched.

type Runnable = Awaitable[Any] | Callable[[], Awaitable[Any]]


def _uvloop_factory() -> asyncio.AbstractEventLoop:
    import uvloop

    return uvloop.new_event_loop()


LOOP_FACTORIES: dict[str, Callable[[], asyncio.AbstractEventLoop]] = {
    "asyncio": asyncio.EventLoop,
    "uvloop": _uvloop_factory,
}


async def _await(awaitable: Awaitable[Any]) -> Any:
    return await awaitable


def make_runner(loop_factory: Callable[[], asyncio.AbstractEventLoop]) -> Callable[[Runnable], Any]:
    def run(target: Runnable) -> Any:
        awaitable = target() if callable(target) else target
        if not inspect.isawaitable(awaitable):
            raise TypeError(f"run() needs an awaitable or a function returning one, got {target!r}")
        # Runner.run() only takes coroutines; other awaitables (futures, compiled coroutine
        # objects that are not registered as coroutines) go through a wrapper.
        coroutine = awaitable if asyncio.iscoroutine(awaitable) else _await(awaitable)
        with asyncio.Runner(loop_factory=loop_factory) as runner:
            return runner.run(coroutine)

    return run


@pytest.fixture
def run() -> Callable[[Runnable], Any]:
    """Runs a coroutine (or a zero-argument coroutine function) on a fresh asyncio loop and
    returns its result."""
    return make_runner(LOOP_FACTORIES["asyncio"])


@pytest.fixture(params=sorted(LOOP_FACTORIES), ids=str)
def run_any(request: pytest.FixtureRequest) -> Callable[[Runnable], Any]:
    """Like `run`, once on asyncio's own loop and once on uvloop."""
    if request.param == "uvloop":
        pytest.importorskip("uvloop")
    return make_runner(LOOP_FACTORIES[request.param])


# --- the Python twin ------------------------------------------------------------------------------
# bench/telegram_bridge_twin.py, the bridge as plain `async def` code: the benchmark's peer, and
# what tests compare the compiled bridge with. Loaded under a name of its own, never as the module.


def bridge_twin() -> Any:
    import importlib.util

    name = "telegram_bridge_twin"
    if name not in sys.modules:
        spec = importlib.util.spec_from_file_location(name, REPO_ROOT / "bench" / f"{name}.py")
        assert spec is not None and spec.loader is not None
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module
        spec.loader.exec_module(module)
    return sys.modules[name]


# --- subprocesses --------------------------------------------------------------------------------
# A compiled module can be imported only once per process, so tests that need a fresh import or
# a second interpreter run Python in a child with the same interpreter, flags and import paths.


def child_environment() -> dict[str, str]:
    env = dict(os.environ)
    paths = [str(BUILD_DIR), str(TEST_MODULES_DIR)]
    if env.get("PYTHONPATH"):
        paths.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(paths)
    env["KAVORI_BUILD_DIR"] = str(BUILD_DIR)
    return env


# asyncio's debug mode (-X dev) reports any loop step over 0.1 s: a busy machine's timing, not a
# fault of the code under test (timings are the benchmarks' business).
_SLOW_STEP_NOTICE = re.compile(r"^Executing <.*> took [\d.]+ seconds\n", re.M)


def without_slow_step_notices(stderr: str) -> str:
    return _SLOW_STEP_NOTICE.sub("", stderr)


@pytest.fixture
def run_python() -> Callable[..., subprocess.CompletedProcess[str]]:
    """Runs `code` in a new interpreter (`python -X dev -W error -c code`) and returns the
    completed process with text output, asyncio's slow-step notices left out of stderr."""

    def run_python(code: str, *, timeout: float = 120, check: bool = False):
        done = subprocess.run(
            [sys.executable, "-X", "dev", "-W", "error", "-c", code],
            env=child_environment(),
            capture_output=True,
            text=True,
            timeout=timeout,
            check=check,
        )
        done.stderr = without_slow_step_notices(done.stderr)
        return done

    return run_python


# --- reference-leak check ------------------------------------------------------------------------
# With --leak-check on a debug interpreter, every test marked `leakcheck` runs its whole protocol
# (setup, call, teardown, with fresh function-scoped fixtures) a few times to warm up, then up to
# RUNS measured times. After a run the caches that legitimately grow are cleared and the garbage
# collected; the test fails when sys.gettotalrefcount() or sys.getallocatedblocks() grew after
# *every* measured run (regrtest's rule: a cache that fills once does not trip it, a per-call
# leak of even one reference does). A final run with the real next item is the one reported.


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("kavori")
    group.addoption(
        "--leak-check",
        action="store_true",
        help="repeat tests marked leakcheck and fail those whose reference count keeps growing "
        "(needs a debug interpreter; keep output capture on: print() to a real stream adds a "
        "reference per call in the 3.14 debug interpreter)",
    )
    group.addoption(
        "--leak-check-runs",
        default="4:4",
        metavar="WARMUPS:RUNS",
        help="warm-up and measured repetitions for --leak-check (default 4:4)",
    )


def _leak_check_runs(config: pytest.Config) -> tuple[int, int]:
    text = config.getoption("leak_check_runs")
    try:
        warmups, runs = (int(part) for part in text.split(":"))
    except ValueError:
        raise pytest.UsageError(f"--leak-check-runs wants WARMUPS:RUNS, got {text!r}") from None
    if warmups < 1 or runs < 2:
        raise pytest.UsageError("--leak-check-runs needs at least 1 warm-up and 2 measured runs")
    return warmups, runs


def pytest_configure(config: pytest.Config) -> None:
    if config.getoption("leak_check"):
        _leak_check_runs(config)
        if not hasattr(sys, "gettotalrefcount"):
            raise pytest.UsageError(
                "--leak-check needs a debug interpreter (sys.gettotalrefcount), e.g. python3.14-dbg"
            )


def pytest_report_header(config: pytest.Config) -> list[str]:
    lines = [f"kavori build dir: {BUILD_DIR}"]
    if config.getoption("leak_check"):
        warmups, runs = _leak_check_runs(config)
        lines.append(
            f"leak check: {warmups} warm-up + up to {runs} measured runs per leakcheck test "
            "(uvloop variants run once)"
        )
    return lines


def _clear_caches() -> None:
    re.purge()
    linecache.clearcache()
    inspect._filesbymodname.clear()  # type: ignore[attr-defined]
    inspect.modulesbyfile.clear()
    for clear in getattr(typing, "_cleanups", ()):
        clear()
    for cls in _abc_classes():
        cls._abc_caches_clear()  # type: ignore[attr-defined]
    sys._clear_internal_caches()  # type: ignore[attr-defined]


def _abc_classes() -> list[type]:
    import collections.abc
    import numbers

    roots = [getattr(collections.abc, name) for name in collections.abc.__all__]
    roots += [numbers.Number, numbers.Complex, numbers.Real, numbers.Rational, numbers.Integral]
    found: list[type] = []
    seen: set[int] = set()
    stack = [root for root in roots if isinstance(root, abc.ABCMeta)]
    while stack:
        cls = stack.pop()
        if id(cls) in seen:
            continue
        seen.add(id(cls))
        if isinstance(cls, abc.ABCMeta):
            found.append(cls)
        stack.extend(type.__subclasses__(cls))
    return found


def _snapshot() -> tuple[int, int]:
    _clear_caches()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()  # type: ignore[attr-defined]


_int_pool: dict[int, int] = {}


def _pooled(value: int) -> int:
    return _int_pool.setdefault(value, value)


def _run_once(item: pytest.Item, nextitem: pytest.Node | None) -> list[pytest.TestReport]:
    from _pytest.runner import runtestprotocol

    # Captured output and log sections pile up on the item with every run; only the reported
    # run's belong in its report, and the pile would look like a leak.
    item._report_sections = []
    return runtestprotocol(item, nextitem=nextitem, log=False)  # type: ignore[arg-type]


def _finish_teardown(item: pytest.Item, nextitem: pytest.Item | None,
                     reports: list[pytest.TestReport]) -> list[pytest.TestReport]:
    """A repetition that stopped early tore down only the function's own fixtures; finish the
    teardown towards the real next item, as a normal run would have."""
    from _pytest.runner import CallInfo

    call = CallInfo.from_call(
        lambda: item.session._setupstate.teardown_exact(nextitem), when="teardown"
    )
    if call.excinfo is not None:
        reports.append(item.ihook.pytest_runtest_makereport(item=item, call=call))
    return reports


def _runs_on_uvloop(item: pytest.Item) -> bool:
    callspec = getattr(item, "callspec", None)
    return callspec is not None and callspec.params.get("run_any") == "uvloop"


def _leak_message(ref_deltas: list[int] | None, block_deltas: list[int] | None) -> str:
    problems = []
    if ref_deltas is not None:
        problems.append(f"reference count grew on every run: deltas {ref_deltas}")
    if block_deltas is not None:
        problems.append(f"allocated memory blocks grew on every run: deltas {block_deltas}")
    return "leak check failed: " + "; ".join(problems)


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item: pytest.Item, nextitem: pytest.Item | None) -> bool | None:
    if not item.config.getoption("leak_check") or item.get_closest_marker("leakcheck") is None:
        return None
    # uvloop is built for the release ABI: the objects it frees never leave the debug
    # interpreter's reference total, and its allocated blocks drift from run to run. Its
    # variants run once; the asyncio variant of the same test carries the check.
    if _runs_on_uvloop(item):
        return None
    warmups, runs = _leak_check_runs(item.config)
    ihook = item.ihook
    ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)

    # The measurements themselves must not grow between runs: the delta lists are allocated up
    # front and hold small (immortal) ints or pooled ones.
    ref_deltas = [0] * runs
    block_deltas = [0] * runs
    refs_grew = True
    blocks_grew = True
    refs_before = blocks_before = 0
    reports: list[pytest.TestReport] = []
    stopped_early = False
    # Tearing down towards the item's parent ends the function's own fixtures and keeps the
    # wider-scoped ones, so each repetition gets fresh function-scoped fixtures. Only the last
    # warm-up is measured (the baseline), and measuring stops at the first run after which
    # neither count grew, since the test can no longer fail: a full collection costs far more
    # than a typical test.
    for index in range(warmups + runs):
        reports = _run_once(item, item.parent)
        if not all(report.passed for report in reports):
            reports = _finish_teardown(item, nextitem, reports)
            stopped_early = True
            break
        if index < warmups - 1:
            continue
        refs_after, blocks_after = _snapshot()
        if index >= warmups:
            measured = index - warmups
            ref_deltas[measured] = _pooled(refs_after - refs_before)
            block_deltas[measured] = _pooled(blocks_after - blocks_before)
            refs_grew = refs_grew and ref_deltas[measured] >= 1
            blocks_grew = blocks_grew and block_deltas[measured] >= 1
            if not (refs_grew or blocks_grew):
                break
        refs_before, blocks_before = refs_after, blocks_after

    if not stopped_early:
        reports = _run_once(item, nextitem)
        if refs_grew or blocks_grew:
            message = _leak_message(
                ref_deltas if refs_grew else None, block_deltas if blocks_grew else None
            )
            for report in reports:
                if report.when == "call" and report.passed:
                    report.outcome = "failed"
                    report.longrepr = message
                    break
            else:
                for report in reports:
                    report.sections.append(("leak check", message))

    for report in reports:
        ihook.pytest_runtest_logreport(report=report)
    ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True
