"""Fixtures of the runtime tests."""

from __future__ import annotations

import sys
from collections.abc import Iterator
from typing import Any

import pytest

from .twins import IMPLEMENTATIONS, UnraisableRecorder


@pytest.fixture(params=sorted(IMPLEMENTATIONS), ids=str)
def impl(request: pytest.FixtureRequest) -> Any:
    """The test module, or its pure-Python twin: for checks that need no comparison."""
    return IMPLEMENTATIONS[request.param]


@pytest.fixture
def unraisables() -> Iterator[UnraisableRecorder]:
    """Records what sys.unraisablehook receives during the test instead of reporting it."""
    recorder = UnraisableRecorder()
    saved = sys.unraisablehook
    sys.unraisablehook = recorder
    try:
        yield recorder
    finally:
        sys.unraisablehook = saved
        recorder.seen.clear()
