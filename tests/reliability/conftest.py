"""Fixtures of the reliability tests: the module, its log, a private temporary directory that
must end up empty, and the fake host of tests/bridge with a fault that can be planted on any one
of its calls."""

import importlib
import sys

import pytest

from bridge.fakes import captured_logs, empty_temp_dir

from .faulty_host import FaultyHost

LOGGER_NAME = "kavori.connectors.telegram_bridge"


@pytest.fixture
def tb():
    return importlib.import_module("kavori.connectors.telegram_bridge")


@pytest.fixture
def host(tb, monkeypatch):
    host = FaultyHost(monkeypatch, tb)
    monkeypatch.setitem(sys.modules, "kavori.gateway.server", host.server)
    monkeypatch.setitem(sys.modules, "kavori.gateway.ws", host.ws_module)
    return host


@pytest.fixture
def logs():
    with captured_logs(LOGGER_NAME) as capture:
        yield capture


@pytest.fixture(autouse=True)
def temp_dir(monkeypatch):
    """A new empty temporary directory for the module's screenshot files; it must be empty again
    at the end (a test that expects a file to be left removes it itself)."""
    with empty_temp_dir(monkeypatch, "bridge-reliability-") as folder:
        yield folder
