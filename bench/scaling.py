#!/usr/bin/env python3
"""Thread scaling of jadefox: throughput with 1 and with 2 threads.

    python bench/scaling.py                  # about 2.5 minutes
    python bench/scaling.py --quick          # shorter samples, smaller sizes
    python bench/scaling.py --json out.json  # the figures as JSON too

Every operation is timed twice over: each thread on its own dictionaries, and
all threads on the same ones. Beside jadefox, the same harness times a
plain-dict control doing the nearest dict work, so that what the interpreter
itself allows (reference counts, the allocator) can be told from what jadefox
adds. A sample runs every thread for --seconds after a common start and
counts completed operations; throughput is operations per second summed over
the threads, best of --repeat samples. The ratio is 2-thread throughput over
1-thread throughput: 2.0 is perfect scaling on two cores; about 1.0 is what a
build with the GIL gives.

Goals (reported, never asserted):
  own dictionaries, large operations:    ratio >= 1.8
  shared dictionaries, large operations: ratio >= 1.6
  small operations: scale no worse than their dict control (ratio at least
  the control's, less 5% for noise), in either mode.
Only a free-threaded interpreter can meet them; the header says which build
ran.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import sys
import sysconfig
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass

from jadefox import JadeDict

LARGE_GOAL = {"own": 1.8, "shared": 1.6}
CONTROL_SLACK = 0.95


def keys(n: int, tag: str = "") -> list[str]:
    return [f"{tag}key-{i:07d}" for i in range(n)]


def values(n: int) -> list[float]:
    return [(i % 977) * 0.5 - 100.0 for i in range(n)]


@dataclass(frozen=True)
class Workload:
    """One row: `make(thread_index)` builds what one thread works on (the
    shared mode calls it once, with index 0) and returns the operation to
    repeat, a no-argument callable."""

    name: str
    size: str
    large: bool
    make: Callable[[int], Callable[[], object]]
    control: str = ""  # the name of this row's dict control, if any


def getitem_op(n: int):
    def make(_: int):
        ks = keys(n)
        d = JadeDict(dict(zip(ks, values(n))))

        def op():
            for k in ks:
                d[k]

        return op

    return make


def getitem_control(n: int):
    def make(_: int):
        ks = keys(n)
        d = dict(zip(ks, values(n)))

        def op():
            for k in ks:
                d[k]

        return op

    return make


def construct_op(n: int):
    def make(_: int):
        src = dict(zip(keys(n), values(n)))
        return lambda: JadeDict(src)

    return make


def construct_control(n: int):
    def make(_: int):
        src = dict(zip(keys(n), values(n)))
        return lambda: {k: float(v) for k, v in src.items()}

    return make


def keyed_add_op(n: int):
    def make(_: int):
        ks, vs = keys(n), values(n)
        a = JadeDict(dict(zip(ks, vs)))
        # Built separately, in reverse order: another key index, so add
        # looks every key up (the keyed path).
        b = JadeDict(dict(zip(reversed(ks), vs)))
        return lambda: a.add(b)

    return make


def keyed_add_control(n: int):
    def make(_: int):
        ks, vs = keys(n), values(n)
        a = dict(zip(ks, vs))
        b = dict(zip(reversed(ks), vs))
        return lambda: {k: v + b.get(k, 0.0) for k, v in a.items()}

    return make


def positional_add_op(n: int):
    def make(_: int):
        a = JadeDict(dict(zip(keys(n), values(n))))
        b = a.add_scalar(1.0)  # shares a's key index: the positional path
        return lambda: a.add(b)

    return make


def sum_op(n: int):
    def make(_: int):
        a = JadeDict(dict(zip(keys(n), values(n))))
        return a.sum

    return make


def sum_control(n: int):
    def make(_: int):
        a = dict(zip(keys(n), values(n)))
        return lambda: sum(a.values())

    return make


def workloads(quick: bool) -> list[Workload]:
    small, construct, keyed, large = (1_000, 1_000, 10_000, 100_000) if quick else (1_000, 1_000, 100_000, 1_000_000)

    def size(n):
        return f"{n:,}"

    return [
        Workload("x[k]", size(small), False, getitem_op(small), "dict x[k]"),
        Workload("dict x[k]", size(small), False, getitem_control(small)),
        Workload("construction", size(construct), False, construct_op(construct), "dict comprehension"),
        Workload("dict comprehension", size(construct), False, construct_control(construct)),
        Workload("keyed add", size(keyed), True, keyed_add_op(keyed), "dict keyed add"),
        Workload("dict keyed add", size(keyed), True, keyed_add_control(keyed)),
        Workload("positional add", size(large), True, positional_add_op(large)),
        Workload("sum()", size(large), True, sum_op(large), "dict sum(values())"),
        Workload("dict sum(values())", size(large), True, sum_control(large)),
    ]


def throughput(ops: list[Callable[[], object]], seconds: float) -> float:
    """Operations per second, summed over one thread per entry of `ops`,
    all started together and each stopped after `seconds`."""
    n = len(ops)
    counts = [0] * n
    elapsed = [0.0] * n
    barrier = threading.Barrier(n)

    def worker(i: int) -> None:
        op = ops[i]
        barrier.wait()
        start = time.perf_counter()
        deadline = start + seconds
        done = 0
        now = start
        while now < deadline:
            op()
            done += 1
            now = time.perf_counter()
        counts[i], elapsed[i] = done, now - start

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sum(c / e for c, e in zip(counts, elapsed))


def best_throughputs(w: Workload, mode: str, seconds: float, repeat: int) -> dict[int, float]:
    """Best 1-thread and 2-thread throughput of a row in a mode. The two are
    sampled in turn, so that a change in the machine's load between samples
    touches both alike; one thread works on the first thread's data."""
    if mode == "shared":
        op = w.make(0)
        ops = [op, op]
    else:
        ops = [w.make(i) for i in range(2)]
    for op in ops:  # warm up: first-call costs and the allocator's pools
        op()
    best = {1: 0.0, 2: 0.0}
    for _ in range(repeat):
        for threads in (1, 2):
            best[threads] = max(best[threads], throughput(ops[:threads], seconds))
    return best


def check_results() -> None:
    """The jadefox operations compute what their controls do (so that the
    table compares like with like)."""
    n = 2_000
    ks, vs = keys(n), values(n)
    a = JadeDict(dict(zip(ks, vs)))
    b = JadeDict(dict(zip(reversed(ks), vs)))
    assert a.add(b).to_dict == keyed_add_control(n)(0)()
    assert a.add(a.add_scalar(1.0)).to_dict == {k: v + (v + 1.0) for k, v in zip(ks, vs)}
    assert a.sum() == sum_control(n)(0)()  # halves in a small range: every order sums exactly
    assert [a[k] for k in ks] == vs


def build_description() -> str:
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    build = "free-threaded" if free_threaded else "default (GIL)"
    if free_threaded:
        build += ", GIL " + ("re-enabled" if gil else "disabled")
    return (
        f"CPython {platform.python_version()} {build}; {platform.machine()}, "
        f"{os.cpu_count()} CPUs; {platform.platform()}"
    )


def load_note() -> str:
    """Other processes take CPU time from the threads and inflate or deflate
    every ratio: a busy machine makes the figures meaningless."""
    load = os.getloadavg()[0]
    busy = load > 0.5 * (os.cpu_count() or 1)
    return f"load average {load:.2f}" + (" (busy machine: ratios are not to be trusted)" if busy else "")


def goal_for(w: Workload, mode: str, ratios: dict[tuple[str, str], float]) -> tuple[float | None, str]:
    """The goal of a row in a mode (None for a control) and how it reads."""
    if w.name.startswith("dict "):
        return None, "control"
    if w.large:
        return LARGE_GOAL[mode], f">= {LARGE_GOAL[mode]}"
    control = ratios[(w.control, mode)]
    return control * CONTROL_SLACK, f">= control {control:.2f}"


def parse_arguments(doc: str, argv: list[str] | None) -> tuple[argparse.Namespace, float]:
    """The options this benchmark and bench/interpreters.py share, and the
    length of one sample they give."""
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes and shorter samples")
    parser.add_argument("--seconds", type=float, help="length of one sample (default 1.0, quick 0.3)")
    parser.add_argument("--repeat", type=int, default=3, help="samples per figure, the best is kept")
    parser.add_argument("--json", help="write the figures to this file")
    args = parser.parse_args(argv)
    return args, args.seconds or (0.3 if args.quick else 1.0)


def main(argv: list[str] | None = None) -> int:
    args, seconds = parse_arguments(__doc__, argv)

    print(build_description(), flush=True)
    print(f"before: {load_note()}", flush=True)
    check_results()
    rows = workloads(args.quick)
    figures: dict[tuple[str, str], dict[int, float]] = {}
    for mode in ("own", "shared"):
        for w in rows:
            figures[(w.name, mode)] = best_throughputs(w, mode, seconds, args.repeat)
            print(f"  measured {w.name} ({mode})", file=sys.stderr, flush=True)
    ratios = {key: f[2] / f[1] for key, f in figures.items()}

    header = f"{'operation':<20} {'keys':>10} {'mode':<7} {'1 thread/s':>12} {'2 threads/s':>12} {'ratio':>6}  goal"
    print(header)
    print("-" * len(header))
    results = []
    for mode in ("own", "shared"):
        for w in rows:
            f = figures[(w.name, mode)]
            ratio = ratios[(w.name, mode)]
            goal, goal_text = goal_for(w, mode, ratios)
            verdict = "" if goal is None else ("met" if ratio >= goal else "missed")
            print(
                f"{w.name:<20} {w.size:>10} {mode:<7} {f[1]:>12.1f} {f[2]:>12.1f} {ratio:>6.2f}  "
                f"{goal_text} {verdict}".rstrip()
            )
            results.append(
                {
                    "operation": w.name,
                    "keys": w.size,
                    "mode": mode,
                    "large": w.large,
                    "ops_per_s_1": f[1],
                    "ops_per_s_2": f[2],
                    "ratio": ratio,
                    "goal": goal,
                    "met": None if goal is None else ratio >= goal,
                }
            )
    judged = [r for r in results if r["goal"] is not None]
    met = sum(1 for r in judged if r["met"])
    print(f"goals met: {met} of {len(judged)}")
    print(f"after: {load_note()}")
    if args.json:
        with open(args.json, "w") as out:
            json.dump(
                {
                    "interpreter": build_description(),
                    "load": load_note(),
                    "seconds": seconds,
                    "repeat": args.repeat,
                    "rows": results,
                },
                out,
                indent=1,
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
