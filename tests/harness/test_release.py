"""The release stage's own decisions: where the timestamp comes from, when
the Debian roots' wheels are skipped and how that is booked, and the
stand-in compilers that keep an install binary-only."""

import subprocess
import xml.etree.ElementTree as ET

import pytest

from harness import config, privilege, roots, zig
from harness.results import StageReport, StageSkipped, read_junit
from harness.stages import root_stages
from harness.stages.release import checks, install_test, places, wheel_build


def test_source_date_epoch_from_the_environment_then_git_then_a_constant(tmp_path, monkeypatch):
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1700000000")
    assert places.source_date_epoch() == 1700000000

    monkeypatch.delenv("SOURCE_DATE_EPOCH")
    monkeypatch.setattr(config, "REPO", tmp_path)
    assert places.source_date_epoch() == places.FALLBACK_EPOCH  # not a git work tree

    env = {
        "GIT_AUTHOR_DATE": "@1750000000 +0000",
        "GIT_COMMITTER_DATE": "@1750000001 +0000",
        "GIT_AUTHOR_NAME": "a",
        "GIT_AUTHOR_EMAIL": "a@b",
        "GIT_COMMITTER_NAME": "a",
        "GIT_COMMITTER_EMAIL": "a@b",
        "PATH": "/usr/bin:/bin",
        "HOME": str(tmp_path),
    }
    subprocess.run(["git", "init", "-q", tmp_path], check=True, env=env)
    subprocess.run(["git", "-C", tmp_path, "commit", "-q", "--allow-empty", "-m", "x"], check=True, env=env)
    assert places.source_date_epoch() == 1750000001  # the committer's time


def booked(report):
    return {c.get("name"): c for c in ET.parse(report.dir / "harness.xml").getroot().iter("testcase")}


@pytest.mark.parametrize(
    "skip, prefix, reason, command",
    [
        ("suite-cp312,roots", (), "JADEFOX_SKIP=suite-cp312,roots", "python3 dev.py -s release"),
        ("", None, "needs root or passwordless sudo", "sudo python3 dev.py -s release"),
    ],
)
def test_root_wheels_are_skipped_with_the_reason_and_the_command(
    results_root, monkeypatch, skip, prefix, reason, command
):
    monkeypatch.setenv("JADEFOX_SKIP", skip)
    monkeypatch.delenv("CI", raising=False)
    monkeypatch.setattr(privilege, "root_prefix", lambda: prefix)
    with pytest.raises(StageSkipped) as skipped:
        wheel_build.root_wheel_names()
    report = StageReport("release")
    wheel_build.book_skipped_roots(report, skipped.value)
    cases = booked(report)
    assert sorted(cases) == sorted(
        [
            *(f"wheel of the root {n}" for n in places.ROOT_WHEELS),
            *(f"wheels tested on the root {n}" for n in places.OLD_GLIBC_ROOTS),
        ]
    )
    for case in cases.values():
        message = case.find("skipped").get("message")
        assert reason in message and message.endswith(f"(run it with: {command})"), message
    assert read_junit(report.dir / "harness.xml").failed == 0


def test_in_ci_a_skipped_root_wheel_is_a_failure(results_root, monkeypatch):
    monkeypatch.setenv("JADEFOX_SKIP", "roots")
    monkeypatch.setenv("CI", "true")
    with pytest.raises(StageSkipped) as skipped:
        wheel_build.root_wheel_names()
    report = StageReport("release")
    wheel_build.book_skipped_roots(report, skipped.value)
    counts = read_junit(report.dir / "harness.xml")
    assert (counts.failed, counts.skipped) == (len(places.ROOT_WHEELS) + len(places.OLD_GLIBC_ROOTS), 0)


def test_with_root_and_no_request_every_root_wheel_is_built(monkeypatch):
    monkeypatch.setenv("JADEFOX_SKIP", "newcomer")
    monkeypatch.setattr(privilege, "root_prefix", lambda: ())
    assert wheel_build.root_wheel_names() == list(places.ROOT_WHEELS)


def test_each_old_glibc_root_has_a_wheel_to_test():
    # The i686 wheel comes from a root; the x86_64 one from this machine's
    # CPython of that version.
    from_roots = {
        (n.split("-")[0], places.MACHINE_TAGS[roots.get(root_stages.PLATFORMS[n].root).arch])
        for n in places.ROOT_WHEELS
    }
    for name in places.OLD_GLIBC_ROOTS:
        root = roots.get(name)
        assert root.cpython is not None and not root.cpython.debian_site
        key = (root.cpython.pytag, places.MACHINE_TAGS[root.arch])
        assert key in from_roots or key[1] == "x86_64", name


def test_test_tools_for_an_old_glibc_root_are_chosen_for_its_platform():
    # Some test tools publish compiled wheels for x86_64 only: the i686 root
    # must get the pure ones, which only a download for its platform picks.
    assert places.target_platform(roots.get("bullseye-i386")) == [
        "--platform",
        "manylinux_2_31_i686",
        "--python-version",
        "3.13",
        "--implementation",
        "cp",
        "--abi",
        "cp313",
    ]


def test_stand_in_compilers_fail_loudly(tmp_path):
    install_test.make_stand_in_compilers(tmp_path)
    for tool in ("gcc", "c++", "cmake", "i686-linux-gnu-g++"):
        done = subprocess.run([tmp_path / tool, "--version"], capture_output=True, text=True)
        assert done.returncode == 1
        assert done.stderr == f"{tool}: no compiler here (binary install only)\n"


class RecordingPlace:
    """A place that records each command and its environment, and succeeds."""

    root = None

    def __init__(self):
        self.calls = []

    def run(self, argv, *, log, env=None, **kwargs):
        self.calls.append(([str(a) for a in argv], dict(env or {})))
        return 0


def test_every_wheel_is_compiled_by_its_zig_toolchain(results_root, tmp_path):
    toolchain = zig.toolchain(tmp_path / "zig", "i686", tmp_path / "wrappers", tmp_path / "cache")
    place = RecordingPlace()
    wheel = places.Wheel("cp314", "i686", place, "/usr/bin/python3.14", "/w", toolchain)
    assert wheel_build.build_wheel(
        StageReport("release"),
        "cp314-i686: wheel build",
        wheel,
        "/w/sdist.tar.gz",
        "/w/venv/bin/python",
        1700000000,
        "/w/raw",
    )
    (unpack, _), (pip, env) = place.calls
    assert unpack[-2:] == ["/w/unpacked", "/w/sdist.tar.gz"]
    # The CMake settings come before the source tree, and the compilers are zig's.
    assert pip[pip.index(wheel.source) - len(toolchain.config_settings) : pip.index(wheel.source)] == list(
        toolchain.config_settings
    )
    assert env["CXX"] == str(tmp_path / "wrappers" / "c++")
    assert env["ZIG_GLOBAL_CACHE_DIR"] == str(tmp_path / "cache")
    assert env["SOURCE_DATE_EPOCH"] == "1700000000"


def test_zig_and_its_caches_must_not_show_in_a_module():
    host = places.Wheel("cp313", "x86_64", places.Place(), "/usr/bin/python3.13", "/w")
    assert str(places.ZIG_CACHE) in checks.forbidden_paths(host)
    root = places.Wheel(
        "cp314", "x86_64", places.Place(roots.get("forky-amd64")), "/usr/bin/python3.14", places.IN_ROOT
    )
    assert {places.ZIG_IN_ROOT, places.ZIG_CACHE_IN_ROOT} <= set(checks.forbidden_paths(root))
