"""One stage of the test command: its results directory opened fresh, its
body run, every way it can end booked as JUnit, and its counts returned.
The nox sessions of noxfile.py are thin wrappers around this."""

from __future__ import annotations

import time
import traceback
from collections.abc import Callable

from . import config, proc
from .results import Counts, StageReport, StageSkipped, stage_counts


def requested_skip(stage: str, in_root: bool) -> bool:
    """Whether JADEFOX_SKIP names the stage; "roots" names every stage that
    works in Debian roots (the newcomer's own run uses it: roots do not nest)."""
    words = config.skipped_by_request()
    return stage in words or ("roots" in words and in_root)


def run(stage: str, body: Callable[[StageReport], None], in_root: bool = False) -> Counts:
    """Runs body(report) for `stage` and returns what the stage left. A
    StageSkipped from the body, or JADEFOX_SKIP naming the stage, books the
    stage as skipped; any other exception is one failure with its
    traceback."""
    start = time.monotonic()
    report = StageReport(stage)
    proc.say("", f"=== {stage}")
    if requested_skip(stage, in_root):
        report.skipped(stage, f"skipped: JADEFOX_SKIP={config.skipped_by_request_text()}")
    else:
        try:
            body(report)
        except StageSkipped as skipped:
            report.skipped(stage, skipped.message())
        except Exception as error:  # noqa: BLE001 - any error is a failed stage, reported whole
            report.failed(stage, f"{type(error).__name__}: {error}", traceback.format_exc())
    counts = stage_counts(stage)
    proc.say(f"--- {stage}: {counts} in {time.monotonic() - start:.1f} s")
    return counts


def failed(counts: Counts) -> bool:
    """A stage fails on a failed test, on running nothing, and in CI on
    being skipped."""
    if counts.failed:
        return True
    if counts.ran == 0 and counts.skipped == 0:
        return True
    return config.in_ci() and counts.ran == 0
