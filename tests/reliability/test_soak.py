"""A short soak in every build: a started bridge handles 1,200 messages with screenshots, agent
failures and failing sends; every message gets exactly the outcome the rules give, no file is
left, the worker survives, and on a debug interpreter nothing grows after the warm-up.
scripts/soak runs the same with 100,000 messages."""

import sys

from .soak import leak_tolerance, soak

MESSAGES, WARMUP = 1200, 400


def test_short_soak(run, tb):
    report = run(soak(MESSAGES, warmup=WARMUP))
    print("\n".join(report.lines()))
    assert report.mismatches == [] and report.mismatch_count == 0
    assert report.unfinished == 0 and report.worker_alive
    assert report.log_problems == []
    assert report.left_at_end == [] and report.dirty_checks == 0
    if hasattr(sys, "gettotalrefcount"):
        assert len(report.samples) >= 6
        refs, blocks = report.growth
        assert refs <= leak_tolerance(MESSAGES - WARMUP), report.samples
        assert blocks <= leak_tolerance(MESSAGES - WARMUP), report.samples
