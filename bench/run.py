"""python -m bench run [--preset quick|full] [--only WORDS] [-o results.json] [pyperf options]

Checks every selected workload bit for bit against plain Python, then times
jadefox and each peer with pyperf: calibrated loops, fresh worker processes,
metadata, JSON. Each value is seconds per key (pyperf's inner loops are the
keys a call handles). Exits 1, timing nothing, when a check fails."""

from __future__ import annotations

import argparse
import sys
from dataclasses import dataclass
from importlib.metadata import PackageNotFoundError, version
from pathlib import Path

import pyperf

from . import c_fold
from .checks import CheckFailed
from .workloads import HELPERS, WORKLOADS, Operands, Workload


@dataclass(frozen=True)
class Preset:
    workloads: tuple[str, ...] | None  # None: all of them
    peers: tuple[str, ...] | None  # None: all of them
    sizes: tuple[int, ...] | None  # None: each workload's own
    processes: int  # pyperf's settings; options on the command line override them
    values: int
    min_time: float
    quiet: bool = False  # pyperf's -q: no warnings about unstable results


PRESETS = {
    # A smoke check in well under a minute: the arithmetic that matters most,
    # against the peers that start fast (a worker importing pandas takes ~0.5 s).
    "quick": Preset(
        workloads=("add, positional (one family)", "add, keyed (same keys shuffled)", "multiply_scalar(2.0)"),
        peers=("numpy a + b", "numpy a * 2.0", "dict comprehension"),
        sizes=(1_000, 100_000),
        processes=1,
        values=2,
        min_time=0.01,
        quiet=True,
    ),
    "full": Preset(workloads=None, peers=None, sizes=None, processes=3, values=3, min_time=0.1),
}


def selected(preset: Preset, only: str | None, sizes: str | None) -> list[tuple[Workload, int]]:
    words = [w for w in (only or "").split(",") if w]
    override = [int(n) for n in sizes.split(",")] if sizes else preset.sizes
    cases = [
        (w, n)
        for w in WORKLOADS
        if (preset.workloads is None or w.name in preset.workloads)
        and (not words or any(word in w.name for word in words))
        for n in override or w.sizes
    ]
    return sorted(cases, key=lambda case: case[1])  # small sizes first: whole tables early


def check_all(cases: list[tuple[Workload, int]]) -> int:
    failures = 0
    for workload, n in cases:
        try:
            workload.check(n)
        except CheckFailed as exc:
            print(f"CHECK FAILED {exc}", file=sys.stderr)
            failures += 1
    print(f"checked {len(cases)} workload sizes bit for bit against plain Python: {failures} failed", flush=True)
    return failures


def time_all(runner: pyperf.Runner, preset: Preset, cases: list[tuple[Workload, int]]) -> None:
    for workload, n in cases:
        for candidate, statement in workload.candidates().items():
            if candidate != "jadefox" and preset.peers and candidate not in preset.peers:
                continue
            missing = workload.missing(statement)
            if missing:
                if not runner.args.worker:
                    print(f"skipped {workload.name} | {candidate}: {missing}")
                continue
            ops = Operands(workload, n)
            setup = "; ".join(f"{name} = _ops[{name!r}]" for name in ops.used_by(statement))
            metadata = {"workload": workload.name, "candidate": candidate, "keys": n}
            if candidate.startswith("C fold"):
                metadata["c_fold_compiler"] = c_fold.compiler_version()
            runner.timeit(
                f"{workload.name} | {candidate} | n={n:,}",
                statement,
                setup=setup or "pass",
                globals={**HELPERS, "_ops": ops},
                inner_loops=workload.keys_per_call(n),
                metadata=metadata,
            )


def versions() -> dict[str, str]:
    found = {}
    for package in ("jadefox", "numpy", "pandas"):
        try:
            found[f"{package}_version"] = version(package)
        except PackageNotFoundError:
            found[f"{package}_version"] = "not installed"
    return found


def main(argv: list[str]) -> int:
    early = argparse.ArgumentParser(add_help=False)
    early.add_argument("--preset", choices=PRESETS, default="full")
    preset_name = early.parse_known_args(argv)[0].preset
    preset = PRESETS[preset_name]

    def pass_options(cmd: list[str], args) -> None:  # to the worker processes
        cmd += (
            ["--preset", args.preset]
            + (["--only", args.only] if args.only else [])
            + (["--sizes", args.sizes] if args.sizes else [])
        )

    runner = pyperf.Runner(
        processes=preset.processes,
        values=preset.values,
        min_time=preset.min_time,
        metadata=versions(),
        program_args=("-m", "bench", "run"),
        add_cmdline_args=pass_options,
    )
    runner.argparser.prog = "python -m bench run"
    runner.argparser.description = __doc__.split("\n\n")[1].replace("\n", " ")
    runner.argparser.add_argument(
        "--preset",
        choices=PRESETS,
        default="full",
        help="quick: three workloads against numpy and dict "
        "comprehensions at 1,000 and 100,000 keys, one worker "
        "each; full (default): everything",
    )
    runner.argparser.add_argument("--only", metavar="WORDS", help="comma-separated parts of workload names to run")
    runner.argparser.add_argument("--sizes", metavar="N,N", help="comma-separated key counts instead of the preset's")
    runner.argparser.set_defaults(quiet=preset.quiet)
    args = runner.parse_args(argv)
    cases = selected(preset, args.only, args.sizes)
    if not cases:
        print(f"no workload matches {args.only!r}", file=sys.stderr)
        return 2
    if not args.worker:
        if check_all(cases):
            return 1
        for path in (args.output, args.append):
            if path:
                Path(path).parent.mkdir(parents=True, exist_ok=True)
    time_all(runner, preset, cases)
    return 0
