"""The test command's stages, one nox session each; `nox -s all` runs them
all and prints the per-stage summary. `nox -l` lists them; each runs alone,
e.g. `nox -s core-asan`. The bodies live in harness/stages."""

from __future__ import annotations

import sys
from pathlib import Path

import nox

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import interpreters, stage  # noqa: E402
from harness.stages import core, docs, native, roots, release, sanitized, summary  # noqa: E402

nox.options.default_venv_backend = "venv"
nox.options.download_python = "never"     # interpreters come from this machine or Debian only
nox.options.reuse_venv = "yes"
nox.options.sessions = ["all"]


def _finish(session: nox.Session, counts) -> None:
    if stage.failed(counts):
        session.error(f"{counts}")


def _register_suites() -> None:
    for interp in interpreters.host_interpreters():
        def suite(session: nox.Session, interp=interp) -> None:
            _finish(session, stage.run(f"suite-{interp.tag}",
                                       lambda report: native.suite(session, report, interp)))

        def fuzz(session: nox.Session, interp=interp) -> None:
            _finish(session, stage.run(f"fuzz-{interp.tag}",
                                       lambda report: native.fuzz(session, report, interp)))

        nox.session(name=f"suite-{interp.tag}", python=str(interp.path))(suite)
        nox.session(name=f"fuzz-{interp.tag}", python=str(interp.path))(fuzz)


_register_suites()
_NEWEST = interpreters.newest_with_gil()
_NEWEST_PATH = str(_NEWEST.path) if _NEWEST else None


@nox.session(python=_NEWEST_PATH)
def quickstart(session: nox.Session) -> None:
    """Installs jadefox into this session's venv and runs examples/quickstart.py."""
    native.quickstart(session)


@nox.session(name="harness", python=_NEWEST_PATH)
def harness_tests(session: nox.Session) -> None:
    """The harness's own tests (tests/harness)."""
    _finish(session, stage.run("harness", lambda report: native.harness_tests(session, report)))


@nox.session(name="core-asan", python=_NEWEST_PATH)
def core_asan(session: nox.Session) -> None:
    """The C++ core's tests under AddressSanitizer and UBSan."""
    _finish(session, stage.run("core-asan", lambda report: core.run(session, report, "asan")))


@nox.session(name="core-tsan", python=_NEWEST_PATH)
def core_tsan(session: nox.Session) -> None:
    """The C++ core's tests under ThreadSanitizer."""
    _finish(session, stage.run("core-tsan", lambda report: core.run(session, report, "tsan")))


@nox.session(name="sanitized", python=_NEWEST_PATH)
def sanitized_module(session: nox.Session) -> None:
    """The module built with ASan+UBSan running tests/python and tests/fuzz."""
    _finish(session, stage.run("sanitized", lambda report: sanitized.run(session, report)))


def _register_roots() -> None:
    for name in roots.ROOT_STAGES:
        def root_stage(session: nox.Session, name=name) -> None:
            _finish(session, stage.run(f"root-{name}", lambda report: roots.run_root(report, name)))

        root_stage.__doc__ = roots.describe(name)
        nox.session(name=f"root-{name}", python=False)(root_stage)


_register_roots()


@nox.session(name="roots-prepare", python=False)
def roots_prepare(session: nox.Session) -> None:
    """Makes (or checks) every Debian root; `all` starts this in the background."""
    _finish(session, stage.run("roots-prepare", roots.prepare_all))


@nox.session(python=False)
def newcomer(session: nox.Session) -> None:
    """The README's two commands in a git clone on a fresh Debian root."""
    _finish(session, stage.run("newcomer", roots.run_newcomer))


@nox.session(name="release", python=False)
def release_artifacts(session: nox.Session) -> None:
    """The sdist and every wheel: built, checked, installed offline and tested."""
    _finish(session, stage.run("release", release.run))


@nox.session(name="docs", python=_NEWEST_PATH)
def docs_site(session: nox.Session) -> None:
    """The documentation site built (warnings are errors), every example run, every page loaded in Chromium."""
    _finish(session, stage.run("docs", lambda report: docs.run(session, report)))


@nox.session(name="bench-quick", python=_NEWEST_PATH)
def bench_quick(session: nox.Session) -> None:
    """The benchmark's short preset: its correctness checks, and the ratio report."""
    _finish(session, stage.run("bench-quick", lambda report: native.bench_quick(session, report)))


@nox.session(python=_NEWEST_PATH)
def bench(session: nox.Session) -> None:
    """The full benchmark (pyperf): ratio table and picture; not part of `all`."""
    native.bench_full(session)


@nox.session(name="all", python=False)
def all_stages(session: nox.Session) -> None:
    """Every stage in turn, then the per-stage summary and "N passed, N failed"."""
    if not summary.run_all():
        session.error("some stage failed")
