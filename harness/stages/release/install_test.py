"""Installing each wheel the way a user does (pip --no-index, binary only,
into a fresh venv of its own interpreter, with stand-in compilers that fail
if called) and running tests/python against it from outside any source tree."""

from __future__ import annotations

import contextlib
import shutil
import tempfile
from collections.abc import Iterator
from pathlib import Path

from ... import config, dependencies, proc
from ...place import steps
from ...results import StageReport
from .checks import check_wheel
from .places import IMPORTED_FROM, STAND_IN_COMPILERS, Wheel, size_text


def install_and_test(
    report: StageReport, wheel: Wheel, stand_ins: str, test_dir: str, wheelhouse: str | None, label: str = ""
) -> None:
    """A fresh venv of the wheel's interpreter in `test_dir`, the wheel
    installed there offline (from `wheelhouse` with the test tools; without
    one, the interpreter's own test tools through system site-packages),
    and tests/python, copied out of the sdist, run from `test_dir`. The
    checks are named by `label`, by default the wheel's key."""
    assert wheel.path
    label = label or wheel.key
    place, venv = wheel.place, f"{test_dir}/venv"
    in_wheel = place.bring(wheel.path, wheel.work)
    make_venv = (
        [wheel.python, "-m", "venv", venv]
        if wheelhouse
        else [wheel.python, "-m", "venv", "--system-site-packages", "--without-pip", venv]
    )
    find = ["--find-links", wheelhouse, *dependencies.group("test")] if wheelhouse else []
    env = {
        "PATH": f"{stand_ins}:{venv}/bin:{place.search_path()}",
        "CC": "false",
        "CXX": "false",
        **config.PIP_QUIET_ENV,
    }
    if wheel.free_threaded:
        env["PYTHONWARNINGS"] = config.GIL_REENABLED_IS_ERROR
    python = f"{venv}/bin/python"
    if not steps(
        report,
        f"{label}: offline install",
        place,
        [
            ("fresh", ["sh", "-c", 'rm -rf "$1" && mkdir -p "$1/check"', "fresh", test_dir]),
            ("venv", make_venv),
            (
                "pip install",
                [python, "-m", "pip", "install", "-q", "--no-index", "--only-binary", ":all:", in_wheel, *find],
            ),
            ("tests", ["cp", "-r", f"{wheel.source}/tests", f"{test_dir}/check/"]),
        ],
        env=env,
    ):
        return
    log = report.log_path(f"{label}-import")
    rc = place.run([python, "-P", "-c", IMPORTED_FROM, f"{venv}/"], log=log, env=env, cwd=f"{test_dir}/check")
    report.check(f"{label}: imported from its venv", rc == 0, f"jadefox is not the installed one: {proc.tail(log, 3)}")
    xml = f"{test_dir}/pytest.xml"
    rc = place.run(
        [python, "-P", "-m", "pytest", "tests/python", "-q", "-p", "no:cacheprovider", f"--junitxml={xml}"],
        log=report.log_path(f"{label}-pytest"),
        env=env,
        cwd=f"{test_dir}/check",
        timeout=config.TEST_TIMEOUT,
        show=True,
    )
    place.collect(report, f"pytest-{label}", xml, rc)


def check_and_test(report: StageReport, wheel: Wheel, stand_ins: Path, outside: Path, wheelhouse: Path) -> None:
    assert wheel.path
    proc.say("", f"--- {wheel.key}: {wheel.path.name} ({size_text(wheel.path)})")
    check_wheel(report, wheel)
    if wheel.place.root is None:
        install_and_test(report, wheel, str(stand_ins), str(outside / wheel.key), str(wheelhouse))
    else:
        install_and_test(report, wheel, f"{wheel.work}/{stand_ins.name}", f"{wheel.work}/test", None)


def make_stand_in_compilers(directory: Path) -> None:
    directory.mkdir(parents=True, exist_ok=True)
    for tool in STAND_IN_COMPILERS:
        path = directory / tool
        path.write_text(f'#!/bin/sh\necho "{tool}: no compiler here (binary install only)" >&2\nexit 1\n')
        path.chmod(0o755)


@contextlib.contextmanager
def outside_any_tree() -> Iterator[Path]:
    """A temporary directory outside the repository, for this machine's tests."""
    path = Path(tempfile.mkdtemp(prefix="jadefox-release-"))
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)
