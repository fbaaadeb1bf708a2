"""The private details of CPython the runtime uses (pyrt/compat.hpp): on an interpreter they were
verified on, their private paths are taken; forced onto the public paths (PYRT_COMPAT=public),
everything behaves the same, bar the two things only a private path can give."""

import json
import os
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
sys.set_coroutine_origin_tracking_depth(0)
# The warning for a coroutine never awaited.
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    m.await_value(None)
    gc.collect()
seen["unawaited"] = [str(w.message).splitlines()[0] for w in caught]
# An unknown keyword.
try:
    m.add(left=1, rigth=2)
except TypeError as error:
    seen["keyword"] = str(error)
paths, verified = m.compat_paths()
print(json.dumps({"seen": seen, "paths": paths, "verified": verified}))
"""
EXERCISED = ["cr_await_getter", "origin_tracking_depth", "unawaited_warning", "keyword_suggestion"]
HINT = ". Did you mean 'right'?"


def run(forced: bool) -> dict:
    env = child_environment()
    env.pop("PYRT_COMPAT", None)
    if forced:
        env["PYRT_COMPAT"] = "public"
    done = subprocess.run([sys.executable, "-X", "dev", "-W", "error", "-c", SCRIPT], env=env,
                          capture_output=True, text=True, timeout=120, check=True)
    return json.loads(done.stdout)


def test_private_paths_are_taken_where_verified_and_the_public_ones_work():
    fast, public = run(forced=False), run(forced=True)
    assert [public["paths"][entry] for entry in EXERCISED] == ["public"] * len(EXERCISED)
    assert public["verified"] is False
    expected_fast = "private" if fast["verified"] else "public"
    assert [fast["paths"][entry] for entry in EXERCISED] == [expected_fast] * len(EXERCISED)
    if fast["verified"]:
        assert sys.hexversion == 0x030E0AF0  # the one release verified
    # The same behaviour, but for the hint that only the interpreter's engine can give.
    assert fast["seen"]["keyword"] == public["seen"]["keyword"] + (HINT if fast["verified"] else "")
    fast["seen"].pop("keyword"), public["seen"].pop("keyword")
    assert fast["seen"] == public["seen"] == {
        "awaited": "native", "origin": ["<module>"],
        "unawaited": ["coroutine 'await_value' was never awaited"]}
