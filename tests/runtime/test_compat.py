"""The private details of CPython the runtime uses (pyrt/compat.hpp): on every 3.14 release their
private paths are taken, each while the guarantee that covers it holds; forced onto the public
paths (PYRT_COMPAT=public), everything behaves the same, bar the hint only a private path can give;
PYRT_COMPAT=report tells which way each entry went."""

import json
import subprocess
import sys

import pytest

from conftest import child_environment

SCRIPT = r"""
import asyncio, gc, json, sys, types, warnings
import _pyrt_testmod as m

async def native():
    return "native"

seen = {}
# A native coroutine awaited by one of ours: is it awaited by someone else already (cr_await)?
seen["awaited"] = asyncio.run(m.await_value(native()))
# Where a coroutine was made, while origin tracking is on.
sys.set_coroutine_origin_tracking_depth(1)
coroutine = m.await_value(None)
seen["origin"] = [frame[2] for frame in coroutine.cr_origin]
coroutine.close()
# The warning for a coroutine never awaited, with where it was made.
def make():
    m.await_value(None)
sys.set_coroutine_origin_tracking_depth(3)
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    make()
    gc.collect()
sys.set_coroutine_origin_tracking_depth(0)
seen["unawaited"] = [(w.category.__name__, str(w.message)) for w in caught]
# An unknown keyword.
try:
    m.add(left=1, rigth=2)
except TypeError as error:
    seen["keyword"] = str(error)
# asyncio's coroutine-function marker.
seen["marked"] = getattr(m.await_value, "_is_coroutine", None) is asyncio.coroutines._is_coroutine
seen["releases"] = [m.compat_covers(release) for release in (0x030E00F0, 0x030E0AF0, 0x030E14F0, 0x030F00A1)]
paths = m.compat_paths()
print(json.dumps({"seen": seen, "paths": paths}))
"""
EXERCISED = ["origin_tracking_depth", "unawaited_warning", "keyword_suggestion",
             "coroutine_marker"]
HINT = ". Did you mean 'right'?"
ORIGIN = "Coroutine created at (most recent call last)"


def run(setting: str | None) -> subprocess.CompletedProcess[str]:
    env = child_environment()
    env.pop("PYRT_COMPAT", None)
    if setting is not None:
        env["PYRT_COMPAT"] = setting
    return subprocess.run([sys.executable, "-X", "dev", "-W", "error", "-c", SCRIPT], env=env,
                          capture_output=True, text=True, timeout=120, check=True)


def test_private_paths_are_taken_on_every_3_14_release_and_the_public_ones_behave_the_same():
    fast, public = (json.loads(run(setting).stdout) for setting in (None, "public"))
    assert [public["paths"][entry] for entry in EXERCISED] == ["public"] * len(EXERCISED)
    assert [fast["paths"][entry] for entry in EXERCISED] == ["private"] * len(EXERCISED)
    # Every 3.14 release is covered, whichever was verified; no other series.
    assert fast["seen"].pop("releases") == public["seen"].pop("releases") == [True, True, True, False]
    # The same behaviour, but for the hint that only the interpreter's engine can give and the
    # marker only asyncio's internals hold.
    assert fast["seen"].pop("keyword") == public["seen"].pop("keyword") + HINT
    assert (fast["seen"].pop("marked"), public["seen"].pop("marked")) == (True, False)
    assert fast["seen"] == public["seen"]
    (category, message), = fast["seen"]["unawaited"]
    lines = message.splitlines()
    assert (category, lines[0], lines[1]) == ("RuntimeWarning", "coroutine 'await_value' was never awaited", ORIGIN)
    assert [line.split(", in ")[-1] for line in lines[2:]] == ["<module>", "make"]
    assert fast["seen"]["origin"] == ["<module>"] and fast["seen"]["awaited"] == "native"


@pytest.mark.parametrize("setting", ["report", "public,report"])
def test_the_way_each_entry_went_is_reported_on_request(setting):
    done = run(setting)
    paths = json.loads(done.stdout)["paths"]
    reported = dict(line.removeprefix("pyrt.compat: ").split(": ", 1) for line in done.stderr.splitlines())
    assert {entry: way.split(" ")[0] for entry, way in reported.items()} == {
        entry: path for entry, path in paths.items() if path != "unused"}
    assert set(EXERCISED) <= set(reported)
    if setting.startswith("public"):
        assert set(reported.values()) == {"public (forced by PYRT_COMPAT)"}
    assert run(None).stderr == ""
