"""Instructions per message, bridge against floor, counted by callgrind.

Wall-clock figures on a shared machine wander by several per cent; instruction counts repeat
exactly, so this is the figure the overhead target is checked against. Each side runs a warm-up
of 200 messages, then N more; the warm-up-only run is subtracted so start-up costs cancel out.

    python bench/count_instructions.py [--messages N] [--events E]
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

WORKLOAD = """
import asyncio, logging, sys
sys.path.insert(0, {bench!r})
import bridge_bench as bb
kind, messages, events, level = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
logger = logging.getLogger("kavori.connectors.telegram_bridge")
logger.propagate = False
logger.handlers[:] = [logging.NullHandler()]
logger.setLevel(getattr(logging, level))
connector = bb.install_host(bb.make_events(events))
run = bb.run_bridge if kind == "bridge" else bb.run_floor
with asyncio.Runner() as runner:
    runner.run(run(200, connector))
    if messages:
        runner.run(run(messages, connector))
"""


def instructions(kind: str, messages: int, events: int, level: str) -> int:
    env = dict(os.environ, PYTHONHASHSEED="0")
    result = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, "-c",
         WORKLOAD.format(bench=str(HERE)), kind, str(messages), str(events), level],
        capture_output=True, text=True, env=env, check=True)
    return int(re.search(r"Collected : (\d+)", result.stderr).group(1))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--messages", type=int, default=2000)
    parser.add_argument("--events", type=int, default=6)
    args = parser.parse_args()
    print(f"{'logging':8} {'bridge instr/msg':>17} {'floor instr/msg':>16} {'bridge/floor':>13}")
    for level in ("WARNING", "INFO"):
        per = {}
        for kind in ("bridge", "floor"):
            total = instructions(kind, args.messages, args.events, level)
            base = instructions(kind, 0, args.events, level)
            per[kind] = (total - base) / args.messages
        print(f"{level:8} {per['bridge']:17.0f} {per['floor']:16.0f} "
              f"{per['bridge'] / per['floor']:13.3f}")


if __name__ == "__main__":
    main()
