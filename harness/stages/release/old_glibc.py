"""The wheels tested on the oldest glibc the archive serves: installed and
run in its roots, with a CPython built there."""

from __future__ import annotations

from collections.abc import Sequence
from pathlib import Path

from ... import proc, roots
from ...place import Place, steps
from ...results import StageReport
from .install_test import install_and_test
from .places import IN_ROOT, MACHINE_TAGS, WORK, Wheel, download_test_tools, target_platform


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
    if not steps(
        report,
        f"{label}: work directory",
        place,
        [("fresh", ["sh", "-c", 'rm -rf "$1" && mkdir -p "$1/unpacked"', "fresh", work])],
    ):
        return
    in_sdist, wheels_in, stand_ins_in = (place.bring(p, work) for p in (sdist, wheelhouse, stand_ins))
    if steps(report, f"{label}: sources", place, [("unpack", ["tar", "-C", f"{work}/unpacked", "-xzf", in_sdist])]):
        install_and_test(report, tester, stand_ins_in, f"{work}/test", wheels_in, label)
