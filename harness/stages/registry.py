"""Every stage of the test command, each named once, here: noxfile.py
registers one nox session per entry, `all` runs the entries marked in_all
in this order and summarises them, and JADEFOX_SKIP=roots skips the
entries marked in_root. A new stage is one entry here and its body in
harness/stages."""

from __future__ import annotations

import functools
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Literal

from .. import interpreters
from . import core_tests, docs, lint, native, release, root_stages, sanitized, summary


@dataclass(frozen=True)
class Stage:
    name: str
    doc: str  # one line: what it runs (`python3 dev.py` lists it)
    # body(session, report) fills the stage's results; a stage that books
    # none (booked=False) has body(session) and only succeeds or fails.
    body: Callable[..., None]
    python: str | None | Literal[False]  # the venv's interpreter; False: no venv
    in_all: bool = True  # `all` runs it
    in_root: bool = False  # works in Debian roots: JADEFOX_SKIP=roots names it
    booked: bool = True


def _run_all(session: Any) -> None:
    if not summary.run_all([s.name for s in stages() if s.in_all], {s.name for s in stages() if s.in_root}):
        session.error("some stage failed")


@functools.cache
def stages() -> tuple[Stage, ...]:
    """Every stage, those of `all` in the order it runs them."""
    hosts = interpreters.host_interpreters()
    newest = interpreters.newest_with_gil()
    on_newest = str(newest.path) if newest else None
    inner_loop = (
        [
            Stage(
                "test",
                f"The inner loop: tests/python with {hosts[0].tag}, built once per change "
                "(pytest's options after --); not part of `all`.",
                functools.partial(native.quick_test, interp=hosts[0]),
                str(hosts[0].path),
                in_all=False,
            )
        ]
        if hosts
        else []
    )
    return (
        *inner_loop,
        *(
            Stage(
                f"suite-{i.tag}",
                f"jadefox built with warnings as errors for {i.tag}: tests/python, "
                "mypy --strict over the typing example, stubtest.",
                functools.partial(native.suite, interp=i),
                str(i.path),
            )
            for i in hosts
        ),
        Stage("harness", "The harness's own tests (tests/harness).", native.harness_tests, on_newest),
        Stage(
            "lint",
            "ruff and mypy over the harness, bench/ and tests/; clang-format over core/ and module/.",
            lint.run,
            on_newest,
        ),
        Stage(
            "core-asan",
            "The C++ core's tests under AddressSanitizer and UBSan (doctest's options after --).",
            functools.partial(core_tests.run, variant="asan"),
            on_newest,
        ),
        Stage(
            "core-tsan",
            "The C++ core's tests under ThreadSanitizer (doctest's options after --).",
            functools.partial(core_tests.run, variant="tsan"),
            on_newest,
        ),
        *(
            Stage(
                f"root-{name}",
                root_stages.describe(name),
                lambda session, report, name=name: root_stages.run_root(report, name, tuple(session.posargs)),
                False,
                in_root=True,
            )
            for name in root_stages.ROOT_STAGES
        ),
        Stage(
            "newcomer",
            "The README's two commands in a git clone on a fresh Debian root.",
            lambda session, report: root_stages.run_newcomer(report),
            False,
            in_root=True,
        ),
        Stage(
            "sanitized",
            "The module built with ASan+UBSan running tests/python and tests/fuzz.",
            sanitized.run,
            on_newest,
        ),
        *(
            Stage(
                f"fuzz-{i.tag}",
                f"The Hypothesis fuzz tests (tests/fuzz) with {i.tag}.",
                functools.partial(native.fuzz, interp=i),
                str(i.path),
            )
            for i in hosts
        ),
        Stage(
            "release",
            "The sdist and every wheel: built, checked, installed offline and tested.",
            lambda session, report: release.run(report),
            False,
        ),
        Stage(
            "docs",
            "The documentation site: Sphinx with warnings as errors, every example run and compared, "
            "every page loaded in headless Chromium.",
            docs.run,
            on_newest,
        ),
        Stage(
            "bench-quick",
            "The benchmark's short preset: its correctness checks, and the ratio report.",
            native.bench_quick,
            on_newest,
        ),
        # Not part of `all`:
        Stage(
            "roots-prepare",
            "Makes (or checks) every Debian root; `all` starts this in the background.",
            lambda session, report: root_stages.prepare_all(report),
            False,
            in_all=False,
            in_root=True,
        ),
        Stage(
            "quickstart",
            "Installs jadefox into this session's venv and runs examples/quickstart.py.",
            native.quickstart,
            on_newest,
            in_all=False,
            booked=False,
        ),
        Stage(
            "bench",
            "The full benchmark (pyperf): ratio table and picture; not part of `all`.",
            native.bench_full,
            on_newest,
            in_all=False,
            booked=False,
        ),
        Stage(
            "all",
            'Every stage in turn, then the per-stage summary and "N passed, N failed".',
            _run_all,
            False,
            in_all=False,
            booked=False,
        ),
    )
