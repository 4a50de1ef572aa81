"""The lint stage: ruff (lint rules and format check) and mypy over the
harness, bench/ and tests/ (pyproject.toml's [tool.ruff] and [tool.mypy]
say what is left out, and why), and clang-format over the C++ of core/ and
module/ against the committed .clang-format. One check per tool run; the
tools, clang-format too, come from the `lint` dependency group, pinned (each
clang-format release lays some code out differently)."""

from __future__ import annotations

import re
from pathlib import Path

from .. import config, dependencies, proc, session_venv
from ..results import StageReport

PYTHON_PATHS = ("harness", "bench", "tests", "noxfile.py", "dev.py")
# mypy takes each test directory on its own: each has its own conftest.py.
MYPY_RUNS = (
    ("harness", "bench", "tests/harness", "noxfile.py", "dev.py"),
    ("tests/bench",),
    ("tests/fuzz",),
    ("tests/python",),
    ("examples",),
)
CXX_DIRS = ("core", "module")
CXX_SUFFIXES = (".cpp", ".h")


def cxx_files(directory: str) -> list[Path]:
    return sorted(p for p in (config.REPO / directory).iterdir() if p.suffix in CXX_SUFFIXES)


def _tool(report: StageReport, label: str, argv: list[str | Path]) -> None:
    log = report.log_path(re.sub(r"[^\w.]+", "-", label).strip("-"))
    rc = proc.run(argv, cwd=config.REPO, log=log, show=False)
    report.check(label, rc == 0, f"exit {rc} (log: {log})", proc.tail(log))


def run(session, report: StageReport) -> None:
    if not session_venv.install(session, report, "lint tools", *dependencies.group("lint")):
        return
    tools = Path(session.bin)
    _tool(report, "ruff check", [tools / "ruff", "check", "--no-cache", *PYTHON_PATHS])
    _tool(report, "ruff format --check", [tools / "ruff", "format", "--no-cache", "--check", *PYTHON_PATHS])
    for paths in MYPY_RUNS:
        _tool(
            report,
            f"mypy {' '.join(paths)}",
            [tools / "mypy", "--cache-dir", config.BUILD / "mypy-cache" / "lint", *paths],
        )
    for directory in CXX_DIRS:
        _tool(
            report,
            f"clang-format {directory}/",
            [tools / "clang-format", "--dry-run", "--Werror", *cxx_files(directory)],
        )
