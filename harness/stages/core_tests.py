"""The C++ core's unit tests (tests/core, doctest), built with a sanitizer:
AddressSanitizer with UBSan, or ThreadSanitizer for the holder counts that
threads share."""

from __future__ import annotations

from pathlib import Path

from .. import apt, config, dependencies, proc, sanitizers, session_venv
from ..results import StageReport

DOCTEST_HEADER = Path("/usr/include/doctest/doctest.h")


def ensure_doctest(stage: str) -> None:
    if not DOCTEST_HEADER.is_file():
        apt.ensure(["doctest-dev"], "the core tests use doctest", f"sudo python3 dev.py -s {stage}")


def run(session, report: StageReport, variant: str) -> None:
    ensure_doctest(f"core-{variant}")
    if not session_venv.install(session, report, "cmake and ninja", *dependencies.group("build")):
        return
    bin_dir = Path(session.bin)
    build_dir = config.BUILD / f"core-tests-{variant}"

    def configure() -> int:
        return proc.run(
            [
                bin_dir / "cmake",
                "-S",
                config.REPO / "tests" / "core",
                "-B",
                build_dir,
                "-G",
                "Ninja",
                f"-DCMAKE_MAKE_PROGRAM={bin_dir / 'ninja'}",
                f"-DJADEFOX_TSAN={'ON' if variant == 'tsan' else 'OFF'}",
            ],
            log=report.log_path("configure"),
            show=False,
        )

    rc = configure()
    if rc != 0:
        # A cache left by another cmake or generator cannot be reused.
        proc.run(["rm", "-rf", build_dir])
        rc = configure()
    if rc == 0:
        rc = proc.run(
            [bin_dir / "cmake", "--build", build_dir, "-j", "2"],
            log=report.log_path("build"),
            show=False,
            tail_on_failure=80,
        )
    if not report.check("configure and build", rc == 0, f"exit {rc}"):
        return
    run_binary(build_dir / "core_tests", report, "core", sanitizers.core_env(variant), *session.posargs)


def run_binary(binary: Path, report: StageReport, label: str, env: dict[str, str], *options: str) -> None:
    """Runs a doctest binary (with doctest's `options`) with its JUnit
    reporter into the stage's results."""
    rc = proc.run(
        [binary, "-r=junit", f"--out={report.xml_path(label)}", *options],
        cwd=binary.parent,
        env=env,
        timeout=config.TEST_TIMEOUT,
        log=report.log_path(label),
    )
    report.runner(label, rc)
