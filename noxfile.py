"""The test command's stages, one nox session each (harness/stages/registry.py
names them all); `python3 dev.py -s all` runs every stage and prints the
per-stage summary, `python3 dev.py -s NAME` runs one, and options after
`--` go to its test runner: `python3 dev.py -s test -- -k pickle -x`."""

from __future__ import annotations

import sys
from collections.abc import Callable
from pathlib import Path

import nox

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import stage_runner  # noqa: E402 - the harness is importable once its directory is on the path
from harness.stages import registry  # noqa: E402 - as above

nox.options.default_venv_backend = "venv"
nox.options.download_python = "never"  # interpreters come from this machine or Debian only
nox.options.reuse_venv = "yes"
nox.options.sessions = ["all"]


def _session(entry: registry.Stage) -> Callable[[nox.Session], None]:
    def run(session: nox.Session) -> None:
        if not entry.booked:
            entry.body(session)
            return
        counts = stage_runner.run(entry.name, lambda report: entry.body(session, report), entry.in_root)
        if stage_runner.failed(counts):
            session.error(f"{counts}")

    run.__doc__ = entry.doc
    return run


for _entry in registry.stages():
    nox.session(name=_entry.name, python=_entry.python)(_session(_entry))
