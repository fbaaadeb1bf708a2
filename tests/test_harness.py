"""The build that the suite runs against, and the harness's own fixtures."""

import asyncio
import importlib
import importlib.machinery
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

MODULE_NAME = "kavori.connectors.telegram_bridge"


def test_module_loads_by_full_name_from_the_build_for_this_interpreter(build_dir):
    module = importlib.import_module(MODULE_NAME)
    path = Path(module.__file__)
    assert module.__name__ == MODULE_NAME
    assert path.parent == build_dir / "kavori" / "connectors"
    # The first suffix is the interpreter's own ABI tag: a debug interpreter must get a module
    # built against its headers (cpython-314d), not a release build it happens to accept.
    assert path.name == "telegram_bridge" + importlib.machinery.EXTENSION_SUFFIXES[0]
    for package in ("kavori", "kavori.connectors"):
        assert importlib.import_module(package).__spec__.origin is None, f"{package} has a file"


def test_extensions_count_references_exactly_when_the_interpreter_does():
    import _harness_testmod

    # Without this a debug-interpreter build loads fine but its leaks are invisible.
    assert _harness_testmod.counts_references() == hasattr(sys, "gettotalrefcount")


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm from binutils")
def test_module_exports_only_its_init_function():
    path = importlib.import_module(MODULE_NAME).__file__
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True
    ).stdout
    # Sanitizer builds add their own runtime hooks (double-underscore names).
    exported = {
        fields[2]
        for fields in (line.split() for line in listing.splitlines())
        if len(fields) == 3 and fields[1] in "TDBRVW" and not fields[2].startswith("__")
    }
    assert exported == {"PyInit_telegram_bridge"}


def test_run_python_imports_the_module_in_a_fresh_interpreter(run_python):
    child = run_python(f"import {MODULE_NAME} as m; print(m.__name__)")
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == MODULE_NAME


class _BareAwaitable:
    """Awaitable that is not a coroutine, like a compiled coroutine object."""

    def __await__(self):
        return (yield from asyncio.sleep(0, result="bare").__await__())


def test_run_uses_a_fresh_default_loop_and_accepts_any_awaitable(run):
    loops = []

    async def body():
        loops.append(asyncio.get_running_loop())
        await asyncio.sleep(0)
        return len(loops)

    assert run(body()) == 1
    assert run(body) == 2
    assert run(_BareAwaitable()) == "bare"
    assert loops[0] is not loops[1]
    assert all(type(loop) is asyncio.EventLoop and loop.is_closed() for loop in loops)
    with pytest.raises(TypeError, match="awaitable"):
        run(42)


def test_run_any_runs_on_the_named_loop(run_any, request):
    async def loop_module():
        return type(asyncio.get_running_loop()).__module__

    module = run_any(loop_module)
    if request.node.callspec.params["run_any"] == "uvloop":
        assert module.startswith("uvloop")
    else:
        assert module.startswith("asyncio")


LEAK_CHECK_SUITE = """
import asyncio
import ctypes
import logging

import pytest

_shared = object()


@pytest.mark.leakcheck
def test_leaks_one_reference_per_call():
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(_shared))


@pytest.mark.leakcheck
def test_clean_work_with_output_and_logs(run_any):
    async def body():
        queue = asyncio.Queue()
        consumer = asyncio.create_task(queue.get())
        await queue.put(("text", {"chat_id": 1}))
        print("captured output")
        logging.getLogger("kavori.test").warning("captured log line")
        return await asyncio.wait_for(consumer, 5)

    assert run_any(body) == ("text", {"chat_id": 1})


@pytest.mark.leakcheck
def test_plain_failure():
    assert 1 + 1 == 3
"""


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")
def test_leak_check_flags_a_one_reference_leak_and_nothing_else(pytester):
    pytester.makeconftest(Path(__file__).with_name("conftest.py").read_text())
    pytester.makeini(
        "[pytest]\n"
        "addopts = -p no:asyncio -p no:cacheprovider\n"
        "filterwarnings = error\n"
        "markers = leakcheck: repeated under --leak-check\n"
    )
    pytester.makepyfile(test_planted=LEAK_CHECK_SUITE)
    result = pytester.runpytest_subprocess("--leak-check")
    result.assert_outcomes(passed=2, failed=2)
    result.stdout.fnmatch_lines(
        ["*_ test_leaks_one_reference_per_call _*", "leak check failed: reference count grew*"],
        consecutive=True,
    )
    result.stdout.fnmatch_lines(
        [
            "FAILED test_planted.py::test_leaks_one_reference_per_call*",
            "FAILED test_planted.py::test_plain_failure*",
        ]
    )
