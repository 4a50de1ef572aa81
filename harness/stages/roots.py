"""The stages that run in Debian roots: jadefox built and tested on each
platform root (root-<name>), the roots made ahead of time (roots-prepare),
and the newcomer: the README's two commands in a git clone on a machine
holding only the README's prerequisites."""

from __future__ import annotations

import os
import subprocess
from pathlib import Path

from .. import config, privilege, proc, roots, sanitizers
from ..results import StageReport

# The platform roots, one stage each; the newcomer root has its own stage.
ROOT_STAGES: tuple[str, ...] = tuple(n for n in roots.ROOTS if n != "newcomer")

VENV_PY = "/venv/bin/python"
RESULTS_IN_ROOT = "/results"   # where runners in a root write their JUnit files
CHECKS = "/src/harness/in_root/interpreter_checks.py"


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
        report.check(f"root {name}", name not in failed,
                     f"could not be made; logs: {report.log_dir}/{name}-*.log")
    return not failed


def _in_root(report: StageReport, root: roots.Root, label: str, argv: list[str], *,
             env: dict[str, str] | None = None, cwd: str = "/", show: bool = False,
             timeout: float | None = None, overlay: Path | None = None) -> int:
    return roots.run(root, argv, env=env, cwd=cwd, log=report.log_path(label), show=show,
                     timeout=timeout, overlay=overlay)


def _step(report: StageReport, root: roots.Root, label: str, argv: list[str], **kwargs) -> bool:
    """One command in the root that must succeed, booked as one check."""
    rc = _in_root(report, root, label, argv, **kwargs)
    log = report.log_path(label)
    tail = "\n".join(log.read_text(errors="replace").splitlines()[-80:]) if log.exists() else ""
    return report.check(label, rc == 0, f"exit {rc} (log: {log})", tail)


def _clear(root: roots.Root, path: str, make: bool = False, overlay: Path | None = None) -> None:
    """Removes `path` in the root (and makes it anew when `make`)."""
    for argv in (["rm", "-rf", path], ["mkdir", "-p", path])[:2 if make else 1]:
        if roots.run(root, argv, show=False, overlay=overlay) != 0:
            raise RuntimeError(f"could not clear {path} in the root {root.name}")


def _collect(report: StageReport, root: roots.Root, label: str, rc: int) -> None:
    """Copies a runner's JUnit file out of the root and books the run."""
    src = roots.root_dir(root) / RESULTS_IN_ROOT.lstrip("/") / f"{label}.xml"
    roots.copy_out(src, report.xml_path(label))
    report.runner(label, rc)


def _build(report: StageReport, root: roots.Root) -> bool:
    """jadefox built and installed in a fresh venv in the root: offline, with
    Debian's scikit-build-core, warnings as errors."""
    _clear(root, "/venv")
    return (_step(report, root, "venv", [root.python, "-m", "venv", "--without-pip",
                                         "--system-site-packages", "/venv"])
            and _step(report, root, "build", [VENV_PY, "-m", "pip", "install", "-v", "--no-index",
                                              "--no-build-isolation", "--no-deps",
                                              "-Ccmake.define.JADEFOX_WERROR=ON", "/src"]))


def _pytest(report: StageReport, root: roots.Root, env: dict[str, str]) -> None:
    rc = _in_root(report, root, "pytest",
                  [VENV_PY, "-P", "-m", "pytest", "tests/python", "-q", "-p", "no:cacheprovider",
                   f"--junitxml={RESULTS_IN_ROOT}/pytest.xml"],
                  env=env, cwd="/src", show=True, timeout=config.TEST_TIMEOUT)
    _collect(report, root, "pytest", rc)


def _core_tests(report: StageReport, root: roots.Root) -> None:
    """The C++ core's doctest suite under ASan+UBSan, built in the root."""
    build = "/build/core-tests"
    _clear(root, build)
    if not (_step(report, root, "core-configure", ["cmake", "-S", "/src/tests/core", "-B", build,
                                                       "-G", "Ninja"])
            and _step(report, root, "core-build", ["cmake", "--build", build, "-j",
                                                   str(os.cpu_count() or 2)])):
        return
    rc = _in_root(report, root, "core-asan",
                  [f"{build}/core_tests", "-r=junit", f"-o={RESULTS_IN_ROOT}/core-asan.xml"],
                  env=sanitizers.core_env("asan"), cwd=build, show=True, timeout=config.TEST_TIMEOUT)
    _collect(report, root, "core-asan", rc)


def run_root(report: StageReport, name: str) -> None:
    """jadefox built from this work tree's files in the root `name` and its
    tests run there; on i386 also the core tests."""
    root = roots.get(name)
    if not _made(report, [name], f"root-{name}"):
        return
    with roots.using(name):
        roots.copy_sources(root)
        _clear(root, RESULTS_IN_ROOT, make=True)
        if not _build(report, root):
            return
        env: dict[str, str] = {}
        if root.linux32:
            _step(report, root, "32-bit", [VENV_PY, CHECKS, "32-bit"], show=True)
        if root.free_threaded:
            env["PYTHONWARNINGS"] = config.GIL_REENABLED_IS_ERROR
            _step(report, root, "gil-disabled", [VENV_PY, CHECKS, "gil-disabled"], env=env, show=True)
        _pytest(report, root, env)
        if root.core_tests:
            _core_tests(report, root)


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
    subprocess.run(["git", "-C", str(config.REPO), "bundle", "create", str(bundle), "HEAD"],
                   check=True, capture_output=True)
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
    # Not CI's: the inner run skips the root stages by request (roots do not
    # nest), which CI would count as failures.
    env = {**config.registry_env()}
    with roots.using("newcomer"), roots.overlay(root) as ov:
        _seed(report, ov / "upper")
        if any(Path(CA_CERTS).glob("*")):
            _step(report, root, "ca-certificates", ["update-ca-certificates"], overlay=ov)
        if not _step(report, root, "clone", ["git", "clone", "-q", f"{ORIGIN}/jadefox.bundle", CLONE],
                     overlay=ov):
            return
        _clear(root, ORIGIN, overlay=ov)
        _step(report, root, "quickstart", ["python3", "dev.py", "-s", "quickstart"],
              env=env, cwd=CLONE, overlay=ov, show=True)
        _step(report, root, "all", ["python3", "dev.py", "-s", "all"],
              env={**env, "JADEFOX_SKIP": "roots"}, cwd=CLONE, overlay=ov, show=True)
        inner = ov / "upper" / CLONE.lstrip("/") / "build" / "results"
        if not roots.copy_out(inner, report.dir / "inner"):
            report.failed("inner results", f"the run in the clone left no {CLONE}/build/results")
