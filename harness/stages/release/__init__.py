"""The release stage: the sdist and every wheel, made and tested the way a
user gets them.

The sdist is built from the work tree; every wheel is built from the
unpacked sdist, offline: this machine's (one per CPython with the GIL found
here) in a venv holding the build tools, and the Debian roots' (cp313 on
i686 from trixie, cp314 and cp315 on x86_64 and i686 from forky,
free-threaded cp313t) with Debian's own build tools inside the root. Every
wheel is compiled by zig (harness/zig.py) for glibc 2.28, whatever glibc the
place it is built in has; inside a root the host's zig runs (a static x86-64
executable, so an i386 root runs it too) from a copy kept in the root.
auditwheel repairs each to the manylinux tag its symbols allow, twine and
harness.artifacts check them, and one wheel is built a second
time from a longer directory and must come out byte for byte the same. Each
wheel is then installed with pip --no-index, binary only, into a fresh venv
of its own interpreter, with stand-in compilers that fail if called, and
tests/python, taken from the sdist, runs against it from a directory outside
any source tree. The cp313 wheels are then tested the same way on
Debian 11 (glibc 2.31, the oldest the archive serves), x86_64 and i686, with
a CPython built there from source: proof of the manylinux tag, not an
inference from it.

Timestamps in the artifacts are SOURCE_DATE_EPOCH: the environment's, else
the last commit's time, else a constant."""

from __future__ import annotations

import contextlib
import shutil

from ... import config, dependencies, interpreters, proc
from ...results import StageReport
from .checks import check_reproducible
from .install_test import check_and_test, make_stand_in_compilers, outside_any_tree
from .old_glibc import test_on_old_glibc
from .places import DIST, OLD_GLIBC_ROOTS, WORK, size_text, source_date_epoch, tools_venv
from .wheel_build import build_sdist, host_wheels, install_zig, root_wheels, roots_for_release


def run(report: StageReport) -> None:
    epoch = source_date_epoch()
    for d in (DIST, WORK):
        shutil.rmtree(d, ignore_errors=True)
        d.mkdir(parents=True)
    newest = interpreters.newest_with_gil()
    if newest is None:
        raise RuntimeError(f"no CPython >= {config.MIN_PYTHON} with the GIL on this machine")
    tools = tools_venv(report, newest.path, "release-tools", dependencies.group("release"))
    if tools is None:
        return
    proc.say(f"SOURCE_DATE_EPOCH={epoch}")
    sdist = build_sdist(report, tools, epoch)
    stand_ins = WORK / "stand-in-compilers"
    make_stand_in_compilers(stand_ins)
    wheelhouse = WORK / "wheelhouse"
    zig_exe = install_zig(report, tools)
    if zig_exe is None:
        return
    wheels, builders = host_wheels(report, tools, zig_exe, sdist, epoch, wheelhouse)

    with contextlib.ExitStack() as in_use:
        usable = roots_for_release(report, in_use)
        wheels += root_wheels(report, tools, zig_exe, sdist, stand_ins, epoch, usable)
        made = {w.key: w.path for w in wheels if w.path}
        first = wheels[0] if wheels else None
        if first and first.path and first.key in builders:
            check_reproducible(report, tools, first, builders[first.key], sdist, epoch)
        log = report.log_path("twine")
        rc = proc.run(
            [tools, "-m", "twine", "--no-color", "check", "--strict", sdist, *made.values()], log=log, show=False
        )
        report.check("twine check", rc == 0, f"exit status {rc}", proc.tail(log))
        with outside_any_tree() as outside:
            for wheel in wheels:
                if wheel.path:
                    check_and_test(report, wheel, stand_ins, outside, wheelhouse)
        for root_name in OLD_GLIBC_ROOTS:
            if root_name in usable:
                test_on_old_glibc(report, tools, root_name, wheels, sdist, stand_ins)

    report.check("every wheel made", len(made) == len(wheels), f"{len(made)} of {len(wheels)} wheels were made")
    proc.say(
        "",
        "release artifacts in dist/:",
        f"  {sdist.name} ({size_text(sdist)})",
        *(f"  {path.name} ({size_text(path)})" for path in made.values()),
    )
