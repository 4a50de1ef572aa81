"""Stages on this machine's own interpreters: the quick start, the suite of
each CPython (build with warnings as errors, pytest, mypy, stubtest), the
fuzz tests, the harness's own tests and the benchmark."""

from __future__ import annotations

from .. import config, dependencies, proc, session_venv
from ..interpreters import Interpreter
from ..results import StageReport


def pytest_run(python, report: StageReport, label: str, *args: str, env: dict[str, str] | None = None) -> None:
    """One pytest process, its JUnit file in the stage's results."""
    rc = proc.run(
        [python, "-m", "pytest", *args, "-q", "-p", "no:cacheprovider", f"--junitxml={report.xml_path(label)}"],
        cwd=config.REPO,
        env=env,
        timeout=config.TEST_TIMEOUT,
        log=report.log_path(label),
    )
    report.runner(label, rc)


def interpreter_env(interp: Interpreter) -> dict[str, str]:
    return {"PYTHONWARNINGS": config.GIL_REENABLED_IS_ERROR} if interp.free_threaded else {}


def quickstart(session) -> None:
    """What a newcomer runs first: jadefox installed the way a user installs
    it (pip fetches the build backend) and the worked example."""
    session.install(".")
    session.run("python", "examples/quickstart.py")
    session.log(f"to use it yourself: source {session.bin}/activate")


def _test_build(session, report: StageReport, *requirements: str) -> bool:
    """The venv's tools installed and jadefox built into it, warnings as errors."""
    return session_venv.install(session, report, "test tools", *requirements) and session_venv.build_jadefox(
        session_venv.venv_python(session),
        report,
        "build (warnings are errors)",
        *session_venv.CONFIG_SETTINGS["werror"],
    )


def quick_test(session, report: StageReport, interp: Interpreter) -> None:
    """The inner loop: tests/python on one interpreter, the build kept
    while the sources stay the same; pytest's own options after `--`."""
    if _test_build(session, report, *dependencies.group("build", "test")):
        pytest_run(
            session_venv.venv_python(session),
            report,
            "pytest",
            "tests/python",
            *session.posargs,
            env=interpreter_env(interp),
        )


def suite(session, report: StageReport, interp: Interpreter) -> None:
    # The `distributed` extra too, so that the scale-out example runs as a test.
    if not _test_build(session, report, *dependencies.group("suite"), *dependencies.extra("distributed")):
        return
    python = session_venv.venv_python(session)
    env = interpreter_env(interp)
    pytest_run(python, report, "pytest", "tests/python", *session.posargs, env=env)
    rc = proc.run(
        [
            python,
            "-m",
            "mypy",
            "--strict",
            "--cache-dir",
            config.BUILD / "mypy-cache" / interp.tag,
            "tests/python/typing_usage.py",
        ],
        cwd=config.REPO,
        log=report.log_path("mypy"),
    )
    report.check("mypy --strict tests/python/typing_usage.py", rc == 0, f"exit {rc}")
    # The installed stub against the installed module's runtime objects.
    rc = proc.run([python, "-m", "mypy.stubtest", "jadefox"], cwd=config.BUILD, log=report.log_path("stubtest"))
    report.check("stubtest jadefox", rc == 0, f"exit {rc}")


def fuzz(session, report: StageReport, interp: Interpreter) -> None:
    """The hypothesis fuzz tests (tests/fuzz) against the normal build."""
    if _test_build(session, report, *dependencies.group("build", "test")):
        pytest_run(
            session_venv.venv_python(session),
            report,
            "fuzz",
            "tests/fuzz",
            *session.posargs,
            env={**interpreter_env(interp), "PYTHONFAULTHANDLER": "1"},
        )


def harness_tests(session, report: StageReport) -> None:
    if session_venv.install(session, report, "test tools", *dependencies.group("harness")):
        pytest_run(session_venv.venv_python(session), report, "pytest", "tests/harness", *session.posargs)


def _bench_setup(session, report: StageReport) -> bool:
    return session_venv.install(
        session, report, "benchmark tools", *dependencies.group("bench")
    ) and session_venv.build_jadefox(
        session_venv.venv_python(session), report, "build", *session_venv.CONFIG_SETTINGS["plain"]
    )


def bench_quick(session, report: StageReport) -> None:
    """The benchmark's own tests, and its short preset: every correctness
    check it makes before timing, and the ratio report (goals are reported,
    never asserted)."""
    if not _bench_setup(session, report):
        return
    python = session_venv.venv_python(session)
    pytest_run(python, report, "pytest", "tests/bench", *session.posargs)
    out = config.BUILD / "bench" / "quick.json"
    out.parent.mkdir(parents=True, exist_ok=True)
    out.unlink(missing_ok=True)
    rc = proc.run(
        [python, "-m", "bench", "run", "--preset", "quick", "-o", out],
        cwd=config.REPO,
        timeout=config.TEST_TIMEOUT,
        log=report.log_path("run"),
    )
    if report.check("bench run --preset quick (checks before timing)", rc == 0, f"exit {rc}"):
        rc = proc.run([python, "-m", "bench", "report", out], cwd=config.REPO, log=report.log_path("report"))
        report.check("bench report", rc == 0, f"exit {rc}")


def bench_full(session) -> None:
    report = StageReport("bench")
    if not _bench_setup(session, report):
        session.error("setup failed")
    session.run("python", "-m", "bench", "run", "-o", str(config.BUILD / "bench" / "full.json"))
    session.run(
        "python", "-m", "bench", "report", str(config.BUILD / "bench" / "full.json"), "--png", "bench/ns_per_key.png"
    )
