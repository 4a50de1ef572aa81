#!/usr/bin/env python3
"""Runs the project's task runner, nox, after installing it into .venv/nox
with the interpreter that runs this file (the standard library suffices).

    python3 dev.py -s quickstart   # jadefox installed and the worked example run
    python3 dev.py -s all          # every stage, then "N passed, N failed"
    python3 dev.py                 # the stages, one line each; any one runs alone: -s NAME
    python3 dev.py -s test -- -k pickle -x   # the inner loop; after -- : pytest's options
"""

import os
import subprocess
import sys
import venv
from pathlib import Path

NOX = "nox==2026.10.20"
REPO = Path(__file__).resolve().parent
RUNNER = REPO / ".venv" / "nox"


def ensure_runner() -> Path:
    python = RUNNER / "bin" / "python"
    stamp = RUNNER / "installed.txt"
    if python.exists() and stamp.exists() and stamp.read_text() == NOX:
        return python
    print(f"installing {NOX} into {RUNNER.relative_to(REPO)}", flush=True)
    venv.EnvBuilder(clear=True, with_pip=True).create(RUNNER)
    for _ in range(3):
        rc = subprocess.call(
            [python, "-m", "pip", "install", "--retries", "5", "-q", "--disable-pip-version-check", NOX]
        )
        if rc == 0:
            stamp.write_text(NOX)
            return python
    sys.exit(f"could not install {NOX} (exit {rc})")


if __name__ == "__main__":
    if sys.version_info < (3, 9):
        sys.exit("dev.py needs Python 3.9 or newer to run nox")
    python = ensure_runner()
    os.chdir(REPO)
    # No stage named: list them, one line each, and run nothing.
    args = sys.argv[1:] or ["--list"]
    os.execv(python, [str(python), "-m", "nox", "-f", str(REPO / "noxfile.py"), *args])
