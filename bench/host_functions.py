"""What the module's logger plan costs the host's own code: a host loop that makes and drops Python
functions with the plan made (one message logged) against the module imported alone (the same
objects alive, no plan: no watcher of any kind set), each in a process of its own, in turn, over R
rounds; the median of the rounds' ratios.

    python bench/host_functions.py [--functions N] [--runs R]
"""

from __future__ import annotations

import argparse
import asyncio
import logging
import os
import statistics
import subprocess
import sys
import time


def child(with_plan: bool, functions: int) -> float:
    sys.path.insert(0, os.environ.get("KAVORI_BUILD_DIR", "build/release"))
    import kavori.connectors.telegram_bridge as tb

    logging.getLogger(tb.__name__).setLevel(logging.INFO if with_plan else logging.CRITICAL + 1)
    bridge = tb.TelegramBridge()
    if with_plan:
        asyncio.run(bridge._on_telegram_message("hi", {}))  # the logger plan made
    else:
        asyncio.run(asyncio.sleep(0))
    started = time.process_time()
    for i in range(functions):
        f = lambda: i  # noqa: E731, F841 (made and dropped)
    return time.process_time() - started


def main() -> None:
    if sys.argv[1:2] == ["--child"]:
        print(child(sys.argv[2] == "plan", int(sys.argv[3])))
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--functions", type=int, default=4_000_000)
    parser.add_argument("--runs", type=int, default=9)
    args = parser.parse_args()

    def seconds(kind: str) -> float:
        done = subprocess.run([sys.executable, __file__, "--child", kind, str(args.functions)],
                              capture_output=True, text=True, check=True, env=os.environ)
        return float(done.stdout)

    ratios = [seconds("plan") / seconds("imported") for _ in range(args.runs)]
    print(f"{args.functions:,} functions made and dropped, {args.runs} rounds: with the logger "
          f"plan / the module imported alone, median {statistics.median(ratios):.3f} "
          f"({min(ratios):.3f}–{max(ratios):.3f})")


if __name__ == "__main__":
    main()
