"""Fixtures for the bridge's behaviour tests: the fake host installed as the host modules, the
module's log, a private temporary directory that must end up empty, and a fast worker poll."""

import importlib
import sys

import pytest

from .fakes import FastAsyncio, Host, captured_logs, empty_temp_dir


@pytest.fixture
def tb():
    return importlib.import_module("kavori.connectors.telegram_bridge")


@pytest.fixture
def make_host(monkeypatch):
    """Creates a fake host and installs it as `kavori.gateway.server` / `kavori.gateway.ws`;
    whatever those entries of sys.modules held before comes back after the test."""

    def make():
        host = Host()
        monkeypatch.setitem(sys.modules, "kavori.gateway.server", host.server)
        monkeypatch.setitem(sys.modules, "kavori.gateway.ws", host.ws_module)
        return host

    return make


@pytest.fixture
def host(make_host):
    return make_host()


@pytest.fixture
def bridge(tb, host):
    return tb.TelegramBridge()


@pytest.fixture
def logs():
    with captured_logs() as capture:
        yield capture


@pytest.fixture(autouse=True)
def temp_dir(monkeypatch):
    with empty_temp_dir(monkeypatch, "bridge-test-") as folder:
        yield folder


@pytest.fixture
def fast_poll(tb, monkeypatch):
    """The worker's queue wait times out after 10 ms instead of 2 s; `.timeouts` records the
    timeouts the worker asked for."""
    proxy = FastAsyncio(0.01)
    monkeypatch.setattr(tb, "asyncio", proxy)
    return proxy
