"""Installing jadefox and the test tools into a nox session's venv."""

from __future__ import annotations

import hashlib
import subprocess
from pathlib import Path

from . import config, proc
from .results import StageReport

# The CMake options of each kind of build, as pip config settings; every
# stage that builds jadefox (on this machine or in a root) takes them here.
CONFIG_SETTINGS: dict[str, tuple[str, ...]] = {
    "plain": (),
    # The test builds: a warning is an error.
    "werror": ("-Ccmake.define.JADEFOX_WERROR=ON",),
    "asan": ("-Ccmake.define.JADEFOX_SANITIZE=address,undefined", "-Ccmake.build-type=RelWithDebInfo"),
    "tsan": ("-Ccmake.define.JADEFOX_SANITIZE=thread", "-Ccmake.build-type=RelWithDebInfo"),
}
# What the sources of a build are: a change to any of them means a new build.
_BUILD_INPUTS = ("core", "module", "cmake", "CMakeLists.txt", "pyproject.toml")


def venv_python(session) -> Path:
    return Path(session.bin) / "python"


def install(session, report: StageReport, label: str, *packages: str) -> bool:
    """pip install into the session's venv (retried: registries flake);
    one check in the report. A venv that holds these requirements from an
    earlier run keeps them (warm runs reach no registry)."""
    python = venv_python(session)
    stamp = python.parent.parent / "jadefox-requirements.txt"
    wanted = "\n".join(packages)
    if stamp.is_file() and stamp.read_text() == wanted:
        report.passed(label)
        return True
    stamp.unlink(missing_ok=True)
    log = report.log_path(label)
    rc = proc.retry(
        f"pip install {' '.join(packages)}",
        lambda: proc.run(
            [python, "-m", "pip", "install", "--retries", "5", "-q", *packages],
            log=log,
            env=config.PIP_QUIET_ENV,
            show=False,
        ),
    )
    ok = report.check(label, rc == 0, f"pip install failed (exit {rc}; log {log})")
    if ok:
        stamp.write_text(wanted)
    return ok


def _source_digest(options: tuple[str, ...]) -> str:
    files = subprocess.run(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard", *_BUILD_INPUTS],
        cwd=config.REPO,
        capture_output=True,
    ).stdout.split(b"\0")
    digest = hashlib.sha256("\0".join(options).encode())
    for name in sorted(f for f in files if f):
        path = config.REPO / name.decode()
        if path.is_file():
            digest.update(name + b"\0" + path.read_bytes())
    return digest.hexdigest()


def build_jadefox(python: Path, report: StageReport, label: str, *options: str) -> bool:
    """Builds jadefox from this tree into the venv of `python` with the
    pip config-settings `options` (CONFIG_SETTINGS);
    one check. A venv that already holds a build of the same sources with
    the same options keeps it (warm runs)."""
    stamp = python.parent.parent / "jadefox-build.stamp"
    digest = _source_digest(options)
    if stamp.is_file() and stamp.read_text() == digest:
        proc.say(f"{label}: jadefox already built from these sources with these options")
        report.passed(label)
        return True
    stamp.unlink(missing_ok=True)
    log = report.log_path(label)
    rc = proc.run(
        [
            python,
            "-m",
            "pip",
            "install",
            "-v",
            "--no-build-isolation",
            "--no-deps",
            "--force-reinstall",
            *options,
            config.REPO,
        ],
        log=log,
        env=config.PIP_QUIET_ENV,
        show=False,
        tail_on_failure=80,
    )
    ok = report.check(label, rc == 0, f"build failed (exit {rc}; log {log})")
    if ok:
        stamp.write_text(digest)
    return ok
