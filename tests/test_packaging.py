"""What a user who builds the project, or a host author who copies its example, gets."""

from __future__ import annotations

import contextlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import tomllib
import urllib.request
from pathlib import Path

import pytest
from conftest import without_slow_step_notices

REPO_ROOT = Path(__file__).resolve().parent.parent


def _tool_environment() -> dict[str, str]:
    """For tools that are not the interpreter under test: without the sanitizer runtime that
    the ASan run preloads."""
    return {k: v for k, v in os.environ.items()
            if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}


def _configure(build: str, *options: str) -> list[str]:
    """Compile commands of the module's sources for a fresh configuration."""
    subprocess.run(["cmake", "-S", str(REPO_ROOT), "-B", build, "-G", "Ninja", "--log-level=ERROR",
                    f"-DPython_EXECUTABLE={sys.executable}", "-DKAVORI_BUILD_TESTS=OFF",
                    *options], check=True, capture_output=True, text=True, timeout=120,
                   env=_tool_environment())
    with open(f"{build}/compile_commands.json", encoding="utf-8") as file:
        return [entry["command"] for entry in json.load(file)]


@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs CMake")
@pytest.mark.parametrize(("options", "werror"), [((), False), (("-DKAVORI_WERROR=ON",), True)],
                         ids=["user build", "project build"])
def test_warnings_are_errors_only_when_asked(tmp_path, options, werror):
    commands = _configure(str(tmp_path / "build"), *options)
    assert commands
    for command in commands:
        assert ("-Werror" in command.split() or "/WX" in command.split()) == werror, command


def test_requires_python_is_what_cmake_accepts():
    project = tomllib.loads((REPO_ROOT / "pyproject.toml").read_text(encoding="utf-8"))
    cmake = (REPO_ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    found = re.search(r"find_package\(Python (\d+)\.(\d+) EXACT", cmake)
    assert found, "CMakeLists.txt no longer pins one Python version"
    major, minor = found.groups()
    assert project["project"]["requires-python"] == f">={major}.{minor},<{major}.{int(minor) + 1}"


def _readme_host() -> str:
    readme = (REPO_ROOT / "README.md").read_text(encoding="utf-8")
    section = readme.split("### A minimal host", 1)[1]
    return section.split("```python\n", 1)[1].split("```", 1)[0]


@pytest.mark.parametrize("source", ["examples/minimal_host.py", "README.md"])
def test_example_host_answers_every_line_then_stops(build_dir, tmp_path, source):
    """Both hosts a host author may copy: the example file and the one in the README's guide."""
    if source == "README.md":
        host = tmp_path / "host.py"
        host.write_text(_readme_host(), encoding="utf-8")
    else:
        host = REPO_ROOT / source
    result = subprocess.run(
        [sys.executable, "-X", "dev", "-W", "error", str(host)],
        input="hello\nsecond message\n", env={**os.environ, "PYTHONPATH": str(build_dir)},
        capture_output=True, text=True, timeout=60, cwd=host.parent)
    assert result.returncode == 0, result.stdout + result.stderr
    replies = re.findall(r"bot> (.*)$", result.stdout, re.M)
    assert replies == ["You said: hello", "You said: second message"]
    if source != "README.md":
        assert result.stdout.rstrip().endswith("Telegram bridge stopped")
    assert without_slow_step_notices(result.stderr) == ""


@pytest.mark.skipif(shutil.which("python3.14") is None, reason="needs the release interpreter")
def test_example_host_satisfies_the_contract_under_mypy_strict(build_dir):
    # The release interpreter runs mypy: Debian's mypy is compiled for the release ABI only.
    # One cache per build: gates may run this test at the same time.
    cache = REPO_ROOT / "build" / f"mypy-cache-{build_dir.name}"
    result = subprocess.run(
        ["python3.14", "-m", "mypy", "--strict", "--cache-dir", str(cache),
         str(REPO_ROOT / "examples")], env={**_tool_environment(), "MYPYPATH": str(build_dir)},
        capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


def test_asgi_example_suite_passes_with_pytest_asyncio(build_dir):
    """The ASGI example's own tests, run as its author would: starlette's TestClient twice in one
    process, and pytest-asyncio's loop per test (which this suite keeps off)."""
    result = subprocess.run(
        [sys.executable, "-X", "dev", "-m", "pytest", "-p", "no:cacheprovider", "-q",
         "test_asgi_host.py"], env={**os.environ, "PYTHONPATH": str(build_dir)},
        cwd=REPO_ROOT / "examples", capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert re.search(r"^4 passed", result.stdout, re.M), result.stdout


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def test_asgi_example_under_uvicorn_answers_its_backlog_on_ctrl_c(build_dir):
    """A real server and a real WebSocket client: Ctrl-C while messages are queued answers every
    one of them, and the page still receives their events before uvicorn closes it."""
    from websockets.exceptions import ConnectionClosed
    from websockets.sync.client import connect

    port, count = _free_port(), 6
    server = subprocess.Popen(
        [sys.executable, "-X", "dev", "-W", "error", str(REPO_ROOT / "examples" / "asgi_host.py"),
         "--port", str(port), "--agent-delay", "0.05"],
        env={**os.environ, "PYTHONPATH": str(build_dir)}, stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                assert server.poll() is None and time.monotonic() < deadline, "no server"
                time.sleep(0.05)
        mirrored = []
        with connect(f"ws://127.0.0.1:{port}/ws") as page:
            for n in range(count):
                update = json.dumps({"text": f"m{n}", "chat_id": 7}).encode()
                request = urllib.request.Request(f"http://127.0.0.1:{port}/telegram/webhook",
                                                 data=update, method="POST")
                assert json.load(urllib.request.urlopen(request, timeout=10)) == {"ok": True}
            server.send_signal(signal.SIGINT)
            with contextlib.suppress(ConnectionClosed):
                while True:
                    mirrored.append(json.loads(page.recv(timeout=30))["type"])
        out, err = server.communicate(timeout=60)
    finally:
        if server.returncode is None:
            server.kill()
            server.communicate()
    assert server.returncode == 130, err
    assert re.findall(r"^bot> (.*)$", out, re.M) == [f"You said: m{n}" for n in range(count)]
    assert mirrored.count("done") == count, mirrored
    assert "unanswered" not in err
