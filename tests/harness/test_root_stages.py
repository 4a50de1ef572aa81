"""The root stages' bodies run against a recorded fake root: every command
they would run inside a Debian root is recorded and succeeds, so a wrong
command line fails here in seconds rather than after a long run."""

from __future__ import annotations

import contextlib
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

from harness import knobs, privilege, roots, session_venv
from harness.results import StageReport
from harness.stages import root_stages


class FakeRoot:
    """Stands in for harness.roots' commands: records what runs in which
    root and what is copied out, and writes the JUnit file a test runner
    would have left."""

    def __init__(self, monkeypatch, tmp_path: Path, fail: str = "") -> None:
        self.commands: list[tuple[str, list[str], dict[str, str]]] = []
        self.where: list[dict] = []  # each command's cwd and overlay
        self.copied_out: list[Path] = []
        self.fail = fail
        self.tmp = tmp_path
        monkeypatch.setattr(privilege, "require_root", lambda *args: ())
        monkeypatch.setattr(roots, "prepare", lambda names, log_dir: {n: "up to date" for n in names})
        monkeypatch.setattr(roots, "using", lambda name: contextlib.nullcontext(tmp_path))
        monkeypatch.setattr(roots, "copy_sources", lambda root, dest: None)
        monkeypatch.setattr(roots, "copy_in", lambda src, dest: None)
        monkeypatch.setattr(roots, "make_dir", lambda path, mode="755": None)
        monkeypatch.setattr(roots, "overlay", lambda root: contextlib.nullcontext(tmp_path / "overlay"))
        monkeypatch.setattr(roots, "root_dir", lambda root: tmp_path / root.name)
        monkeypatch.setattr(roots, "copy_out", self.copy_out)
        monkeypatch.setattr(roots, "run", self.run)
        monkeypatch.setattr(root_stages, "_fetch_wheel", lambda report, req: tmp_path / "pytest_run_parallel.whl")

    def run(self, root, argv, *, env=None, **kwargs) -> int:
        self.commands.append((root.name, [str(a) for a in argv], dict(env or {})))
        self.where.append({k: kwargs.get(k) for k in ("cwd", "overlay")})
        return 1 if self.fail and self.fail in argv else 0

    def copy_out(self, src: Path, dest: Path) -> bool:
        self.copied_out.append(src)
        if src.suffix == ".xml":
            suite = ET.Element("testsuite", tests="1", failures="0", errors="0", skipped="0")
            ET.SubElement(suite, "testcase", classname="t", name=src.stem)
            dest.parent.mkdir(parents=True, exist_ok=True)
            ET.ElementTree(suite).write(dest)
        return True

    def argv_of(self, word: str) -> list[list[str]]:
        """Every command that holds `word`."""
        return [argv for _, argv, _ in self.commands if word in argv]


def run_stage(monkeypatch, tmp_path, name: str, pytest_args: tuple[str, ...] = (), fail: str = ""):
    fake = FakeRoot(monkeypatch, tmp_path, fail)
    report = StageReport(f"root-{name}")
    root_stages.run_root(report, name, pytest_args)
    # The stage's own checks by name, and each runner's JUnit file by its label.
    cases = {c.get("name"): c for c in ET.parse(report.dir / "harness.xml").getroot().iter("testcase")}
    cases.update({p.stem: ET.Element("runner") for p in report.dir.glob("*.xml") if p.stem != "harness"})
    return fake, cases


def test_the_build_is_offline_with_warnings_as_errors_in_the_stage_s_own_directory(results_root, monkeypatch, tmp_path):
    fake, _ = run_stage(monkeypatch, tmp_path, "cp314-amd64")
    (build,) = fake.argv_of("--no-build-isolation")
    job = roots.work_dir("cp314-amd64")
    assert build[:4] == [f"{job}/venv/bin/python", "-m", "pip", "install"]
    assert "--no-index" in build and build[-1] == f"{job}/src"
    assert set(session_venv.CONFIG_SETTINGS["werror"]) <= set(build)
    assert not set(session_venv.CONFIG_SETTINGS["tsan"]) & set(build)
    (venv,) = fake.argv_of("venv")
    assert venv[0] == "/usr/bin/python3.14"


def test_a_developer_s_pytest_options_reach_every_pytest_run(results_root, monkeypatch, tmp_path):
    fake, _ = run_stage(monkeypatch, tmp_path, "cp313t-amd64", ("-k", "pickle"))
    runs = fake.argv_of("pytest")
    assert len(runs) == 2  # the suite, and the suite on several threads
    for argv in runs:
        assert argv[-2:] == ["-k", "pickle"]
    assert any(f"--parallel-threads={root_stages.PARALLEL_THREADS}" in argv for argv in runs)


def test_a_32_bit_root_checks_the_machine_its_interpreter_sees_and_runs_the_core_tests(
    results_root, monkeypatch, tmp_path
):
    fake, cases = run_stage(monkeypatch, tmp_path, "cp314-i386")
    (check,) = fake.argv_of("machine")
    assert check[-3:] == ["machine", "i686", "32"]
    assert "32-bit i686" in cases
    assert fake.argv_of("core-asan") == [] and any("core_tests" in a[0] for _, a, _ in fake.commands)
    assert "core-asan" in cases


def test_a_debug_interpreter_runs_the_suite_under_dev_mode_and_the_whole_refleak_selection(
    results_root, monkeypatch, tmp_path
):
    fake, cases = run_stage(monkeypatch, tmp_path, "cp314d-amd64")
    (refleak,) = fake.argv_of("harness.refleak")
    # No module list: the run's own selection (refleak.EXCLUDED) applies.
    assert not any(a.endswith(".py") for a in refleak)
    assert refleak[1:3] == ["-X", "dev"]
    assert {"pytest-dev", "refleak", "debug-build"} <= set(cases)
    assert fake.argv_of("machine") == []  # amd64 runs natively


def test_the_tsan_build_is_checked_by_a_planted_race_before_any_test(results_root, monkeypatch, tmp_path):
    fake, cases = run_stage(monkeypatch, tmp_path, "cp313t-tsan-amd64")
    (build,) = fake.argv_of("--no-build-isolation")
    assert set(session_venv.CONFIG_SETTINGS["tsan"]) <= set(build)
    # The canary ran, but the fake root left no report: the stage stops there.
    assert fake.argv_of("harness.canary")
    assert cases["sanitizer canary (a planted race is reported)"].find("failure") is not None
    assert fake.argv_of("pytest") == []


def test_a_failed_build_stops_the_stage_with_the_command_s_check_failed(results_root, monkeypatch, tmp_path):
    fake, cases = run_stage(monkeypatch, tmp_path, "cp315-amd64", fail="--no-build-isolation")
    assert cases["build"].find("failure") is not None
    assert fake.argv_of("pytest") == []


@pytest.mark.parametrize("name", root_stages.ROOT_STAGES)
def test_every_platform_stage_runs_against_the_fake_root(results_root, monkeypatch, tmp_path, name):
    fake, cases = run_stage(monkeypatch, tmp_path, name)
    assert fake.commands and all(root == root_stages.PLATFORMS[name].root for root, _, _ in fake.commands)
    assert "build" in cases


def run_newcomer(monkeypatch, tmp_path, fail: str = ""):
    fake = FakeRoot(monkeypatch, tmp_path, fail)
    report = StageReport("newcomer")
    root_stages.run_newcomer(report)
    cases = {c.get("name"): c for c in ET.parse(report.dir / "harness.xml").getroot().iter("testcase")}
    return fake, cases


def test_the_newcomer_runs_the_readme_s_commands_in_a_clone_inside_the_throwaway_overlay(
    results_root, monkeypatch, tmp_path
):
    fake, cases = run_newcomer(monkeypatch, tmp_path)
    assert {root for root, _, _ in fake.commands} == {"newcomer"}
    assert all(w["overlay"] == tmp_path / "overlay" for w in fake.where)
    argvs = [argv for _, argv, _ in fake.commands]
    (clone,) = fake.argv_of("clone")
    quickstart, everything = fake.argv_of("dev.py")
    assert argvs.index(clone) < argvs.index(quickstart) < argvs.index(everything)
    assert clone[-1] == root_stages.CLONE
    assert quickstart[-2:] == ["-s", "quickstart"] and everything[-2:] == ["-s", "all"]
    for argv in (quickstart, everything):
        assert fake.where[argvs.index(argv)]["cwd"] == root_stages.CLONE
    # Roots do not nest: the inner run skips them by request, and only it.
    env_of = {tuple(argv): env for _, argv, env in fake.commands}
    assert env_of[tuple(everything)][knobs.SKIP.name] == "roots"
    assert knobs.SKIP.name not in env_of[tuple(quickstart)]
    # The bundle it was cloned from is gone before the README's commands run.
    assert argvs.index(["rm", "-rf", root_stages.ORIGIN]) < argvs.index(quickstart)
    # The inner run's results are taken from the overlay's upper layer.
    upper = tmp_path / "overlay" / "upper" / root_stages.CLONE.lstrip("/") / "build" / "results"
    assert upper in fake.copied_out
    assert {"clone", "quickstart", "all"} <= set(cases)
    assert all(c.find("failure") is None for c in cases.values())


def test_a_failed_clone_stops_the_newcomer_before_the_readme_s_commands(results_root, monkeypatch, tmp_path):
    fake, cases = run_newcomer(monkeypatch, tmp_path, fail="clone")
    assert cases["clone"].find("failure") is not None
    assert fake.argv_of("dev.py") == []
