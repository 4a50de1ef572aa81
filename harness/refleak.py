"""Reference-leak run in the manner of CPython's own `-R`: each test module
of tests/python runs several times in one process (pytest.main per
repetition), and after each repetition the process's total reference count
(`sys.gettotalrefcount()`, debug interpreters only), its number of
allocated memory blocks (`sys.getallocatedblocks()`) and its number of open
file descriptors are read. The first repetitions warm caches up and are not
judged; a module fails when a count keeps growing over the judged ones, or,
for file descriptors as in CPython's, when their number changes at all.

    python -m harness.refleak [--warmups N] [--runs N] [--junitxml PATH] [module ...]

Without modules it runs every tests/python/test_*.py but those in EXCLUDED,
which its JUnit file books as skipped with their reasons.

Runs with the standard library and pytest only, so that it works unchanged
inside a Debian root (on python3.X-dbg). On a normal interpreter only the
allocated blocks are judged. Exit status 0 when no module leaks or fails.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import time
import xml.etree.ElementTree as ET
from array import array
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path

TESTS = Path(__file__).resolve().parent.parent / "tests" / "python"

WARMUPS = 3
RUNS = 6

# The modules the run leaves out, each with its reason: those whose tests
# do their work in child processes or take the process's allocator away,
# where a count read in this process would measure nothing (or the
# injector's own bookkeeping), the one that is a leak check, and the one
# whose Hypothesis caches outgrow the warm-ups.
EXCLUDED = {
    "test_nomemory.py": "fault injection: every case runs in a child process with the allocator failing",
    "test_subinterpreters.py": "every case runs in a child process",
    "test_recursion.py": "every case runs in a child process",
    "test_instances.py": "every case runs in a child process",
    "test_child_processes.py": "every case runs in a child process",
    "test_leaks.py": "measures leaks itself (blocks, RSS and tracemalloc around many calls per entry point); "
    "repeating it takes six minutes and covers nothing more",
    "test_properties.py": "Hypothesis's own caches grow over the first repetitions (thousands of references, "
    "fading to a few), which the verdict cannot tell from a leak, and its inputs differ in each run",
}


@dataclass(frozen=True)
class Verdict:
    leaking: bool
    reason: str


def growth_verdict(deltas: Sequence[int]) -> Verdict:
    """Whether the per-repetition growth of a count shows a leak.

    Like CPython's -R, growth in every judged repetition is a leak, while
    one-off growth ([3, 0, 0]) and noise that comes back ([8, -8, 1]) are
    not. Two trends are leaks too, as long as the growth does not fade (the
    second half of the run grows by at least a quarter of what the first
    half grew; a cache that fills up to its bound fades): never shrinking
    while growing in at least half the repetitions, by at least one per
    repetition on average (a leak every other run), and growing by at least
    two per repetition on average with both halves growing (a leak under
    noise)."""
    n = len(deltas)
    if n == 0:
        return Verdict(False, "no repetitions judged")
    total = sum(deltas)
    if all(d >= 1 for d in deltas):
        return Verdict(True, f"grew in every repetition (+{total} over {n})")
    half = n // 2
    first, second = sum(deltas[:half]), sum(deltas[half:])
    persists = second > 0 and 4 * second >= first
    grew = sum(1 for d in deltas if d > 0)
    if persists and min(deltas) >= 0 and 2 * grew >= n and total >= n:
        return Verdict(True, f"never shrank, grew in {grew} of {n} repetitions, by {total}")
    if persists and first > 0 and total >= 2 * n:
        return Verdict(True, f"grew in both halves of the run, by {total} over {n} repetitions")
    if total > 0 and not persists:
        return Verdict(False, f"growth faded (net {total:+d} over {n} repetitions, {second:+d} in the last {n - half})")
    return Verdict(False, f"steady (net {total:+d} over {n} repetitions)")


def fd_count() -> int:
    """The process's open file descriptors (the listing's own included, the
    same in every reading)."""
    return len(os.listdir("/proc/self/fd"))


def fd_verdict(deltas: Sequence[int]) -> Verdict:
    """File descriptors are judged as CPython's -R judges them: any change
    over the judged repetitions, up or down, is a leak (a descriptor is
    never a cache that fills up)."""
    if any(deltas):
        return Verdict(True, f"open file descriptors changed ({', '.join(f'{d:+d}' for d in deltas)})")
    return Verdict(False, "steady")


def counters() -> dict[str, Callable[[], int]]:
    """The counts this interpreter can give, by name."""
    found = {}
    if hasattr(sys, "gettotalrefcount"):
        found["refs"] = sys.gettotalrefcount
    found["blocks"] = sys.getallocatedblocks
    if os.path.isdir("/proc/self/fd"):
        found["fds"] = fd_count
    return found


# How the deltas of each count are judged.
VERDICTS: dict[str, Callable[[Sequence[int]], Verdict]] = {"fds": fd_verdict}


def clear_caches() -> None:
    """Empties the caches that fill up as tests run, so that their growth is
    not taken for a leak, and collects garbage; as CPython's -R does."""
    import linecache
    import re

    re.purge()
    linecache.clearcache()
    typing = sys.modules.get("typing")
    for cleanup in getattr(typing, "_cleanups", ()):
        cleanup()
    clear_internal = getattr(sys, "_clear_internal_caches", None) or getattr(sys, "_clear_type_cache")
    clear_internal()
    for _ in range(3):
        gc.collect()


@dataclass
class ModuleResult:
    module: str
    deltas: dict[str, list[int]] = field(default_factory=dict)
    verdicts: dict[str, Verdict] = field(default_factory=dict)
    failed_runs: list[int] = field(default_factory=list)  # repetitions whose tests failed (0: none ran)
    failures: list[str] = field(default_factory=list)  # the first failed tests' reports
    seconds: float = 0.0

    @property
    def ok(self) -> bool:
        return not self.failed_runs and not any(v.leaking for v in self.verdicts.values())

    def summary(self) -> str:
        if self.failed_runs == [0]:
            return f"no test ran: {'; '.join(self.failures)}"
        if self.failed_runs:
            return f"tests failed in repetition(s) {', '.join(map(str, self.failed_runs))}"
        parts = [f"{name} {self.deltas[name]}: {v.reason}" for name, v in self.verdicts.items()]
        return "; ".join(parts)


def measure(
    module: str,
    run_once: Callable[[], int],
    warmups: int = WARMUPS,
    runs: int = RUNS,
    counts: dict[str, Callable[[], int]] | None = None,
) -> ModuleResult:
    """Runs `run_once` (one repetition; returns its exit status, 0 when its
    tests passed) warmups + runs times, reading the counts after each, and
    judges the growth over the last `runs` repetitions."""
    counts = counters() if counts is None else counts
    result = ModuleResult(module)
    total = warmups + runs
    # Machine integers filled in place: a list would keep one new int object
    # alive per reading, itself a block and a reference that grows each run.
    readings = {name: array("q", bytes(8 * (total + 1))) for name in counts}
    start = time.monotonic()
    clear_caches()
    for name, read in counts.items():
        readings[name][0] = read()
    for i in range(1, total + 1):
        if run_once() != 0:
            result.failed_runs.append(i)
        clear_caches()
        for name, read in counts.items():
            readings[name][i] = read()
    result.seconds = time.monotonic() - start
    for name, values in readings.items():
        deltas = [values[i] - values[i - 1] for i in range(warmups + 1, total + 1)]
        result.deltas[name] = deltas
        result.verdicts[name] = VERDICTS.get(name, growth_verdict)(deltas)
    return result


class RepeatTests:
    """pytest plugin: runs the session's collected tests warmups + runs
    times over, counting between repetitions. Collection, configuration and
    plugins are set up once, so the count sees the tests, not pytest's own
    start-up. Reports are not logged (the terminal's and JUnit's records
    of them would grow with every repetition); failures are counted here."""

    def __init__(self, module: str, warmups: int, runs: int) -> None:
        self.module, self.warmups, self.runs = module, warmups, runs
        self.result: ModuleResult | None = None
        self.failures: list[str] = []

    def run_once(self, items: Sequence) -> int:
        from _pytest.runner import runtestprotocol

        failed = 0
        for i, item in enumerate(items):
            # The last item tears down every fixture, so each repetition
            # starts from the same state, session fixtures included.
            nextitem = items[i + 1] if i + 1 < len(items) else None
            reports = runtestprotocol(item, log=False, nextitem=nextitem)
            for report in reports:
                if report.failed:
                    failed += 1
                    if len(self.failures) < 5:
                        self.failures.append(f"{item.nodeid} ({report.when}): {report.longreprtext[-2000:]}")
            # Captured output is attached to the item on every run.
            item._report_sections.clear()
        return failed

    def pytest_runtestloop(self, session) -> bool:
        if session.testsfailed:  # collection errors
            return False
        self.result = measure(self.module, lambda: self.run_once(session.items), self.warmups, self.runs)
        return True


def run_module(path: Path, warmups: int, runs: int, extra: Sequence[str] = ()) -> ModuleResult:
    """One pytest session over one test module, its tests repeated."""
    import pytest

    plugin = RepeatTests(path.name, warmups, runs)
    status = pytest.main([str(path), "-q", "--no-header", "-p", "no:cacheprovider", *extra], plugins=[plugin])
    if plugin.result is None:  # nothing ran: a collection error, no tests, a usage error
        return ModuleResult(path.name, failed_runs=[0], failures=[f"pytest exited with status {int(status)}"])
    plugin.result.failures = plugin.failures
    return plugin.result


def default_modules() -> list[Path]:
    return sorted(TESTS.glob("test_*.py"))


def selection(modules: Sequence[Path]) -> tuple[list[Path], dict[str, str]]:
    """The modules to run and those left out with their reasons: the
    modules asked for, all of them; by default every test module but
    EXCLUDED."""
    if modules:
        return list(modules), {}
    every = default_modules()
    return [p for p in every if p.name not in EXCLUDED], {p.name: EXCLUDED[p.name] for p in every if p.name in EXCLUDED}


def write_junit(path: Path, results: Sequence[ModuleResult], excluded: dict[str, str]) -> None:
    suite = ET.Element("testsuite", name="refleak")
    for r in results:
        case = ET.SubElement(suite, "testcase", classname="refleak", name=r.module, time=f"{r.seconds:.3f}")
        if not r.ok:
            ET.SubElement(case, "failure", message=r.summary()).text = "\n\n".join(r.failures)
    for module, reason in excluded.items():
        case = ET.SubElement(suite, "testcase", classname="refleak", name=module, time="0")
        ET.SubElement(case, "skipped", message=reason)
    path.parent.mkdir(parents=True, exist_ok=True)
    ET.ElementTree(suite).write(path, encoding="utf-8", xml_declaration=True)


def report_lines(results: Sequence[ModuleResult], excluded: dict[str, str]) -> list[str]:
    width = max([len(r.module) for r in results] + [len(m) for m in excluded] + [6])
    lines = [f"{'module':<{width}}  verdict  {'time':>6}  growth per judged repetition"]
    for r in results:
        verdict = "ok" if r.ok else ("FAILED" if r.failed_runs else "LEAK")
        lines.append(f"{r.module:<{width}}  {verdict:<7}  {r.seconds:5.1f}s  {r.summary()}")
    for module, reason in excluded.items():
        lines.append(f"{module:<{width}}  {'skipped':<7}  {'':>6}  {reason}")
    return lines


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m harness.refleak", description=__doc__.split("\n\n")[0])
    parser.add_argument("modules", nargs="*", type=Path, help="test modules (default: tests/python/test_*.py)")
    parser.add_argument("--warmups", type=int, default=WARMUPS)
    parser.add_argument("--runs", type=int, default=RUNS)
    parser.add_argument("--junitxml", type=Path)
    parser.add_argument(
        "--pytest-arg",
        action="append",
        default=[],
        dest="pytest_args",
        help="passed on to every pytest run (repeatable)",
    )
    args = parser.parse_args(argv)

    chosen, excluded = selection(args.modules)
    names = ", ".join(counters())
    print(
        f"refleak: {len(chosen)} module(s), {args.warmups} warm-up + {args.runs} judged repetitions, "
        f"counting {names}"
        + ("" if hasattr(sys, "gettotalrefcount") else " (no sys.gettotalrefcount: not a debug interpreter)"),
        flush=True,
    )
    results = []
    for path in chosen:
        print(f"refleak: {path.name}", flush=True)
        results.append(run_module(path, args.warmups, args.runs, args.pytest_args))
    for r in results:
        for failure in r.failures:
            print(f"refleak: {r.module}: {failure}", flush=True)
    print("\n".join(report_lines(results, excluded)), flush=True)
    if args.junitxml:
        write_junit(args.junitxml, results, excluded)
    return 0 if results and all(r.ok for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
