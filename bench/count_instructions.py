"""Instructions and interpreter entries per message, module against twin and floor, by callgrind.

Wall-clock figures on a shared machine wander by several per cent; instruction counts repeat
exactly, so this is the figure the overhead target is checked against. Each peer (see
bridge_bench.py) runs in its own process: a warm-up of 200 messages, then N more; the
warm-up-only run is subtracted so start-up costs cancel out.

The public peer is the module with every private detail on its public path (PYRT_COMPAT=public);
the module peer runs with the PYRT_COMPAT given, so that one entry's weight shows with
PYRT_COMPAT=public:ENTRY (pyrt/compat.hpp).

Interpreter entries are the calls of the evaluation loop's function (_PyEval_EvalFrameDefault)
that callgrind records: one each time C code starts running Python code (a call from C, a send()
into a coroutine from C, a task step), none when bytecode calls or awaits Python code inline.

    python bench/count_instructions.py [--messages N] [--events E]
"""

from __future__ import annotations

import argparse
import os
import py_compile
import re
import subprocess
import sys
import tempfile
from collections import Counter
from pathlib import Path

HERE = Path(__file__).resolve().parent
PEERS = ("module", "public", "twin", "floor")
EVAL_LOOP = "_PyEval_EvalFrameDefault"

WORKLOAD = """
import asyncio, logging, sys
sys.path.insert(0, {bench!r})
import bridge_bench as bb
peer, messages, events, level = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
bb.quiet_logger(getattr(logging, level))
if peer != "floor":
    bb.load(peer)
connector = bb.install_host(bb.make_events(events))
run = bb.run_floor if peer == "floor" else bb.run_bridge
with asyncio.Runner() as runner:
    runner.run(run(200, connector))
    if messages:
        runner.run(run(messages, connector))
"""


class Profile:
    """What one callgrind output file says: instructions by (object, function), self cost only,
    and the calls of the evaluation loop."""

    def __init__(self, path: str) -> None:
        self.self_cost: Counter[tuple[str, str]] = Counter()
        self.entries = 0
        self.entries_by_caller: Counter[str] = Counter()
        self.events: Counter[str] = Counter()  # every event callgrind counted, self cost summed
        self.events_by_function: dict[str, Counter[str]] = {}
        event_names: list[str] = ["Ir"]
        names: dict[str, dict[str, str]] = {"ob": {}, "fn": {}}
        current = {"ob": "", "fn": ""}
        callee = ""
        in_call = False
        with open(path) as lines:
            for line in lines:
                head = line[:1]
                if head.isdigit() or head in "+-*":
                    if in_call:  # the inclusive cost of the call just named
                        in_call = False
                    else:
                        fields = line.split()
                        if len(fields) > 1:
                            self.self_cost[(current["ob"], current["fn"])] += int(fields[1])
                            where = f"{short(current['fn'])} ({Path(current['ob']).name.split('.')[0]})"
                            for name, count in zip(event_names, fields[1:]):
                                self.events[name] += int(count)
                                if name != "Ir":
                                    self.events_by_function.setdefault(name, Counter())[where] += (
                                        int(count))
                    continue
                if line.startswith("events:"):
                    event_names = line.split()[1:]
                    continue
                key, _, value = line.rstrip("\n").partition("=")
                if key in ("ob", "fn", "cob", "cfn"):
                    kind = key.lstrip("c")
                    match = re.match(r"\((\d+)\)(?: (.*))?$", value)
                    if match:
                        if match.group(2):
                            names[kind][match.group(1)] = match.group(2)
                        value = names[kind].get(match.group(1), "")
                    if key == "cfn":
                        callee = value
                    elif not key.startswith("c"):
                        current[kind] = value
                elif key == "calls":
                    in_call = True
                    # a call nested in another call of the same function carries a depth suffix
                    if callee.split("'")[0] == EVAL_LOOP:
                        self.entries += int(value.split()[0])
                        self.entries_by_caller[short(current["fn"])] += int(value.split()[0])

    def instructions(self) -> int:
        return sum(self.self_cost.values())

    def by_function(self) -> Counter[str]:
        merged: Counter[str] = Counter()
        for (obj, function), cost in self.self_cost.items():
            merged[f"{short(function)} ({Path(obj).name.split('.')[0]})"] += cost
        return merged


def short(function: str) -> str:
    """A function's name without recursion depth, parameters, clone suffixes and namespaces."""
    name = function.split("'")[0].split("(")[0] if "::(" not in function else function
    name = name.replace("(anonymous namespace)::", "").split("(")[0]
    return name.split(" [clone")[0].split(".constprop")[0].split(".lto_priv")[0].split(".isra")[0]


def profile(peer: str, messages: int, events: int, level: str, simulate: bool = False) -> Profile:
    env = dict(os.environ, PYTHONHASHSEED="0",
               PYRT_COMPAT="public" if peer == "public" else os.environ.get("PYRT_COMPAT", ""))
    simulation = ["--cache-sim=yes", "--branch-sim=yes"] if simulate else []
    with tempfile.TemporaryDirectory() as directory:
        out = os.path.join(directory, "callgrind.out")
        subprocess.run(
            ["valgrind", "--tool=callgrind", *simulation, f"--callgrind-out-file={out}",
             sys.executable, "-c",
             WORKLOAD.format(bench=str(HERE)), peer, str(messages), str(events), level],
            capture_output=True, text=True, env=env, check=True)
        return Profile(out)


def simulated(messages: int, events: int, peers: tuple[str, ...]) -> None:
    """What instruction counts leave out: the simulated cache misses and branch mispredictions."""
    print(f"{messages} messages x {events} events at WARNING, per message (callgrind simulation)")
    columns = ["Ir", "I1mr", "D1mr", "D1mw", "ILmr", "DLmr", "DLmw", "Bc", "Bcm", "Bi", "Bim"]
    print("| peer | " + " | ".join(columns) + " |")
    print("|---|" + "---:|" * len(columns))
    by_function = {}
    for peer in peers:
        run, base = (profile(peer, count, events, "WARNING", simulate=True)
                     for count in (messages, 0))
        total = run.events
        total.subtract(base.events)
        print(f"| {peer} | " + " | ".join(f"{total[name] / messages:,.1f}" for name in columns)
              + " |", flush=True)
        by_function[peer] = {}
        for name in ("I1mr", "D1mr", "Bcm", "Bim"):
            counts = Counter(run.events_by_function.get(name, {}))
            counts.subtract(base.events_by_function.get(name, {}))
            by_function[peer][name] = counts
    if "module" not in by_function or "twin" not in by_function:
        return
    for name in ("I1mr", "D1mr", "Bcm", "Bim"):
        difference = Counter(by_function["module"][name])
        difference.subtract(by_function["twin"][name])
        ranked = sorted(difference.items(), key=lambda item: -abs(item[1]))[:8]
        print(f"{name}, module minus twin per message, by function: " + ", ".join(
            f"{function} {count / messages:+,.0f}" for function, count in ranked))


def main() -> None:
    # Bytecode first: a stale cache would be rebuilt inside whichever profiled run came first,
    # and the subtraction would not remove it.
    for source in HERE.glob("*.py"):
        py_compile.compile(str(source), doraise=True)
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--messages", type=int, default=2000)
    parser.add_argument("--events", type=int, default=6)
    parser.add_argument("--breakdown", type=int, default=15, metavar="N",
                        help="list the N functions that differ most, module against twin; 0 skips")
    parser.add_argument("--peers", default=",".join(PEERS),
                        help="comma-separated peers to count (default: all); the ratio needs "
                             "module and twin")
    parser.add_argument("--simulate", action="store_true",
                        help="only: cache misses and branch mispredictions per message at WARNING, "
                             "module against twin (callgrind's simulation, several times slower)")
    args = parser.parse_args()
    peers = tuple(peer for peer in PEERS if peer in args.peers.split(","))
    if args.simulate:
        simulated(args.messages, args.events, peers)
        return
    print(f"{args.messages} messages x {args.events} events after a 200-message warm-up, "
          "start-up subtracted")
    both = "module" in peers and "twin" in peers
    print("| logging | " + " | ".join(f"{peer} instr/msg" for peer in peers)
          + (" | module/twin" if both else "")
          + "".join(f" | {peer} entries/msg" for peer in peers) + " |")
    print("|---|" + "---:|" * (2 * len(peers) + both))
    differences, callers = {}, {}
    for level in ("WARNING", "INFO"):
        instructions, entries, functions, total_callers = {}, {}, {}, {}
        for peer in peers:
            total = profile(peer, args.messages, args.events, level)
            base = profile(peer, 0, args.events, level)
            instructions[peer] = (total.instructions() - base.instructions()) / args.messages
            entries[peer] = (total.entries - base.entries) / args.messages
            functions[peer] = total.by_function()
            functions[peer].subtract(base.by_function())
            total_callers[peer] = total.entries_by_caller
            total_callers[peer].subtract(base.entries_by_caller)
        ratio = f" | {instructions['module'] / instructions['twin']:.3f}" if both else ""
        print(f"| {level} | " + " | ".join(f"{instructions[peer]:,.0f}" for peer in peers)
              + ratio + " | " + " | ".join(f"{entries[peer]:.2f}" for peer in peers) + " |",
              flush=True)
        if not both:
            continue
        difference = Counter(functions["module"])
        difference.subtract(functions["twin"])
        differences[level] = difference
        caller = Counter(total_callers["module"])
        caller.subtract(total_callers["twin"])
        callers[level] = caller
    if not args.breakdown or not differences:
        return
    for level, difference in differences.items():
        print(f"\n{level}: instructions per message, module minus twin, by function (object)")
        print("| function | module - twin instr/msg |")
        print("|---|---:|")
        ranked = sorted(difference.items(), key=lambda item: -abs(item[1]))
        for name, cost in ranked[:args.breakdown]:
            print(f"| {name} | {cost / args.messages:+,.0f} |")
        rest = sum(cost for _, cost in ranked[args.breakdown:])
        print(f"| (all other functions) | {rest / args.messages:+,.0f} |")
        print(f"| total | {sum(difference.values()) / args.messages:+,.0f} |")
        objects: Counter[str] = Counter()
        for name, cost in difference.items():
            objects[name.rsplit(" (", 1)[-1].rstrip(")")] += cost
        print(f"{level}: module minus twin by object: " + ", ".join(
            f"{name} {cost / args.messages:+,.0f}" for name, cost in objects.most_common() if cost))
        entered = ", ".join(f"{name} {count / args.messages:+.2f}"
                            for name, count in callers[level].most_common() if count)
        print(f"{level}: interpreter entries per message, module minus twin, by caller: {entered}")


if __name__ == "__main__":
    main()
