"""Test results as data: every stage leaves JUnit XML files in its own
directory under build/results, whoever wrote them (pytest --junitxml,
doctest -r=junit, or this module for checks that are not test runners), and
this is the one reader of them. No stage reads another's console output."""

from __future__ import annotations

import shutil
import time
import xml.etree.ElementTree as ET
from dataclasses import dataclass, field
from pathlib import Path

from . import config

HARNESS_FILE = "harness.xml"  # what StageReport writes in a stage's directory


@dataclass
class Counts:
    passed: int = 0
    failed: int = 0
    skipped: int = 0
    seconds: float = 0.0
    skip_reasons: list[str] = field(default_factory=list)
    threaded: int = 0  # tests run on several threads at once (pytest-run-parallel)

    def __iadd__(self, other: Counts) -> Counts:
        self.passed += other.passed
        self.failed += other.failed
        self.skipped += other.skipped
        self.seconds += other.seconds
        self.threaded += other.threaded
        self.skip_reasons += other.skip_reasons
        return self

    @property
    def ran(self) -> int:
        return self.passed + self.failed

    def __str__(self) -> str:
        return f"{self.passed} passed, {self.failed} failed, {self.skipped} skipped"


def read_junit(path: Path) -> Counts:
    """Counts the test cases of one JUnit file: a case with a failure or an
    error child failed, one with a skipped child was skipped, any other
    passed. Counting cases rather than trusting the suites' attributes reads
    every producer the same way (doctest writes one failure per assertion)."""
    counts = Counts()
    root = ET.parse(path).getroot()
    for case in root.iter("testcase"):
        counts.seconds += float(case.get("time") or 0.0)
        if case.find("failure") is not None or case.find("error") is not None:
            counts.failed += 1
        elif (skip := case.find("skipped")) is not None:
            counts.skipped += 1
            counts.skip_reasons.append(skip.get("message") or "")
        else:
            counts.passed += 1
    # The suite's conftest gives, as a property, how many tests ran threaded.
    for prop in root.iter("property"):
        if prop.get("name") == "tests_threaded":
            counts.threaded += int(prop.get("value") or 0)
    # pytest reports a collection error as a suite-level error without a case.
    for suite in root.iter("testsuite"):
        cases = sum(1 for _ in suite.iter("testcase"))
        errors = int(suite.get("errors") or 0) + int(suite.get("failures") or 0)
        if cases == 0 and errors:
            counts.failed += errors
    return counts


def stage_dir(stage: str) -> Path:
    return config.RESULTS / stage


def stage_counts(stage: str) -> Counts:
    """Everything a stage left, in every JUnit file below its directory
    (a stage that runs the whole harness elsewhere, the newcomer, keeps that
    run's files in subdirectories). An unreadable file is one failure."""
    total = Counts()
    for path in sorted(stage_dir(stage).rglob("*.xml")):
        try:
            total += read_junit(path)
        except (ET.ParseError, OSError) as error:
            total.failed += 1
            total.skip_reasons.append(f"unreadable results {path.name}: {error}")
    return total


class StageSkipped(Exception):
    """A stage that cannot run here, with the reason and the command that
    would run it where it can."""

    def __init__(self, reason: str, command: str = "") -> None:
        super().__init__(reason)
        self.reason = reason
        self.command = command

    def message(self) -> str:
        return f"{self.reason} (run it with: {self.command})" if self.command else self.reason


def _case(name: str, seconds: float) -> ET.Element:
    return ET.Element("testcase", classname="harness", name=name, time=f"{seconds:.3f}")


class StageReport:
    """The checks of one stage that are not test runners (a build, a type
    check, the GIL check, a runner that crashed or ran nothing), written as
    JUnit beside the runners' own files. Opening one clears the stage's
    results and logs, so nothing stale is counted."""

    def __init__(self, stage: str) -> None:
        self.stage = stage
        self.dir = stage_dir(stage)
        self.log_dir = config.LOGS / stage
        for d in (self.dir, self.log_dir):
            shutil.rmtree(d, ignore_errors=True)
            d.mkdir(parents=True)
        self._cases: list[ET.Element] = []
        self._start = time.monotonic()

    def xml_path(self, label: str) -> Path:
        """Where a runner of this stage writes its JUnit file."""
        return self.dir / f"{label}.xml"

    def log_path(self, label: str) -> Path:
        return self.log_dir / f"{label}.log"

    def passed(self, name: str, seconds: float = 0.0) -> None:
        self._cases.append(_case(name, seconds))
        self.write()

    def failed(self, name: str, message: str, output: str = "", seconds: float = 0.0) -> None:
        case = _case(name, seconds)
        ET.SubElement(case, "failure", message=message).text = output
        self._cases.append(case)
        print(f"FAILED: {self.stage}: {name}: {message}", flush=True)
        self.write()

    def skipped(self, name: str, reason: str) -> None:
        case = _case(name, 0.0)
        ET.SubElement(case, "skipped", message=reason)
        self._cases.append(case)
        print(f"SKIPPED: {self.stage}: {name}: {reason}", flush=True)
        self.write()

    def check(self, name: str, ok: bool, message: str = "", output: str = "") -> bool:
        """One check that passes or fails; returns whether it passed."""
        if ok:
            self.passed(name)
        else:
            self.failed(name, message or "failed", output)
        return ok

    def runner(self, label: str, returncode: int, xml: Path | None = None) -> Counts:
        """Books one test-runner process that exited with `returncode` and
        wrote `xml` (default: xml_path(label)). A timeout, a run that left
        no results or ran no test, and a non-zero exit without a failed test
        (a crash, a sanitizer stopping the process) each count as one failed
        check, so a broken run can never look clean."""
        xml = xml or self.xml_path(label)
        counts = Counts()
        if xml.is_file():
            try:
                counts = read_junit(xml)
            except ET.ParseError as error:
                self.failed(label, f"unreadable JUnit file {xml.name}: {error}")
                return counts
        if returncode in (124, 137, -9):
            self.failed(label, "timed out")
        elif not xml.is_file():
            self.failed(label, f"exited with status {returncode} and left no results")
        elif counts.ran == 0:
            self.failed(label, f"ran no test (exit {returncode})")
        elif returncode != 0 and counts.failed == 0:
            self.failed(label, f"exited with status {returncode} without a failed test")
        return counts

    def write(self) -> None:
        suite = ET.Element("testsuite", name=self.stage, time=f"{time.monotonic() - self._start:.3f}")
        suite.extend(self._cases)
        ET.ElementTree(suite).write(self.dir / HARNESS_FILE, encoding="utf-8", xml_declaration=True)
