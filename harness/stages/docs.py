"""The documentation stage: the site in docs/ built by Sphinx with warnings as
errors, every example on its pages and in the README run against a fresh
build of jadefox (pytest's doctest over the Markdown), every script in
examples/ run with its printed output compared, and every built page loaded
in headless Chromium with no failed resource, no script error and no request
leaving the filesystem; the landing page's screenshot stays with the
results (the browser check is harness/page_check.py, run in the stage's
venv, where websockets is)."""

from __future__ import annotations

import shutil
import subprocess
import time
from pathlib import Path

from .. import apt, config, dependencies, proc, session_venv
from ..results import StageReport

DOCS = config.REPO / "docs"
EXAMPLES = config.REPO / "examples"
SITE = config.BUILD / "docs" / "html"
SCREENSHOT = "landing.png"
# Examples that need more than the docs group installs; another stage runs them.
RUN_ELSEWHERE = {"dask_shards.py": "needs a Dask cluster; the suite stages run it (tests/python/test_pickle.py)"}
# Debian's browser, and the fonts that make its screenshot readable.
BROWSER_PACKAGES = ("chromium", "fonts-dejavu-core")


def run(session, report: StageReport) -> None:
    if not session_venv.install(session, report, "docs tools", *dependencies.group("build", "docs")):
        return
    python = session_venv.venv_python(session)
    if not session_venv.build_jadefox(python, report, "build"):
        return
    _sphinx(python, report)
    _doctests(python, report)
    _examples(python, report)
    if (SITE / "index.html").is_file():
        apt.ensure(BROWSER_PACKAGES, "the docs stage loads every page in Chromium", "python3 dev.py -s docs")
        rc = proc.run(
            [python, "-m", "harness.page_check", SITE, report.xml_path("browser"), report.dir / SCREENSHOT],
            cwd=config.REPO,
            timeout=config.TEST_TIMEOUT,
            log=report.log_path("browser"),
        )
        report.runner("browser", rc)


def _sphinx(python: Path, report: StageReport) -> None:
    """HTML with warnings as errors, nitpicky, from nothing (no stale pages)."""
    shutil.rmtree(SITE.parent, ignore_errors=True)
    rc = proc.run(
        [
            python,
            "-m",
            "sphinx",
            "-b",
            "html",
            "-W",
            "--keep-going",
            "-n",
            "-q",
            "-E",
            "-d",
            SITE.parent / "doctrees",
            DOCS,
            SITE,
        ],
        cwd=config.REPO,
        timeout=config.TEST_TIMEOUT,
        log=report.log_path("sphinx"),
    )
    report.check("sphinx-build -W -n (links, images, references)", rc == 0, f"exit {rc}")


def _doctests(python: Path, report: StageReport) -> None:
    """Every `>>>` example of every page, of the README and of the stub's
    docstrings (what editors show), its output compared."""
    pages = sorted(str(p.relative_to(config.REPO)) for p in DOCS.glob("*.md"))
    rc = proc.run(
        [
            python,
            "-m",
            "pytest",
            "--doctest-glob=*.md",
            "--doctest-glob=*.pyi",
            "-p",
            "no:cacheprovider",
            "-q",
            f"--junitxml={report.xml_path('doctest')}",
            "README.md",
            "module/jadefox.pyi",
            *pages,
        ],
        cwd=config.REPO,
        timeout=config.TEST_TIMEOUT,
        log=report.log_path("doctest"),
    )
    report.runner("doctest", rc)


def _examples(python: Path, report: StageReport) -> None:
    """Each script of examples/ prints exactly its .out file (the output the
    cookbook shows beside it)."""
    for script in sorted(EXAMPLES.glob("*.py")):
        name = f"example {script.name}"
        if script.name in RUN_ELSEWHERE:
            report.skipped(name, RUN_ELSEWHERE[script.name])
            continue
        expected = script.with_suffix(".out")
        start = time.monotonic()
        result = subprocess.run(
            [python, script], check=False, capture_output=True, text=True, cwd=EXAMPLES, timeout=config.TEST_TIMEOUT
        )
        seconds = time.monotonic() - start
        if result.returncode != 0:
            report.failed(name, f"exit {result.returncode}", result.stdout + result.stderr, seconds)
        elif not expected.is_file():
            report.failed(name, f"no {expected.name} holding its expected output", result.stdout, seconds)
        elif result.stdout != expected.read_text():
            report.failed(name, f"output differs from {expected.name}", result.stdout, seconds)
        else:
            report.passed(name, seconds)
