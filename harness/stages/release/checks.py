"""Checking the wheels: their contents and linkage (harness.artifacts),
and one built a second time from a longer directory, byte for byte the same."""

from __future__ import annotations

from pathlib import Path

from ... import artifacts, config, platforms, proc
from ...results import StageReport
from .places import WORK, ZIG_CACHE, ZIG_CACHE_IN_ROOT, ZIG_IN_ROOT, Wheel, book_problems
from .wheel_build import build_wheel, repair


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
    book_problems(
        report,
        f"{wheel.key}: wheel contents",
        artifacts.wheel_problems(wheel.path, wheel.pytag, wheel.arch, forbidden_paths(wheel)),
    )
    book_problems(report, f"{wheel.key}: linkage", artifacts.linkage_problems(wheel.path, wheel.pytag, wheel.arch))
    module = artifacts.module_bytes(wheel.path, wheel.pytag, wheel.arch)
    proc.say(f"  newest glibc it needs: {artifacts.glibc_floor(module)}")
    if any(m.x87 for m in platforms.MACHINES.values() if m.wheel == wheel.arch):
        book_problems(report, f"{wheel.key}: SSE2 arithmetic", artifacts.sse2_problems(wheel.path, wheel.pytag))
