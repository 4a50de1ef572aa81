"""The bodies of the stages on this machine's interpreters (native.py,
sanitized.py) against a recorded session: the venv's installs and builds
succeed at once and every command is recorded, so a wrong command line
fails here in seconds."""

from __future__ import annotations

import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

from harness import config, knobs, proc, sanitizers, session_venv
from harness.interpreters import Interpreter
from harness.results import StageReport
from harness.stages import native, sanitized

LEAK = "==1==ERROR: LeakSanitizer: detected memory leaks\n"


class RecordedSession:
    """A nox session whose venv is `bin`; installs, builds and commands are
    recorded and succeed unless named in `fail` (a build label or a word of
    a command line)."""

    def __init__(self, monkeypatch, tmp_path: Path, posargs=(), fail: str = "") -> None:
        self.bin = str(tmp_path / "venv" / "bin")
        self.posargs = list(posargs)
        self.fail = fail
        self.builds: list[tuple[str, ...]] = []
        self.commands: list[tuple[list[str], dict[str, str]]] = []
        self.canary_reports = True
        monkeypatch.setattr(config, "BUILD", tmp_path / "build")
        monkeypatch.setattr(session_venv, "install", self.install)
        monkeypatch.setattr(session_venv, "build_jadefox", self.build)
        monkeypatch.setattr(proc, "run", self.run)

    def install(self, session, report, label, *packages) -> bool:
        return report.check(label, True)

    def build(self, python, report, label, *options) -> bool:
        self.builds.append(options)
        return report.check(label, self.fail != label)

    def run(self, argv, *, env=None, log=None, **kwargs) -> int:
        argv = [str(a) for a in argv]
        self.commands.append((argv, dict(env or {})))
        if "harness.canary" in argv and self.canary_reports:
            (config.BUILD / "sanitizer-reports" / "canary" / "asan.1").write_text(LEAK)
        return 1 if self.fail in argv else 0

    def argv_of(self, word: str) -> list[list[str]]:
        return [argv for argv, _ in self.commands if word in argv]

    def env_of(self, word: str) -> dict[str, str]:
        (env,) = [env for argv, env in self.commands if word in argv]
        return env


def cases_of(report: StageReport) -> dict[str, bool]:
    """Each check of the stage by name: whether it passed."""
    root = ET.parse(report.dir / "harness.xml").getroot()
    return {str(c.get("name")): c.find("failure") is None for c in root.iter("testcase")}


FREE_THREADED = Interpreter(Path("/usr/bin/python3.14t"), (3, 14, 0), True)
DEFAULT = Interpreter(Path("/usr/bin/python3.14"), (3, 14, 0), False)


@pytest.mark.parametrize("interp", [DEFAULT, FREE_THREADED], ids=lambda i: i.tag)
def test_the_suite_passes_the_developer_s_options_and_types_the_installed_module(
    results_root, monkeypatch, tmp_path, interp
):
    session = RecordedSession(monkeypatch, tmp_path, posargs=("-k", "pickle"))
    native.suite(session, StageReport("suite"), interp)
    (pytest_run,) = session.argv_of("pytest")
    python = str(Path(session.bin) / "python")
    assert pytest_run[:4] == [python, "-m", "pytest", "tests/python"]
    assert pytest_run[4:6] == ["-k", "pickle"]
    assert session.builds == [tuple(session_venv.CONFIG_SETTINGS["werror"])]
    (stubtest,) = session.argv_of("mypy.stubtest")
    assert stubtest[0] == python and stubtest[-1] == "jadefox"
    (mypy,) = session.argv_of("--strict")
    assert interp.tag in " ".join(mypy)  # each interpreter its own mypy cache
    warnings = session.env_of("pytest").get("PYTHONWARNINGS")
    assert (warnings == config.GIL_REENABLED_IS_ERROR) == interp.free_threaded


def test_a_failed_build_runs_no_test(results_root, monkeypatch, tmp_path):
    session = RecordedSession(monkeypatch, tmp_path, fail="build (warnings are errors)")
    report = StageReport("suite")
    native.suite(session, report, DEFAULT)
    assert session.commands == []
    assert cases_of(report)["build (warnings are errors)"] is False


@pytest.mark.parametrize(
    ("body", "tests"),
    [
        (lambda s, r: native.quick_test(s, r, DEFAULT), "tests/python"),
        (lambda s, r: native.fuzz(s, r, DEFAULT), "tests/fuzz"),
        (native.harness_tests, "tests/harness"),
        (native.bench_quick, "tests/bench"),
    ],
    ids=["test", "fuzz", "harness", "bench-quick"],
)
def test_every_test_stage_passes_the_developer_s_options_to_pytest(results_root, monkeypatch, tmp_path, body, tests):
    session = RecordedSession(monkeypatch, tmp_path, posargs=("-x",))
    report = StageReport("stage")
    body(session, report)
    (pytest_run,) = session.argv_of("pytest")
    assert pytest_run[3:5] == [tests, "-x"]
    assert f"--junitxml={report.xml_path('fuzz' if tests == 'tests/fuzz' else 'pytest')}" in pytest_run


def sanitized_stage(monkeypatch, tmp_path, symbols: bool = True, canary: bool = True, fail: str = ""):
    session = RecordedSession(monkeypatch, tmp_path, posargs=("-k", "pickle"), fail=fail)
    session.canary_reports = canary
    monkeypatch.setattr(sanitizers, "runtimes", lambda: ["/usr/lib/libasan.so.8", "/usr/lib/libubsan.so.1"])
    monkeypatch.setattr(sanitizers, "has_symbol_table", lambda python: symbols)
    monkeypatch.setattr(sanitized, "_instrumented", lambda python: True)
    report = StageReport("sanitized")
    sanitized.run(session, report)
    return session, cases_of(report)


@pytest.mark.parametrize("symbols", [True, False], ids=["with symbols", "stripped"])
def test_the_sanitized_suite_runs_after_a_planted_leak_was_reported(results_root, monkeypatch, tmp_path, symbols):
    session, cases = sanitized_stage(monkeypatch, tmp_path, symbols)
    argvs = [argv for argv, _ in session.commands]
    (canary,) = session.argv_of("harness.canary")
    (pytest_run,) = session.argv_of("pytest")
    assert argvs.index(canary) < argvs.index(pytest_run)
    assert session.builds == [tuple(session_venv.CONFIG_SETTINGS["asan"])]
    assert pytest_run[3:5] == ["tests/python", "tests/fuzz"]
    assert set(sanitizers.WITHOUT_PLAIN_ALLOCATOR_TESTS) <= set(pytest_run)
    assert pytest_run[pytest_run.index("-k") + 1] == "pickle"
    env = session.env_of("pytest")
    assert env[knobs.FUZZ_SCALE.name] == sanitized.FUZZ_SCALE
    assert "libasan" in env["LD_PRELOAD"]
    # A stripped interpreter's own exit-time leaks cannot be suppressed: leak
    # checking is off, and the stage says so with a skipped check.
    assert f"detect_leaks={int(symbols)}" in env["ASAN_OPTIONS"]
    assert ("LeakSanitizer" in cases) != symbols
    assert cases["sanitizer canary (a planted leak is reported)"]


def test_without_a_reported_canary_the_sanitized_suite_does_not_run(results_root, monkeypatch, tmp_path):
    session, cases = sanitized_stage(monkeypatch, tmp_path, canary=False)
    assert session.argv_of("pytest") == []
    assert cases["sanitizer canary (a planted leak is reported)"] is False
