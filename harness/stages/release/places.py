"""Where the release's wheels are built and tested (this machine or a
Debian root), the wheels themselves, and the steps every part of the
release books as checks."""

from __future__ import annotations

import os
import shutil
import subprocess
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

from ... import artifacts, config, dependencies, platforms, proc, roots, zig
from ...place import Place
from ...results import StageReport
from .. import root_stages

DIST = config.REPO / "dist"


WORK = config.BUILD / "release"


# The wheels built in Debian roots, by the name of the root stage that tests
# the same interpreter there (harness.stages.root_stages.PLATFORMS).
ROOT_WHEELS = tuple(name for name, p in root_stages.PLATFORMS.items() if p.interpreter.wheel)


# The roots with the oldest glibc the archive serves, where wheels made
# elsewhere are installed and tested; each has its own CPython, of the
# version (and so the wheel) named.
OLD_GLIBC_ROOTS = tuple(r.name for r in platforms.ROOTS.values() if r.purpose == platforms.OLD_GLIBC)


# Where the release work happens inside a root: one directory per checkout,
# since the roots are shared and another checkout's release stage may be
# using the same root at the same time.
IN_ROOT = roots.work_dir("release")


# zig inside a root: its package (a hard-linked copy, one per pinned
# version, kept between runs while the root lives) and its cache of the
# runtime libraries it compiles once per target (minutes), kept in the root
# for the same reason; zig's cache takes concurrent builds.
ZIG_IN_ROOT = f"/opt/jadefox-{zig.ZIGLANG.replace('==', '-')}"


ZIG_CACHE_IN_ROOT = "/var/cache/jadefox-zig"


# zig's cache for this machine's wheels, kept across runs.
ZIG_CACHE = config.ZIG_CACHE


# The timestamp without git: 2026-01-01.
FALLBACK_EPOCH = 1767225600


# The wheel's machine tag for Debian's architecture names and this machine's.
MACHINE_TAGS = {
    **{m.debian: m.wheel for m in platforms.MACHINES.values()},
    **{m.wheel: m.wheel for m in platforms.MACHINES.values()},
}


# Every compiler and build tool a source build could reach for; an install
# that gets that far meets a stand-in that fails loudly.
STAND_IN_COMPILERS = (
    "cc",
    "c++",
    "gcc",
    "g++",
    "clang",
    "clang++",
    "cmake",
    "ninja",
    "make",
    *(f"{m.gnu}-{cc}" for m in platforms.MACHINES.values() for cc in ("gcc", "g++")),
)


RERUN = "python3 dev.py -s release"


# Run in the test directory: exits 0 when the jadefox imported is the one
# installed in the venv given as its argument (not one from a source tree).
IMPORTED_FROM = "import jadefox, sys; print(jadefox.__file__); sys.exit(not jadefox.__file__.startswith(sys.argv[1]))"


@dataclass
class Wheel:
    """One wheel of the release and where it was made."""

    pytag: str  # cp313, cp313t
    arch: str  # x86_64, i686
    place: Place
    python: str  # the interpreter it is for, as seen in `place`
    work: str  # its work directory, as seen in `place`
    toolchain: zig.Toolchain | None = None  # its compiler, once set up
    path: Path | None = None  # the repaired wheel in dist/, once made

    @property
    def key(self) -> str:
        return f"{self.pytag}-{self.arch}"

    @property
    def source(self) -> str:
        """The unpacked sdist's tree it is built from, as seen in `place`."""
        return f"{self.work}/unpacked/{artifacts.dist_name()}"

    @property
    def free_threaded(self) -> bool:
        return self.pytag.endswith("t")


def source_date_epoch() -> int:
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    try:
        out = subprocess.run(
            ["git", "-C", config.REPO, "log", "-1", "--format=%ct"], capture_output=True, text=True, timeout=30
        )
    except OSError:
        return FALLBACK_EPOCH
    return int(out.stdout) if out.returncode == 0 and out.stdout.strip() else FALLBACK_EPOCH


def book_problems(report: StageReport, name: str, problems: Sequence[str]) -> bool:
    for p in problems:
        proc.say(f"  {name}: {p}")
    return report.check(name, not problems, "; ".join(problems[:3]), "\n".join(problems))


def python_version(python: Path) -> str:
    if not python.exists():
        return ""
    return subprocess.run([python, "-c", "import sys; print(sys.version)"], capture_output=True, text=True).stdout


def tools_venv(report: StageReport, python: Path, name: str, packages: Sequence[str]) -> Path | None:
    """The interpreter of .venv/NAME (made, or made again when its
    interpreter changed) holding `packages`; None, booked as a failed
    check, when that cannot be done."""
    venv = config.REPO / ".venv" / name
    py = venv / "bin" / "python"
    check = f"{name}: tools"
    if python_version(py) != python_version(python) or not python_version(py):
        shutil.rmtree(venv, ignore_errors=True)
        log = report.log_path(f"{name}-venv")
        if proc.run([python, "-m", "venv", venv], log=log, show=False) != 0:
            report.failed(check, f"could not make {venv}", proc.tail(log))
            return None
    log = report.log_path(f"{name}-pip")
    rc = proc.retry(
        f"pip install into {venv}",
        lambda: proc.run(
            [py, "-m", "pip", "install", "--retries", "5", "-q", *packages],
            log=log,
            env=config.PIP_QUIET_ENV,
            show=False,
        ),
    )
    return py if report.check(check, rc == 0, f"pip install {' '.join(packages)} failed", proc.tail(log)) else None


def size_text(path: Path) -> str:
    return f"{path.stat().st_size / 1024:.0f} KiB"


def download_test_tools(
    report: StageReport, key: str, python: Path, wheelhouse: Path, target: Sequence[str] = ()
) -> bool:
    """The test tools' wheels into `wheelhouse`, for `python`'s own
    platform or for the one `target` (pip download's --platform,
    --python-version, ... options) names."""
    log = report.log_path(f"{key}-wheelhouse")
    argv: list[str | os.PathLike[str]] = [
        python,
        "-m",
        "pip",
        "download",
        "--retries",
        "5",
        "-q",
        "--only-binary",
        ":all:",
        *target,
        "-d",
        wheelhouse,
        *dependencies.group("test"),
    ]
    rc = proc.retry(
        "pip download of the test tools", lambda: proc.run(argv, log=log, env=config.PIP_QUIET_ENV, show=False)
    )
    return report.check(f"{key}: test tools downloaded", rc == 0, "pip download failed", proc.tail(log))


def target_platform(root: platforms.Root) -> list[str]:
    """pip download's options for wheels that install on an old-glibc
    root's CPython, its machine and its glibc: some test tools have
    compiled wheels for some platforms only (and pure ones for the rest)."""
    assert root.cpython is not None and root.glibc is not None
    major, minor = root.glibc
    return [
        "--platform",
        f"manylinux_{major}_{minor}_{root.machine.wheel}",
        "--python-version",
        root.cpython.version,
        "--implementation",
        "cp",
        "--abi",
        root.cpython.pytag,
    ]
