"""Building the release: the sdist from the work tree, and every wheel from
the unpacked sdist, offline, with zig (this machine's and the Debian
roots'), each repaired by auditwheel."""

from __future__ import annotations

import contextlib
import os
import platform
import shutil
from collections.abc import Sequence
from pathlib import Path

from ... import artifacts, config, dependencies, interpreters, privilege, proc, roots, zig
from ...place import Place, steps
from ...results import StageReport, StageSkipped
from .. import root_stages
from .places import (
    DIST,
    IN_ROOT,
    MACHINE_TAGS,
    OLD_GLIBC_ROOTS,
    RERUN,
    ROOT_WHEELS,
    WORK,
    ZIG_CACHE,
    ZIG_CACHE_IN_ROOT,
    ZIG_IN_ROOT,
    Wheel,
    book_problems,
    download_test_tools,
    tools_venv,
)


def build_sdist(report: StageReport, tools: Path, epoch: int) -> Path:
    log = report.log_path("sdist")
    rc = proc.run(
        [tools, "-m", "build", "--sdist", "--no-isolation", "-o", DIST, config.REPO],
        log=log,
        env={"SOURCE_DATE_EPOCH": str(epoch)},
        cwd=config.REPO,
        show=False,
    )
    sdists = sorted(DIST.glob("*.tar.gz"))
    if not report.check(
        "sdist: build", rc == 0 and len(sdists) == 1, f"exit status {rc}, {len(sdists)} sdists", proc.tail(log)
    ):
        raise RuntimeError("no sdist, so no wheel can be built")
    book_problems(report, "sdist: contents", artifacts.sdist_problems(sdists[0], epoch))
    return sdists[0]


def build_wheel(
    report: StageReport, name: str, wheel: Wheel, sdist: str, build_python: str, epoch: int, raw: str
) -> bool:
    """The raw wheel into `raw` (in the wheel's place), from the sdist
    unpacked there, by the wheel's zig toolchain, as the check `name`;
    `build_python` has the build tools."""
    tc = wheel.toolchain
    assert tc is not None
    return steps(
        report,
        name,
        wheel.place,
        [
            (
                "unpack",
                [
                    "sh",
                    "-c",
                    'rm -rf "$1" && mkdir -p "$1" && tar -C "$1" -xzf "$2"',
                    "unpack",
                    f"{wheel.work}/unpacked",
                    sdist,
                ],
            ),
            (
                "pip wheel",
                [
                    build_python,
                    "-m",
                    "pip",
                    "wheel",
                    "-v",
                    "--no-index",
                    "--no-build-isolation",
                    "--no-deps",
                    "--no-cache-dir",
                    *tc.config_settings,
                    wheel.source,
                    "-w",
                    raw,
                ],
            ),
        ],
        env={"SOURCE_DATE_EPOCH": str(epoch), **config.PIP_QUIET_ENV, **tc.env},
    )


def repair(report: StageReport, tools: Path, name: str, raw: Path, epoch: int) -> Path | None:
    """auditwheel's repaired wheel (into a fresh directory beside `raw`),
    tagged with the most compatible manylinux tag its symbols allow; it
    rewrites the zip, stamping its members with SOURCE_DATE_EPOCH."""
    built = sorted(raw.glob("*.whl"))
    if len(built) != 1:
        report.failed(f"{name}: repair", f"{len(built)} wheels in {raw}")
        return None
    out = raw.parent / "repaired"
    shutil.rmtree(out, ignore_errors=True)
    log = report.log_path(f"{name}-repair")
    rc = proc.run(
        [tools.parent / "auditwheel", "repair", "-w", out, built[0]],
        log=log,
        env={"PATH": f"{tools.parent}{os.pathsep}{os.environ['PATH']}", "SOURCE_DATE_EPOCH": str(epoch)},
        show=False,
    )
    repaired = sorted(out.glob("*.whl"))
    if not report.check(
        f"{name}: repair", rc == 0 and len(repaired) == 1, f"auditwheel exit status {rc}", proc.tail(log)
    ):
        return None
    return repaired[0]


def to_dist(path: Path) -> Path:
    return Path(shutil.move(path, DIST / path.name))


def install_zig(report: StageReport, tools: Path) -> Path | None:
    """The zig executable, installed into the release tools' venv; None,
    booked as a failed check, when pip cannot install it."""
    log = report.log_path("ziglang")
    rc = zig.install(tools, log)
    if not report.check("zig: installed", rc == 0, f"pip install {zig.ZIGLANG} failed", proc.tail(log)):
        return None
    return zig.executable(tools)


def host_wheels(
    report: StageReport, tools: Path, zig_exe: Path, sdist: Path, epoch: int, wheelhouse: Path
) -> tuple[list[Wheel], dict[str, Path]]:
    """This machine's wheels, and the venv interpreter each was built with."""
    arch = MACHINE_TAGS[platform.machine()]
    toolchain = zig.toolchain(zig_exe, arch, WORK / f"zig-{arch}", ZIG_CACHE)
    made, builders = [], {}
    for interp in interpreters.host_interpreters():
        if interp.free_threaded:  # the free-threaded wheel comes from its root
            continue
        wheel = Wheel(interp.tag, arch, Place(), str(interp.path), str(WORK / f"{interp.tag}-{arch}"), toolchain)
        made.append(wheel)
        build_py = tools_venv(report, interp.path, f"release-build-{interp.tag}", dependencies.group("build"))
        if build_py is None:
            continue
        builders[wheel.key] = build_py
        # The test venvs install from here, offline.
        download_test_tools(report, wheel.key, build_py, wheelhouse)
        raw = f"{wheel.work}/raw"
        if build_wheel(report, f"{wheel.key}: wheel build", wheel, str(sdist), str(build_py), epoch, raw):
            repaired = repair(report, tools, wheel.key, Path(raw), epoch)
            wheel.path = to_dist(repaired) if repaired else None
    return made, builders


def root_wheel_names() -> list[str]:
    """The roots to build wheels in; StageSkipped (for the root wheels only)
    when roots are skipped by request or this process cannot act as root."""
    if "roots" in config.skipped_by_request():
        raise StageSkipped(f"JADEFOX_SKIP={config.skipped_by_request_text()}", RERUN)
    if privilege.root_prefix() is None:
        raise StageSkipped("needs root or passwordless sudo (Debian roots: chroot, mounts)", f"sudo {RERUN}")
    return list(ROOT_WHEELS)


def zig_into_root(report: StageReport, place: Place, zig_exe: Path, key: str) -> bool:
    """The host's ziglang package at ZIG_IN_ROOT in the root, unless that
    pinned version is there already: copied (as hard links where the file
    system allows) under another name and renamed, so a build using the
    root at the same time never sees half of it; the zig cache made."""
    inside = place.host_path(ZIG_IN_ROOT)
    log = report.log_path(f"{key}-zig")
    if not (inside / "zig").is_file():
        partial = inside.with_name(f"{inside.name}.new{os.getpid()}")
        roots.safe_remove(partial)
        roots.make_dir(inside.parent)
        prefix = privilege.root_prefix() or ()
        copied = any(
            proc.run([*prefix, "cp", how, zig_exe.parent, partial], log=log, show=False) == 0 for how in ("-al", "-a")
        )
        # mv -T fails when another run got there first, which is as good.
        moved = copied and proc.run([*prefix, "mv", "-T", partial, inside], log=log, show=False) == 0
        roots.safe_remove(partial)
        if not (inside / "zig").is_file():
            return report.check(
                f"{key}: zig in the root",
                False,
                f"could not copy {zig_exe.parent} (copied {copied}, moved {moved})",
                proc.tail(log),
            )
    roots.make_dir(place.host_path(ZIG_CACHE_IN_ROOT))
    return report.check(f"{key}: zig in the root", True)


def root_wheel(
    report: StageReport, tools: Path, zig_exe: Path, name: str, sdist: Path, stand_ins: Path, epoch: int
) -> Wheel:
    target = root_stages.PLATFORMS[name]
    root = roots.get(target.root)
    place = Place(root)
    arch = MACHINE_TAGS[root.arch]
    # Several wheels may come from one root: each has a directory of its own.
    work = f"{IN_ROOT}/{name}"
    wheel = Wheel(target.interpreter.pytag, arch, place, target.python, work)
    if (
        place.run(
            ["sh", "-c", 'rm -rf "$1" && mkdir -p "$1"', "fresh", work], log=report.log_path(f"{wheel.key}-fresh")
        )
        != 0
    ):
        report.failed(f"{wheel.key}: wheel build", f"could not make {work} in the root {root.name}")
        return wheel
    if not zig_into_root(report, place, zig_exe, wheel.key):
        return wheel
    wrappers = f"{work}/zig-{arch}"
    tc = zig.toolchain(
        Path(ZIG_IN_ROOT) / "zig", arch, place.host_path(wrappers), Path(ZIG_CACHE_IN_ROOT), seen_as=Path(wrappers)
    )
    wheel.toolchain = tc
    in_sdist = place.bring(sdist, work)
    place.bring(stand_ins, work)
    build_py = f"{work}/build-venv/bin/python"
    raw = f"{work}/raw"
    if not steps(
        report,
        f"{wheel.key}: build venv",
        place,
        [("venv", [target.python, "-m", "venv", "--without-pip", "--system-site-packages", f"{work}/build-venv"])],
    ):
        return wheel
    if build_wheel(report, f"{wheel.key}: wheel build", wheel, in_sdist, build_py, epoch, raw):
        repaired = repair(report, tools, wheel.key, place.host_path(raw), epoch)
        wheel.path = to_dist(repaired) if repaired else None
    return wheel


def root_wheels(
    report: StageReport, tools: Path, zig_exe: Path, sdist: Path, stand_ins: Path, epoch: int, usable: Sequence[str]
) -> list[Wheel]:
    """The wheels of the Debian roots among `usable`."""
    return [
        root_wheel(report, tools, zig_exe, name, sdist, stand_ins, epoch)
        for name in ROOT_WHEELS
        if root_stages.PLATFORMS[name].root in usable
    ]


def roots_for_release(report: StageReport, in_use: contextlib.ExitStack) -> list[str]:
    """The roots that build wheels and those that test them on an old
    glibc, all made at once, each in use (nothing remakes it) until
    `in_use` closes; none, with the checks booked as skipped, when roots are
    skipped by request or this process cannot act as root."""
    try:
        names = root_wheel_names()
    except StageSkipped as skipped:
        book_skipped_roots(report, skipped)
        return []
    needed = sorted({root_stages.PLATFORMS[n].root for n in names} | set(OLD_GLIBC_ROOTS))
    return roots_in_use(report, needed, in_use)


def roots_in_use(report: StageReport, needed: Sequence[str], in_use: contextlib.ExitStack) -> list[str]:
    """The roots among `needed` that are ready (made now when missing or
    stale) and stay in use until `in_use` closes; each one that is not is a
    failed check."""
    try:
        roots.prepare(needed, report.log_dir)
    except RuntimeError as error:
        failed = set(getattr(error, "failed", needed))
        for root in sorted(failed):
            report.failed(f"root {root}", str(error))
        needed = [r for r in needed if r not in failed]
    usable = []
    for root in needed:
        try:
            in_use.enter_context(roots.using(root))
            usable.append(root)
        except RuntimeError as error:
            report.failed(f"root {root}", str(error))
    return usable


def book_skipped_roots(report: StageReport, skipped: StageSkipped) -> None:
    for check in (
        *(f"wheel of the root {n}" for n in ROOT_WHEELS),
        *(f"wheels tested on the root {n}" for n in OLD_GLIBC_ROOTS),
    ):
        if config.in_ci():  # CI must never pass by skipping
            report.failed(check, f"skipped in CI: {skipped.message()}")
        else:
            report.skipped(check, skipped.message())
