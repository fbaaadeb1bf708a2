"""Where the time of one message goes, module against twin, by a sampling profile (perf).

Instruction counts (count_instructions.py) repeat exactly but weigh every instruction alike; on
this workload the module runs fewer instructions than the twin and still takes longer, because
an instruction that misses a cache costs many. This samples CPU time instead: each peer (see
bridge_bench.py) runs N messages after its warm-up under `perf record -e cpu-clock`, and a
process measuring as many messages as the warm-up is subtracted, so start-up and warm-up cancel
out and N minus that many steady messages remain. Samples are grouped by what
the code does; the groups are scaled so that each peer's total is its time per message measured
without the profiler in the same invocation (the profiler slows both alike).

    python bench/time_profile.py [--messages N] [--events E] [--level WARNING|INFO]
                                 [--loop asyncio|uvloop] [--functions K]

Needs `perf` and the kernel's software cpu-clock event (scripts/env provides both).
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
from collections import Counter
from pathlib import Path

HERE = Path(__file__).resolve().parent
BRIDGE_BENCH = HERE / "bridge_bench.py"
PEERS = ("module", "twin")
BASELINE = 2_000  # bridge_bench's warm-up: a run of this many has as many warm-up messages before it

# Groups, first match wins: (name, pattern over "object:function").
GROUPS = [
    ("the module's own code (C++)", r"^telegram_bridge\."),
    ("method calls, attribute lookups, truth tests and str() through the C API",
     r":(_PyObject_GetMethodStackRef|PyObject_VectorcallMethod|_PyObject_GenericGetAttrWithDict|"
     r"PyObject_GetAttr|PyObject_GetOptionalAttr|PyObject_SetAttr|_Py_type_getattro|member_get|"
     r"store_instance_attr|_PyObject_StoreInstanceAttribute|unicodekeys_lookup_unicode|"
     r"_PySuper_Lookup|_PyObject_LookupSpecial|PyModule_GetDict|PyObject_IsTrue|PyObject_Str)"),
    ("dictionary lookups", r":(_Py_dict_lookup|PyDict_GetItemRef|dict_get|PyDict_Contains)"),
    ("calls and interpreter entries (frames, sends)",
     r":(_PyFunction_Vectorcall|initialize_locals|_PyEvalFramePushAndInit|_PyEval_Vector|"
     r"PyIter_Send|PyGen_am_send|gen_send_ex|PyObject_Vectorcall|"
     r"_PyObject_MakeTpCall|PyObject_CallOneArg|_PyEval_FrameClearAndPop|"
     r"_PyFrame_ClearExceptCode|_PyObject_VectorcallTstate|_PyObject_Call|method_vectorcall|"
     r"cfunction_vectorcall|vectorcall_)"),
    # Its entry and exit are part of the same function: they count here, not as calls.
    ("bytecode (the evaluation loop)", r":_PyEval_EvalFrameDefault"),
    ("imports", r":(PyImport_|_PyEval_ImportName|_PyEval_ImportFrom|import_)"),
    ("strings", r":(PyUnicode_|_PyUnicode_|unicode_|_copy_characters|__mem|__str)"),
    ("allocation, deallocation and the collector",
     r":(PyObject_GC_|_PyType_Alloc|_PyObject_Malloc|_PyObject_Free|_Py_Dealloc|gc_|visit_|"
     r"\w+_traverse|\w+_dealloc|\w+_clear|_PyMem|mi_|_mi_|deduce_unreachable|make_gen|"
     r"PyTuple_New|PyDict_New|PyList_New|tuple_alloc|subtype_dealloc)"),
]


def child(peer: str, messages: int, events: int, loop: str, level: str) -> list[str]:
    return [sys.executable, str(BRIDGE_BENCH), "--child", "throughput", peer, str(messages),
            str(events), loop, level, "cpu"]


def sampled(peer: str, messages: int, events: int, loop: str, level: str) -> Counter[str]:
    """CPU nanoseconds by "object:function" for one profiled process."""
    with tempfile.TemporaryDirectory() as directory:
        data = os.path.join(directory, "perf.data")
        subprocess.run(["perf", "record", "-q", "-F", "10000", "-e", "cpu-clock", "-o", data,
                        *child(peer, messages, events, loop, level)],
                       check=True, capture_output=True)
        report = subprocess.run(
            ["perf", "report", "-i", data, "--no-children", "--sort", "dso,sym", "--stdio",
             "-F", "period,dso,sym", "--field-separator", "\t"],
            check=True, capture_output=True, text=True).stdout
    cost: Counter[str] = Counter()
    for line in report.splitlines():
        if not line or line.startswith("#"):
            continue
        parts = [part.strip() for part in line.split("\t")]
        if len(parts) < 3 or not parts[0].isdigit():
            continue
        symbol = re.sub(r"^\[.\]\s*", "", parts[2]).replace("(anonymous namespace)::", "")
        symbol = re.sub(r"\.(constprop|lto_priv|isra|part)\.\d+", "", symbol.split("(")[0])
        cost[f"{parts[1]}:{symbol}"] += int(parts[0])
    return cost


def measured(peer: str, messages: int, events: int, loop: str, level: str) -> float:
    """Seconds per message without the profiler."""
    out = subprocess.run(child(peer, messages, events, loop, level), check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])["seconds"] / messages


def group_of(key: str) -> str:
    for name, pattern in GROUPS:
        if re.search(pattern, key):
            return name
    return "everything else"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--messages", type=int, default=100_000)
    parser.add_argument("--events", type=int, default=6)
    parser.add_argument("--level", choices=["WARNING", "INFO"], default="WARNING")
    parser.add_argument("--loop", choices=["asyncio", "uvloop"], default="asyncio")
    parser.add_argument("--functions", type=int, default=12, metavar="K",
                        help="also list the K functions that differ most; 0 skips")
    args = parser.parse_args()
    if args.messages <= 2 * BASELINE:
        parser.error(f"--messages must be above {2 * BASELINE}")
    per_message: dict[str, Counter[str]] = {}
    scale: dict[str, float] = {}
    for peer in PEERS:
        total = sampled(peer, args.messages, args.events, args.loop, args.level)
        total.subtract(sampled(peer, BASELINE, args.events, args.loop, args.level))
        steady = args.messages - BASELINE
        profiled = sum(total.values()) / steady
        unprofiled = measured(peer, args.messages, args.events, args.loop, args.level) * 1e9
        scale[peer] = unprofiled / profiled
        per_message[peer] = Counter({key: value / steady * scale[peer]
                                     for key, value in total.items()})
    print(f"{args.messages} messages x {args.events} events, {args.loop}, {args.level}; "
          "ns per message, each peer scaled to its unprofiled time (profiled/unprofiled: "
          + ", ".join(f"{peer} {1 / scale[peer]:.2f}" for peer in PEERS) + ")")
    groups = {peer: Counter() for peer in PEERS}
    for peer in PEERS:
        for key, value in per_message[peer].items():
            groups[peer][group_of(key)] += value
    names = [name for name, _ in GROUPS] + ["everything else"]
    print("| what | module ns/msg | twin ns/msg | module - twin |")
    print("|---|---:|---:|---:|")
    for name in names + ["total"]:
        module, twin = ((sum(groups[peer].values()) if name == "total" else groups[peer][name])
                        for peer in PEERS)
        print(f"| {name} | {module:,.0f} | {twin:,.0f} | {module - twin:+,.0f} |")
    if args.functions:
        difference = Counter(per_message["module"])
        difference.subtract(per_message["twin"])
        print("\nfunctions that differ most, module - twin ns/msg: " + ", ".join(
            f"{key.split(':', 1)[1][:60]} {value:+,.0f}"
            for key, value in sorted(difference.items(), key=lambda item: -abs(item[1]))[
                :args.functions]))


if __name__ == "__main__":
    main()
