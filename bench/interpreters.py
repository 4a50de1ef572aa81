#!/usr/bin/env python3
"""Interpreter scaling of jadefox: throughput with 1 and with 2 own-GIL
interpreters (concurrent.futures.InterpreterPoolExecutor, CPython 3.14+).

    python bench/interpreters.py                  # about 2 minutes
    python bench/interpreters.py --quick          # shorter samples, smaller sizes
    python bench/interpreters.py --json out.json  # the figures as JSON too

Each worker of the pool is an interpreter with its own GIL, running in a
thread of this process: unlike threads, workers run in parallel on the
default build too. The rows are those of bench/scaling.py that build, add by
key and sum, each beside its plain-dict control. A sample submits one task
per worker; every task builds its own data once, waits until all workers are
ready, and then repeats its operation for --seconds from a common start and
returns how many it completed. Throughput is operations per second summed
over the workers, best of --repeat samples; the ratio is 2-worker throughput
over 1-worker throughput, 2.0 being perfect scaling on two cores. The CPU
columns give the share of the window each worker spent on a CPU, with 1 and
with 2 workers: below 1.00, something else (another process, a lock) took
its time. "per CPU" is the ratio of throughputs per CPU share: what the
ratio would be if every worker had had its CPU to itself (near 2.0 when only
the machine's load stands in the way).

Goals (reported, never asserted): as bench/scaling.py's for own
dictionaries: large operations ratio >= 1.8; construction scales no worse
than its dict control (less 5% for noise). On an interpreter without
InterpreterPoolExecutor the script says so and exits with status 0.
"""

from __future__ import annotations

import importlib
import json
import site
import sys
import time
from pathlib import Path
from typing import Any

REPO = Path(__file__).resolve().parents[1]
if not __package__:  # run as a script: make the `bench` package importable
    sys.path.insert(0, str(REPO))

from bench import scaling  # noqa: E402

# New in CPython 3.14; looked up by name so that type checkers of older
# versions see Any rather than a module they do not know.
interpreters: Any
InterpreterPoolExecutor: Any
try:
    interpreters = importlib.import_module("concurrent.interpreters")
    InterpreterPoolExecutor = importlib.import_module("concurrent.futures").InterpreterPoolExecutor
except (ImportError, AttributeError):  # before CPython 3.14
    interpreters = InterpreterPoolExecutor = None

ROWS = ("construction", "dict comprehension", "keyed add", "dict keyed add", "sum()", "dict sum(values())")
WORKERS = (1, 2)
START_MARGIN = 0.05  # seconds between releasing the workers and their common start


def rows(quick: bool) -> list[scaling.Workload]:
    return [w for w in scaling.workloads(quick) if w.name in ROWS]


def timed_task(row: str, quick: bool, seconds: float, ready, go) -> tuple[int, float, float]:
    """Runs in a worker: builds the row's data, signals `ready`, waits for
    the start time from `go`, then repeats the operation for `seconds`.
    Returns (operations, elapsed seconds, CPU seconds of this thread)."""
    op = {w.name: w for w in rows(quick)}[row].make(0)
    op()  # warm up: first-call costs and the allocator's pools
    ready.put(None)
    start = go.get()
    time.sleep(max(0.0, start - time.monotonic()))
    cpu_start = time.thread_time()
    now = time.monotonic()
    deadline = now + seconds
    done = 0
    while now < deadline:
        op()
        done += 1
        now = time.monotonic()
    return done, now - start, time.thread_time() - cpu_start


def sample(pool, row: str, quick: bool, workers: int, seconds: float) -> list[tuple[int, float, float]]:
    """One sample: `workers` tasks on the pool, started together."""
    ready, go = interpreters.create_queue(), interpreters.create_queue()
    tasks = [pool.submit(timed_task, row, quick, seconds, ready, go) for _ in range(workers)]
    for _ in tasks:
        while True:
            try:
                ready.get(timeout=1)
                break
            except interpreters.QueueEmpty:
                for t in tasks:
                    if t.done():
                        t.result()  # a worker failed before it was ready: raise its error
    start = time.monotonic() + START_MARGIN
    for _ in tasks:
        go.put(start)
    return [t.result() for t in tasks]


def throughput(results: list[tuple[int, float, float]]) -> float:
    return sum(count / elapsed for count, elapsed, _ in results)


def cpu_share(results: list[tuple[int, float, float]]) -> float:
    return sum(cpu for _, _, cpu in results) / sum(elapsed for _, elapsed, _ in results)


def new_pool(workers: int):
    """A pool whose workers import `bench` from this tree (tasks are pickled
    by reference, as bench.interpreters.timed_task)."""
    return InterpreterPoolExecutor(workers, initializer=site.addsitedir, initargs=(str(REPO),))


def evaluate(figures: dict[str, dict[int, float]]) -> list[dict]:
    """Ratio, goal and verdict of every row from its best throughputs."""
    ratios = {(name, "own"): f[2] / f[1] for name, f in figures.items()}
    results = []
    for w in rows(False):
        ratio = ratios[(w.name, "own")]
        goal, goal_text = scaling.goal_for(w, "own", ratios)
        results.append(
            {
                "operation": w.name,
                "large": w.large,
                "ops_per_s_1": figures[w.name][1],
                "ops_per_s_2": figures[w.name][2],
                "ratio": ratio,
                "goal": goal,
                "goal_text": goal_text,
                "met": None if goal is None else ratio >= goal,
            }
        )
    return results


def main(argv: list[str] | None = None) -> int:
    args, seconds = scaling.parse_arguments(__doc__, argv)

    print(scaling.build_description(), flush=True)
    if InterpreterPoolExecutor is None:
        print("InterpreterPoolExecutor needs CPython 3.14 or newer: nothing measured")
        return 0
    print(f"before: {scaling.load_note()}", flush=True)
    scaling.check_results()
    figures: dict[str, dict[int, float]] = {}
    cpu: dict[str, dict[int, float]] = {}
    with new_pool(1) as one, new_pool(2) as two:
        pools = {1: one, 2: two}
        for workers, pool in pools.items():
            begin = time.monotonic()
            sample(pool, ROWS[0], args.quick, workers, 0.0)  # the workers start and import
            print(f"  start-up of {workers} worker(s): {time.monotonic() - begin:.2f} s", file=sys.stderr, flush=True)
        for w in rows(args.quick):
            samples: dict[int, list] = {n: [] for n in WORKERS}
            for _ in range(args.repeat):  # in turn, so a change of load touches both alike
                for n in WORKERS:
                    samples[n].append(sample(pools[n], w.name, args.quick, n, seconds))
            best = {n: max(samples[n], key=throughput) for n in WORKERS}
            figures[w.name] = {n: throughput(best[n]) for n in WORKERS}
            cpu[w.name] = {n: cpu_share(best[n]) for n in WORKERS}
            print(f"  measured {w.name}", file=sys.stderr, flush=True)

    sizes = {w.name: w.size for w in rows(args.quick)}
    header = (
        f"{'operation':<20} {'keys':>10} {'1 worker/s':>12} {'2 workers/s':>12} {'ratio':>6} "
        f"{'CPU 1':>5} {'CPU 2':>5} {'per CPU':>7}  goal"
    )
    print(header)
    print("-" * len(header))
    results = evaluate(figures)
    for r in results:
        name = r["operation"]
        r.update(
            keys=sizes[name],
            cpu_share_1=cpu[name][1],
            cpu_share_2=cpu[name][2],
            ratio_per_cpu=r["ratio"] * cpu[name][1] / cpu[name][2],
        )
        verdict = "" if r["goal"] is None else ("met" if r["met"] else "missed")
        print(
            f"{name:<20} {r['keys']:>10} {r['ops_per_s_1']:>12.1f} {r['ops_per_s_2']:>12.1f} "
            f"{r['ratio']:>6.2f} {r['cpu_share_1']:>5.2f} {r['cpu_share_2']:>5.2f} {r['ratio_per_cpu']:>7.2f}  "
            f"{r['goal_text']} {verdict}".rstrip()
        )
    judged = [r for r in results if r["goal"] is not None]
    print(f"goals met: {sum(r['met'] for r in judged)} of {len(judged)}")
    print(f"after: {scaling.load_note()}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(
                {
                    "interpreter": scaling.build_description(),
                    "load": scaling.load_note(),
                    "seconds": seconds,
                    "repeat": args.repeat,
                    "rows": results,
                },
                f,
                indent=1,
            )
    return 0


if __name__ == "__main__":
    # The tasks must be pickled by their module's name, not as __main__'s.
    from bench import interpreters as this_module  # noqa: PLW0406

    sys.exit(this_module.main())
