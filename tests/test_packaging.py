"""What a user who builds the project, or a host author who copies its example, gets."""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

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
    assert result.stderr == ""


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
