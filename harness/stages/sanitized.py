"""The module built with AddressSanitizer and UBSan, running tests/python
and tests/fuzz with the runtimes preloaded into the interpreter and, where
the interpreter's symbols allow, LeakSanitizer on."""

from __future__ import annotations

import glob
import shutil
import subprocess

from .. import config, dependencies, knobs, proc, sanitizers, session_venv
from ..results import StageReport

# The example budget of the fuzz tests under the sanitizers (they are slow there).
FUZZ_SCALE = "0.5"


def run(session, report: StageReport) -> None:
    if not sanitizers.suppressions_are_safe():
        report.failed("suppressions", f"{sanitizers.LSAN_SUPPRESSIONS} has a pattern that could match jadefox frames")
        return
    preload = sanitizers.runtimes()
    if not report.check(
        "sanitizer runtimes",
        bool(preload) and "libasan" in preload[0],
        "g++ has no AddressSanitizer runtime (Debian: apt-get install libasan8)",
    ):
        return
    if not session_venv.install(session, report, "test tools", *dependencies.group("build", "test")):
        return
    python = session_venv.venv_python(session)
    if not session_venv.build_jadefox(python, report, "build with ASan+UBSan", *session_venv.CONFIG_SETTINGS["asan"]):
        return
    if not report.check(
        "module linked with AddressSanitizer", _instrumented(python), "the installed jadefox is not linked with libasan"
    ):
        return
    leaks = sanitizers.has_symbol_table(python)
    if not leaks:
        proc.say("the interpreter is stripped: LeakSanitizer off for this run (ASan and UBSan stay on)")
    reports = config.BUILD / "sanitizer-reports"
    shutil.rmtree(reports, ignore_errors=True)
    (reports / "canary").mkdir(parents=True)
    env = sanitizers.module_env(reports, leaks, preload)
    if not _canary(python, reports / "canary", preload, report):
        return
    proc.say(f"left out under ASan: the tests marked plain_allocator; fuzz scale {FUZZ_SCALE}")
    rc = proc.run(
        [
            python,
            "-m",
            "pytest",
            "tests/python",
            "tests/fuzz",
            *sanitizers.WITHOUT_PLAIN_ALLOCATOR_TESTS,
            *session.posargs,
            "-q",
            "-p",
            "no:cacheprovider",
            f"--junitxml={report.xml_path('pytest')}",
        ],
        cwd=config.REPO,
        env={**env, knobs.FUZZ_SCALE.name: FUZZ_SCALE},
        timeout=config.TEST_TIMEOUT,
        log=report.log_path("pytest"),
    )
    findings = sanitizers.scan_reports(reports)
    for n, finding in enumerate(findings, 1):
        report.failed(f"sanitizer report {n}", finding.kind, str(finding))
    # A sanitizer stops the process it reports in: its reports explain the exit.
    report.runner("pytest", 0 if findings and rc != 0 else rc)
    if not leaks:
        report.skipped("LeakSanitizer", "the interpreter is stripped, so its own exit-time leaks cannot be suppressed")


def _instrumented(python) -> bool:
    platlib = subprocess.run(
        [python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"], capture_output=True, text=True
    ).stdout.strip()
    modules = glob.glob(f"{platlib}/jadefox*.so")
    return (
        bool(modules)
        and "libasan" in subprocess.run(["readelf", "-d", modules[0]], capture_output=True, text=True).stdout
    )


def _canary(python, directory, preload, report: StageReport) -> bool:
    """The runtimes must load and LeakSanitizer must report a planted leak,
    or a clean run would prove nothing."""
    env = sanitizers.module_env(directory, True, preload)
    proc.run(
        [python, "-m", "harness.canary", "leak"], cwd=config.REPO, env=env, log=report.log_path("canary"), show=False
    )
    leaked = any(
        "LeakSanitizer: detected memory leaks" in p.read_text(errors="replace") for p in directory.glob("asan*")
    )
    shutil.rmtree(directory, ignore_errors=True)
    return report.check(
        "sanitizer canary (a planted leak is reported)", leaked, "the sanitizer runtimes are not active"
    )
