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
import os
import platform
import shutil
import subprocess
import tempfile
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path

from .. import artifacts, config, dependencies, interpreters, platforms, privilege, proc, roots, zig
from ..results import StageReport, StageSkipped
from . import root_stages

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
IN_ROOT = f"/jadefox-release-{config.CHECKOUT}"
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


# --- where wheels are built and tested -----------------------------------------


@dataclass(frozen=True)
class Place:
    """This machine (root None) or a Debian root: runs commands and maps
    paths as seen there to paths on this machine."""

    root: roots.Root | None = None

    def run(
        self,
        argv: Sequence[str | os.PathLike[str]],
        *,
        log: Path,
        env: Mapping[str, str] | None = None,
        cwd: str | None = None,
        timeout: float | None = None,
        show: bool = False,
    ) -> int:
        if self.root is None:
            return proc.run(argv, log=log, env=env, cwd=Path(cwd) if cwd else None, timeout=timeout, show=show)
        return roots.run(
            self.root, [os.fspath(a) for a in argv], env=env, log=log, timeout=timeout, show=show, cwd=cwd or "/"
        )

    def host_path(self, path: str) -> Path:
        return Path(path) if self.root is None else roots.root_dir(self.root) / path.lstrip("/")

    def search_path(self) -> str:
        return os.environ["PATH"] if self.root is None else roots.BASE_ENV["PATH"]

    def bring(self, source: Path, dest: str) -> str:
        """The path, as seen here, of a file of this machine copied to
        `dest` (a directory); on this machine the file itself."""
        if self.root is None:
            return str(source)
        inside = f"{dest.rstrip('/')}/{source.name}"
        roots.copy_in(source, self.host_path(inside))
        return inside

    def fetch(self, path: str, dest: Path) -> bool:
        """Copies a file this place left at `path` to `dest` on this
        machine; False when there is none."""
        if self.root is None:
            if not Path(path).is_file():
                return False
            shutil.copyfile(path, dest)
            return True
        return roots.copy_out(self.host_path(path), dest)


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


# --- steps that are checks -----------------------------------------------------------


def _steps(
    report: StageReport,
    name: str,
    place: Place,
    steps: Sequence[tuple[str, Sequence[str | os.PathLike[str]]]],
    env: Mapping[str, str] | None = None,
) -> bool:
    """Runs the (what, argv) steps in order in `place` as one check named
    `name`, which fails at the first step that fails."""
    for what, argv in steps:
        log = report.log_path(f"{name} {what}".replace(" ", "-").replace(":", ""))
        rc = place.run(argv, log=log, env=env)
        if rc != 0:
            return report.check(name, False, f"{what}: exit status {rc} (log {log})", proc.tail(log))
    return report.check(name, True)


def _problems(report: StageReport, name: str, problems: Sequence[str]) -> bool:
    for p in problems:
        proc.say(f"  {name}: {p}")
    return report.check(name, not problems, "; ".join(problems[:3]), "\n".join(problems))


def _version(python: Path) -> str:
    if not python.exists():
        return ""
    return subprocess.run([python, "-c", "import sys; print(sys.version)"], capture_output=True, text=True).stdout


def _venv(report: StageReport, python: Path, name: str, packages: Sequence[str]) -> Path | None:
    """The interpreter of .venv/NAME (made, or made again when its
    interpreter changed) holding `packages`; None, booked as a failed
    check, when that cannot be done."""
    venv = config.REPO / ".venv" / name
    py = venv / "bin" / "python"
    check = f"{name}: tools"
    if _version(py) != _version(python) or not _version(py):
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


# --- building -------------------------------------------------------------------


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
    _problems(report, "sdist: contents", artifacts.sdist_problems(sdists[0], epoch))
    return sdists[0]


def build_wheel(
    report: StageReport, name: str, wheel: Wheel, sdist: str, build_python: str, epoch: int, raw: str
) -> bool:
    """The raw wheel into `raw` (in the wheel's place), from the sdist
    unpacked there, by the wheel's zig toolchain, as the check `name`;
    `build_python` has the build tools."""
    tc = wheel.toolchain
    assert tc is not None
    return _steps(
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


def _to_dist(path: Path) -> Path:
    return Path(shutil.move(path, DIST / path.name))


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
        build_py = _venv(report, interp.path, f"release-build-{interp.tag}", dependencies.group("build"))
        if build_py is None:
            continue
        builders[wheel.key] = build_py
        # The test venvs install from here, offline.
        download_test_tools(report, wheel.key, build_py, wheelhouse)
        raw = f"{wheel.work}/raw"
        if build_wheel(report, f"{wheel.key}: wheel build", wheel, str(sdist), str(build_py), epoch, raw):
            repaired = repair(report, tools, wheel.key, Path(raw), epoch)
            wheel.path = _to_dist(repaired) if repaired else None
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
    if not _steps(
        report,
        f"{wheel.key}: build venv",
        place,
        [("venv", [target.python, "-m", "venv", "--without-pip", "--system-site-packages", f"{work}/build-venv"])],
    ):
        return wheel
    if build_wheel(report, f"{wheel.key}: wheel build", wheel, in_sdist, build_py, epoch, raw):
        repaired = repair(report, tools, wheel.key, place.host_path(raw), epoch)
        wheel.path = _to_dist(repaired) if repaired else None
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


# --- checking and testing ---------------------------------------------------------------


def check_reproducible(report: StageReport, tools: Path, first: Wheel, build_py: Path, sdist: Path, epoch: int) -> None:
    """The wheel again, from the sdist unpacked under a longer path, must be
    the same bytes."""
    again = Wheel(
        first.pytag,
        first.arch,
        first.place,
        first.python,
        str(WORK / "again" / "a-longer-directory-name"),
        first.toolchain,
    )
    raw = f"{again.work}/raw"
    if not build_wheel(report, f"{again.key}: wheel built again", again, str(sdist), str(build_py), epoch, raw):
        return
    rebuilt = repair(report, tools, f"{again.key}: wheel built again", Path(raw), epoch)
    if rebuilt and first.path:
        report.check(
            "reproducible",
            rebuilt.read_bytes() == first.path.read_bytes(),
            f"{rebuilt.name} differs when built from {again.work}",
        )


def forbidden_paths(wheel: Wheel) -> list[str]:
    """The directories the build ran in, which must not show in the module."""
    paths = [wheel.source, str(config.REPO), str(WORK), "/tmp/", str(ZIG_CACHE)]
    if wheel.place.root is not None:
        paths += [str(wheel.place.host_path(wheel.source)), ZIG_IN_ROOT, ZIG_CACHE_IN_ROOT]
    return paths


def check_wheel(report: StageReport, wheel: Wheel) -> None:
    assert wheel.path
    _problems(
        report,
        f"{wheel.key}: wheel contents",
        artifacts.wheel_problems(wheel.path, wheel.pytag, wheel.arch, forbidden_paths(wheel)),
    )
    _problems(report, f"{wheel.key}: linkage", artifacts.linkage_problems(wheel.path, wheel.pytag, wheel.arch))
    module = artifacts.module_bytes(wheel.path, wheel.pytag, wheel.arch)
    proc.say(f"  newest glibc it needs: {artifacts.glibc_floor(module)}")
    if any(m.x87 for m in platforms.MACHINES.values() if m.wheel == wheel.arch):
        _problems(report, f"{wheel.key}: SSE2 arithmetic", artifacts.sse2_problems(wheel.path, wheel.pytag))


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
    if not _steps(
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
    place.fetch(xml, report.xml_path(f"pytest-{label}"))
    report.runner(f"pytest-{label}", rc)


def check_and_test(report: StageReport, wheel: Wheel, stand_ins: Path, outside: Path, wheelhouse: Path) -> None:
    assert wheel.path
    proc.say("", f"--- {wheel.key}: {wheel.path.name} ({_size(wheel.path)})")
    check_wheel(report, wheel)
    if wheel.place.root is None:
        install_and_test(report, wheel, str(stand_ins), str(outside / wheel.key), str(wheelhouse))
    else:
        install_and_test(report, wheel, f"{wheel.work}/{stand_ins.name}", f"{wheel.work}/test", None)


def test_on_old_glibc(
    report: StageReport, tools: Path, root_name: str, wheels: Sequence[Wheel], sdist: Path, stand_ins: Path
) -> None:
    """The wheel for the root's own CPython and architecture, made
    elsewhere, installed on the root's old glibc and tested there like any
    other (offline, binary only, no compiler, outside any source tree),
    with test tools downloaded for that platform."""
    root = roots.get(root_name)
    assert root.cpython is not None
    pytag, arch = root.cpython.pytag, MACHINE_TAGS[root.arch]
    label = f"{pytag}-{arch} on {root_name}"
    made = [w.path for w in wheels if (w.pytag, w.arch) == (pytag, arch) and w.path]
    if not made:
        report.failed(f"{label}: offline install", f"no {pytag} {arch} wheel was made")
        return
    wheelhouse = WORK / f"wheelhouse-{root_name}"
    if not download_test_tools(report, label, tools, wheelhouse, target_platform(root)):
        return
    place = Place(root)
    work = f"{IN_ROOT}/{root_name}"
    tester = Wheel(pytag, arch, place, root.python, work, path=made[0])
    proc.say("", f"--- {label}: {made[0].name}")
    if not _steps(
        report,
        f"{label}: work directory",
        place,
        [("fresh", ["sh", "-c", 'rm -rf "$1" && mkdir -p "$1/unpacked"', "fresh", work])],
    ):
        return
    in_sdist, wheels_in, stand_ins_in = (place.bring(p, work) for p in (sdist, wheelhouse, stand_ins))
    if _steps(report, f"{label}: sources", place, [("unpack", ["tar", "-C", f"{work}/unpacked", "-xzf", in_sdist])]):
        install_and_test(report, tester, stand_ins_in, f"{work}/test", wheels_in, label)


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


def _size(path: Path) -> str:
    return f"{path.stat().st_size / 1024:.0f} KiB"


# --- the stage ---------------------------------------------------------------------------


def run(report: StageReport) -> None:
    epoch = source_date_epoch()
    for d in (DIST, WORK):
        shutil.rmtree(d, ignore_errors=True)
        d.mkdir(parents=True)
    newest = interpreters.newest_with_gil()
    if newest is None:
        raise RuntimeError(f"no CPython >= {config.MIN_PYTHON} with the GIL on this machine")
    tools = _venv(report, newest.path, "release-tools", dependencies.group("release"))
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
        f"  {sdist.name} ({_size(sdist)})",
        *(f"  {path.name} ({_size(path)})" for path in made.values()),
    )
