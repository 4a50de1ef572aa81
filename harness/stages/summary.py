"""The full run: every stage in turn, each as its own nox process (so a
stage that breaks cannot take the others with it), then one summary read
from the stages' JUnit files and the closing line "N passed, N failed"."""

from __future__ import annotations

import os
import subprocess
import sys
import time

from .. import config, privilege, proc
from ..results import stage_counts
from ..stage_runner import failed, requested_skip


def _nox(*args: str) -> list[str]:
    return [sys.executable, "-m", "nox", "--no-color", "-f", str(config.REPO / "noxfile.py"), *args]


def _start_root_preparation(names: list[str], in_root: set[str]):
    """Roots made for the first time take minutes (one compiles CPython), so
    they are made in the background while the native stages run; each root
    stage waits for its root's lock."""
    if not any(n in in_root and not requested_skip(n, True) for n in names) or privilege.root_prefix() is None:
        return None
    log = config.LOGS / "roots-prepare-background.log"
    log.parent.mkdir(parents=True, exist_ok=True)
    proc.say(f"preparing the Debian roots in the background; log: {log.relative_to(config.REPO)}")
    return subprocess.Popen(
        _nox("-s", "roots-prepare"),
        stdout=open(log, "wb"),
        stderr=subprocess.STDOUT,
        stdin=subprocess.DEVNULL,
        cwd=config.REPO,
        start_new_session=True,
    )


def run_all(names: list[str], in_root: set[str]) -> bool:
    """Runs the stages `names` in turn (those in `in_root` work in Debian
    roots) and prints the summary; whether all passed."""
    start = time.monotonic()
    background = _start_root_preparation(names, in_root)
    seconds: dict[str, float] = {}
    try:
        for name in names:
            t = time.monotonic()
            subprocess.run(_nox("-s", name), cwd=config.REPO, stdin=subprocess.DEVNULL)
            seconds[name] = time.monotonic() - t
    finally:
        if background and background.poll() is None:
            background.terminate()
    return _print_summary(names, seconds, time.monotonic() - start)


def _print_summary(names: list[str], seconds: dict[str, float], total_seconds: float) -> bool:
    passed = failures = 0
    lines, skipped = [], []
    for name in names:
        counts = stage_counts(name)
        bad = failed(counts)
        passed += counts.passed
        # A stage that failed without a failed test (ran nothing; skipped in CI) counts once.
        failures += counts.failed or int(bad)
        state = "FAILED" if bad else ("skipped" if counts.ran == 0 else "ok")
        lines.append(
            f"  {name:<22} {state:<8} {counts.passed:>6} passed {counts.failed:>4} failed "
            f"{counts.skipped:>4} skipped  {seconds.get(name, 0) / 60:5.1f} min"
            + (f"  ({counts.threaded} threaded)" if counts.threaded else "")
        )
        if counts.ran == 0:
            skipped += [f"  {name}: {reason}" for reason in counts.skip_reasons[:1]]
    proc.say("", f"=== summary ({total_seconds / 60:.1f} min)", *lines)
    if skipped:
        note = " (a skipped stage fails in CI)" if config.in_ci() else ""
        proc.say(f"skipped stages{note}:", *skipped)
    if passed + failures == 0:
        proc.say("no test ran at all")
        failures = 1
    proc.say(f"{passed} passed, {failures} failed")
    return failures == 0 and passed > 0


if __name__ == "__main__":  # pragma: no cover - `python -m harness.stages.summary` reprints it
    from .registry import stages

    os.chdir(config.REPO)
    sys.exit(0 if _print_summary([s.name for s in stages() if s.in_all], {}, 0.0) else 1)
