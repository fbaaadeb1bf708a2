"""What a user who builds the project, or a host author who copies its example, gets."""

from __future__ import annotations

import json
import re
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parent.parent


def _configure(build: str, *options: str) -> list[str]:
    """Compile commands of the module's sources for a fresh configuration."""
    subprocess.run(["cmake", "-S", str(REPO_ROOT), "-B", build, "-G", "Ninja", "--log-level=ERROR",
                    f"-DPython_EXECUTABLE={sys.executable}", "-DKAVORI_BUILD_TESTS=OFF",
                    *options], check=True, capture_output=True, text=True, timeout=120)
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
