"""The stages that run in Debian roots: jadefox built and tested on each
platform root (root-<name>), the roots made ahead of time (roots-prepare),
and the newcomer: the README's two commands in a git clone on a machine
holding only the README's prerequisites."""

from __future__ import annotations

import os
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from .. import config, dependencies, knobs, platforms, privilege, proc, roots, sanitizers, session_venv
from ..place import Place, step
from ..results import StageReport


@dataclass(frozen=True)
class Platform:
    """What one root-<name> stage tests: an interpreter of a root, tested
    the way its kind asks (harness.platforms)."""

    root: str  # the root (harness.platforms.ROOTS) it runs in
    interpreter: platforms.Interpreter

    @property
    def python(self) -> str:
        return self.interpreter.path

    @property
    def debug(self) -> bool:
        """Built against its own headers, run under -X dev, and the reference-leak run."""
        return self.interpreter.kind == platforms.DEBUG

    @property
    def threaded(self) -> bool:
        """Also the suite under pytest-run-parallel, and the scaling table."""
        return self.interpreter.kind == platforms.FREE_THREADED

    @property
    def tsan(self) -> bool:
        """The module built with -fsanitize=thread: the thread tests and the
        suite under pytest-run-parallel, no report allowed."""
        return self.interpreter.kind == platforms.TSAN

    @property
    def core_tests(self) -> bool:
        return self.interpreter.core_tests


def stage_name(root: platforms.Root, interpreter: platforms.Interpreter) -> str:
    """cp314-amd64, cp314d-amd64 (debug), cp313t-tsan-amd64, ..."""
    kind = {platforms.DEBUG: "d", platforms.TSAN: "-tsan"}.get(interpreter.kind, "")
    return f"{interpreter.pytag}{kind}-{root.arch}"


PLATFORMS: dict[str, Platform] = {
    stage_name(root, interp): Platform(root.name, interp)
    for root in platforms.ROOTS.values()
    for interp in root.interpreters
}
# The platform stages; the newcomer root has its own stage.
ROOT_STAGES: tuple[str, ...] = tuple(PLATFORMS)

# pytest-run-parallel is not in trixie, where the free-threaded interpreter is
# built: its wheel (pure Python) is fetched on the host and installed offline.
(PYTEST_RUN_PARALLEL,) = dependencies.group("threaded")
PARALLEL_THREADS = 4

# A debug interpreter's headers are symbolic links into the non-debug ones'
# directory; GCC resolves links of system headers and would then pick the
# non-debug pyconfig.h (no Py_DEBUG) while the module's name says debug.
DEBUG_CXXFLAGS = "-fno-canonical-system-headers"

# Left out of the threaded suite under ThreadSanitizer, to keep the stage to
# minutes: the Hypothesis properties (a minute and a half there) check
# values, which every other run checks; on 4 threads they only share
# instances across threads the way test_arithmetic.py and test_threads.py do.
TSAN_LEAVES_OUT = ("tests/python/test_properties.py",)


def describe(name: str) -> str:
    """One line saying what the stage root-<name> tests."""
    platform = PLATFORMS[name]
    root = roots.get(platform.root)
    python = Path(platform.python).name
    if root.cpython:
        python += f" ({'free-threaded, ' if root.free_threaded else ''}built from Debian's source)"
    text = f"jadefox built and tested with {python} on Debian {root.suite} {root.arch}"
    if platform.debug:
        text += " under -X dev, and the reference-leak run"
    if platform.threaded:
        text += f", and the suite on {PARALLEL_THREADS} threads per test"
    if platform.tsan:
        text = (
            f"jadefox built with ThreadSanitizer for {python}, itself built with it, on Debian "
            f"{root.suite} {root.arch}: the thread tests and the suite on {PARALLEL_THREADS} threads "
            "per test, with no report allowed"
        )
    return text + (", and the core tests under ASan+UBSan" if platform.core_tests else "")


@dataclass(frozen=True)
class _Job:
    """Where one stage works inside its root: stages sharing a root each
    have their own sources, venv and results. `pytest_args` go to every
    pytest run (a developer's selection, e.g. -k pickle)."""

    stage: str
    place: Place
    pytest_args: tuple[str, ...] = ()

    def run(self, report: StageReport, label: str, argv: list[str], **how: Any) -> int:
        """A command in the root, its log named by `label`."""
        return self.place.run(argv, log=report.log_path(label), **how)

    def collect(self, report: StageReport, label: str, returncode: int) -> None:
        """Books a runner that left its JUnit file in the results as `label`.xml."""
        self.place.collect(report, label, f"{self.results}/{label}.xml", returncode)

    @property
    def dir(self) -> str:
        return roots.work_dir(self.stage)

    @property
    def src(self) -> str:
        return f"{self.dir}/src"

    @property
    def venv_py(self) -> str:
        return f"{self.dir}/venv/bin/python"

    @property
    def results(self) -> str:
        return f"{self.dir}/results"

    @property
    def checks(self) -> str:
        return f"{self.src}/harness/in_root/interpreter_checks.py"


def _command(stage: str) -> str:
    return f"sudo python3 dev.py -s {stage}"


def _made(report: StageReport, names: list[str], stage: str) -> bool:
    """Prepares the roots `names`, one check per root; whether all are ready."""
    privilege.require_root(f"Debian roots ({', '.join(names)})", _command(stage))
    failed: tuple[str, ...] = ()
    try:
        roots.prepare(names, report.log_dir)
    except roots.RootsNotMade as error:
        failed = error.failed
    for name in names:
        report.check(f"root {name}", name not in failed, f"could not be made; logs: {report.log_dir}/{name}-*.log")
    return not failed


def _tools_env(platform: Platform) -> dict[str, str]:
    """Environment of the tools (venv, pip) run by the stage's interpreter.
    A ThreadSanitizer interpreter would report its own races in them and
    end them with a failing status; jadefox is not loaded there, and what it
    runs under the sanitizer is checked by the test runs."""
    return {"TSAN_OPTIONS": "report_bugs=0"} if platform.tsan else {}


def _build(report: StageReport, platform: Platform, job: _Job) -> bool:
    """jadefox built and installed in a fresh venv in the root: offline, with
    Debian's scikit-build-core, warnings as errors."""
    env = {**_tools_env(platform), **({"CXXFLAGS": DEBUG_CXXFLAGS} if platform.debug else {})}
    sanitize = session_venv.CONFIG_SETTINGS["tsan"] if platform.tsan else ()
    return step(
        report,
        "venv",
        job.place,
        [platform.python, "-m", "venv", "--without-pip", "--system-site-packages", f"{job.dir}/venv"],
        env=env,
    ) and step(
        report,
        "build",
        job.place,
        [
            job.venv_py,
            "-m",
            "pip",
            "install",
            "-v",
            "--no-index",
            "--no-build-isolation",
            "--no-deps",
            *session_venv.CONFIG_SETTINGS["werror"],
            *sanitize,
            job.src,
        ],
        env=env,
    )


def _pytest(
    report: StageReport,
    job: _Job,
    label: str,
    env: dict[str, str],
    python_options: tuple[str, ...] = (),
    pytest_options: tuple[str, ...] = (),
    paths: tuple[str, ...] = ("tests/python",),
) -> None:
    rc = job.run(
        report,
        label,
        [
            job.venv_py,
            *python_options,
            "-P",
            "-m",
            "pytest",
            *paths,
            "-q",
            "-p",
            "no:cacheprovider",
            f"--junitxml={job.results}/{label}.xml",
            *pytest_options,
            *job.pytest_args,
        ],
        env=env,
        cwd=job.src,
        show=True,
        timeout=config.TEST_TIMEOUT,
    )
    job.collect(report, label, rc)


def _core_tests(report: StageReport, job: _Job) -> None:
    """The C++ core's doctest suite under ASan+UBSan, built in the root."""
    build_dir = f"{job.dir}/core-tests"
    if not (
        step(
            report,
            "core-configure",
            job.place,
            ["cmake", "-S", f"{job.src}/tests/core", "-B", build_dir, "-G", "Ninja"],
        )
        and step(report, "core-build", job.place, ["cmake", "--build", build_dir, "-j", str(os.cpu_count() or 2)])
    ):
        return
    rc = job.run(
        report,
        "core-asan",
        [f"{build_dir}/core_tests", "-r=junit", f"-o={job.results}/core-asan.xml"],
        env=sanitizers.core_env("asan"),
        cwd=build_dir,
        show=True,
        timeout=config.TEST_TIMEOUT,
    )
    job.collect(report, "core-asan", rc)


def _debug_runs(report: StageReport, job: _Job) -> None:
    """On a debug interpreter: proof that the module was compiled for it, the
    suite under -X dev (the interpreter's assertions and its development
    checks), and the reference-leak run (its selection: harness.refleak.EXCLUDED)."""
    if not step(report, "debug-build", job.place, [job.venv_py, job.checks, "debug-build"], show=True):
        return
    _pytest(report, job, "pytest-dev", {}, python_options=("-X", "dev"))
    rc = job.run(
        report,
        "refleak",
        [
            job.venv_py,
            "-X",
            "dev",
            "-m",
            "harness.refleak",
            f"--junitxml={job.results}/refleak.xml",
        ],
        cwd=job.src,
        show=True,
        timeout=config.TEST_TIMEOUT,
    )
    job.collect(report, "refleak", rc)


def _fetch_wheel(report: StageReport, requirement: str) -> Path | None:
    """The wheel of a pure-Python requirement, downloaded on the host (the
    roots reach no registry); None, booked as a failure, when it cannot be."""
    dest = report.log_dir / "wheels"
    rc = proc.run(
        [sys.executable, "-m", "pip", "download", "--no-deps", "--only-binary=:all:", "-d", str(dest), requirement],
        log=report.log_path("download"),
        show=False,
        env={**os.environ, **config.PIP_QUIET_ENV},
    )
    wheels = sorted(dest.glob("*.whl"))
    if not report.check(
        f"download {requirement}",
        rc == 0 and len(wheels) == 1,
        f"pip download failed (log: {report.log_path('download')})",
    ):
        return None
    return wheels[0]


def _run_parallel_installed(report: StageReport, job: _Job, platform: Platform) -> bool:
    """pytest-run-parallel in the job's venv."""
    wheel = _fetch_wheel(report, PYTEST_RUN_PARALLEL)
    if wheel is None:
        return False
    in_root = job.place.bring(wheel, job.dir)
    return step(
        report,
        "install pytest-run-parallel",
        job.place,
        [job.venv_py, "-m", "pip", "install", "--no-index", "--no-deps", in_root],
        env=_tools_env(platform),
    )


def _threaded_suite(
    report: StageReport,
    job: _Job,
    platform: Platform,
    env: dict[str, str],
    selection: tuple[str, ...] = (),
) -> None:
    """The whole suite with PARALLEL_THREADS threads per test (tests marked
    thread_unsafe on one; the JUnit file says how many ran threaded)."""
    if _run_parallel_installed(report, job, platform):
        _pytest(
            report,
            job,
            "pytest-threaded",
            env,
            pytest_options=(f"--parallel-threads={PARALLEL_THREADS}", *selection),
        )


def _threaded_runs(report: StageReport, job: _Job, platform: Platform, env: dict[str, str]) -> None:
    """The threaded suite and the scaling table of bench/scaling.py."""
    _threaded_suite(report, job, platform, env)
    step(
        report,
        "scaling",
        job.place,
        [job.venv_py, "bench/scaling.py", "--json", f"{job.results}/scaling.json"],
        env=env,
        cwd=job.src,
        show=True,
        timeout=config.TEST_TIMEOUT,
    )
    job.place.fetch(f"{job.results}/scaling.json", report.log_dir / "scaling.json")


def _tsan_reports(job: _Job) -> str:
    return f"{job.dir}/tsan-reports"


def _tsan_env(report: StageReport, job: _Job) -> dict[str, str] | None:
    """The environment of every run of jadefox under ThreadSanitizer (the
    reports of every process into one fresh directory, the interpreter's own
    races suppressed by tests/python/tsan.supp), once a planted race has
    been reported with it; None, booked, when that fails."""
    supp = sanitizers.TSAN_SUPPRESSIONS
    if not report.check(
        "suppressions", sanitizers.suppressions_are_safe(supp), f"{supp} has a pattern that could match jadefox frames"
    ):
        return None
    reports = _tsan_reports(job)
    env = sanitizers.module_tsan_env(reports, f"{job.src}/{supp.relative_to(config.REPO)}")
    job.place.clear(reports, make=True)
    job.run(report, "canary", [job.venv_py, "-m", "harness.canary", "race"], env=env, cwd=job.src)
    planted = sanitizers.scan_reports(job.place.host_path(reports))
    if not report.check(
        "sanitizer canary (a planted race is reported)",
        any(f.kind == "ThreadSanitizer" for f in planted),
        "ThreadSanitizer reported nothing: its runtime is not active",
    ):
        return None
    job.place.clear(reports, make=True)
    return env


def _tsan_runs(report: StageReport, job: _Job, platform: Platform, env: dict[str, str]) -> None:
    """The thread tests and the threaded suite under ThreadSanitizer; every
    report left by them (or by anything run since _tsan_env) is a failure."""
    _pytest(
        report,
        job,
        "pytest-threads",
        env,
        paths=("tests/python/test_threads.py",),
        pytest_options=sanitizers.WITHOUT_PLAIN_ALLOCATOR_TESTS,
    )
    _threaded_suite(
        report,
        job,
        platform,
        env,
        (*sanitizers.WITHOUT_PLAIN_ALLOCATOR_TESTS, *(f"--ignore={t}" for t in TSAN_LEAVES_OUT)),
    )
    for n, finding in enumerate(sanitizers.scan_reports(job.place.host_path(_tsan_reports(job))), 1):
        report.failed(f"ThreadSanitizer report {n}", finding.kind, str(finding))


def run_root(report: StageReport, name: str, pytest_args: tuple[str, ...] = ()) -> None:
    """jadefox built from this work tree's files in the stage's root and its
    tests run there with the stage's interpreter (see Platform); each
    pytest run also gets `pytest_args`."""
    platform = PLATFORMS[name]
    root = roots.get(platform.root)
    job = _Job(name, Place(root), tuple(pytest_args))
    if not _made(report, [root.name], f"root-{name}"):
        return
    with roots.using(root.name):
        job.place.clear(job.dir, make=True)
        roots.copy_sources(root, job.src)
        job.place.clear(job.results, make=True)
        if not _build(report, platform, job):
            return
        env: dict[str, str] = {}
        if platform.tsan:
            tsan = _tsan_env(report, job)
            if tsan is None:
                return
            env.update(tsan)
        machine = root.machine
        if machine.runs != "native":
            step(
                report,
                f"{machine.bits}-bit {machine.wheel}",
                job.place,
                [job.venv_py, job.checks, "machine", machine.wheel, str(machine.bits)],
                show=True,
            )
        if root.free_threaded:
            env["PYTHONWARNINGS"] = config.GIL_REENABLED_IS_ERROR
            step(report, "gil-disabled", job.place, [job.venv_py, job.checks, "gil-disabled"], env=env, show=True)
        if platform.debug:
            _debug_runs(report, job)
        elif platform.tsan:
            _tsan_runs(report, job, platform, env)
        else:
            _pytest(report, job, "pytest", env)
        if platform.threaded:
            _threaded_runs(report, job, platform, env)
        if platform.core_tests:
            _core_tests(report, job)


def prepare_all(report: StageReport) -> None:
    """Makes every root that is missing or stale (the newcomer's too)."""
    _made(report, list(roots.ROOTS), "roots-prepare")


# --- the newcomer ----------------------------------------------------------

CLONE = "/root/jadefox"
ORIGIN = "/newcomer-origin"
# What the newcomer takes from the host, at run time only, so that it reaches
# the package registries the way this host does: apt's settings (not its
# sources, which name the host's release), pip's configuration files and the
# local CA certificates. PIP_* and proxy variables come from the environment.
CA_CERTS = "/usr/local/share/ca-certificates"
HOST_COPIES = ("/etc/apt/apt.conf.d", "/etc/pip.conf", "/etc/xdg/pip", CA_CERTS)
HOME_COPIES = (".config/pip", ".pip")


def host_settings(home: Path) -> list[tuple[Path, str]]:
    """(host path, path in the root) of the host's settings that exist."""
    pairs = [(Path(p), p) for p in HOST_COPIES]
    pairs += [(home / p, f"/root/{p}") for p in HOME_COPIES]
    return [(src, dest) for src, dest in pairs if src.exists()]


def _seed(report: StageReport, upper: Path) -> None:
    """The host's settings and a git bundle of HEAD into the overlay's upper
    layer (/root first, with the mode it has in the root)."""
    roots.make_dir(upper / "root", mode="700")
    for src, dest in host_settings(Path.home()):
        roots.copy_in(src, upper / dest.lstrip("/"))
        proc.say(f"copied in: {src}")
    bundle = report.log_dir / "jadefox.bundle"
    subprocess.run(
        ["git", "-C", str(config.REPO), "bundle", "create", str(bundle), "HEAD"], check=True, capture_output=True
    )
    roots.copy_in(bundle, upper / ORIGIN.lstrip("/") / "jadefox.bundle")
    bundle.unlink()


def run_newcomer(report: StageReport) -> None:
    """A throwaway overlay over the newcomer root, the host's registry
    settings copied in, a clone of HEAD in /root/jadefox, and there the
    README's two commands, one check each; the inner run's results join this
    stage's under inner/."""
    if not _made(report, ["newcomer"], "newcomer"):
        return
    root = roots.get("newcomer")
    env = config.registry_env()
    with roots.using("newcomer"), roots.overlay(root) as ov:
        place = Place(root, ov)
        _seed(report, ov / "upper")
        if any(Path(CA_CERTS).glob("*")):
            step(report, "ca-certificates", place, ["update-ca-certificates"])
        if not step(report, "clone", place, ["git", "clone", "-q", f"{ORIGIN}/jadefox.bundle", CLONE]):
            return
        place.clear(ORIGIN)
        step(report, "quickstart", place, ["python3", "dev.py", "-s", "quickstart"], env=env, cwd=CLONE, show=True)
        step(
            report,
            "all",
            place,
            ["python3", "dev.py", "-s", "all"],
            env={**env, knobs.SKIP.name: "roots"},
            cwd=CLONE,
            show=True,
        )
        place.fetch(f"{CLONE}/build/logs", report.log_dir / "inner")
        if not place.fetch(f"{CLONE}/build/results", report.dir / "inner"):
            report.failed("inner results", f"the run in the clone left no {CLONE}/build/results")
