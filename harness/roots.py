"""Debian roots: directory trees made with mmdebstrap from Debian's archive,
in which jadefox is built and tested on interpreters and machines this host
does not have (no containers here, and no interpreters from anywhere but
Debian). Each root is a row of harness.platforms.ROOTS; it is made once and kept
in the cache (`cache_dir()`) under its name and stamp, a digest of what it
is made from, so a changed definition makes a new root beside the old one
(which is removed once nothing uses it) and work trees with different
definitions never remake each other's roots.

Making a root and using one are serialised per root: `prepare()` holds an
exclusive lock while it makes a root, `using()` a shared one while a root is
in use, so a root is never replaced under a running test. Everything that
writes into the cache goes through `privilege.root_prefix()` (root itself, or
`sudo -n`); callers check first that there is one.

Knobs (harness.knobs): JADEFOX_ROOTS and JADEFOX_DEBIAN_MIRROR. To have a root made anew
although its stamp matches, remove its directory from the cache."""

from __future__ import annotations

import concurrent.futures
import contextlib
import fcntl
import functools
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
from collections.abc import Iterable, Iterator, Mapping, Sequence
from pathlib import Path
from typing import Any

from . import apt, config, knobs, privilege, proc
from .platforms import ROOTS, Root

IN_ROOT = Path(__file__).resolve().parent / "in_root"
BUILD_CPYTHON = IN_ROOT / "build-cpython.sh"
ENTER = Path(__file__).resolve().parent / "enter_root.py"
STAMP_FILE = ".jadefox-stamp"
DEFAULT_MIRROR = "http://deb.debian.org/debian"

# Raise when the way roots are made changes in a way their definitions do
# not show, so that cached roots get made again.
RECIPE = 1

# The environment every command in a root starts from; nothing else of the
# host's leaks in, CI included: the newcomer's inner run skips the root
# stages by request (roots do not nest), which CI would count as failures.
BASE_ENV = {
    "PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
    "HOME": "/root",
    "LANG": "C.UTF-8",
    "TERM": "dumb",
    "PIP_NO_CACHE_DIR": "1",
    **config.PIP_QUIET_ENV,
}


class RootsNotMade(RuntimeError):
    """prepare() could not make the roots `failed`."""

    def __init__(self, failed: Sequence[str], log_dir: Path) -> None:
        super().__init__(f"could not make the Debian root(s) {', '.join(failed)} (logs in {log_dir})")
        self.failed = tuple(failed)


def cache_dir() -> Path:
    return Path(knobs.ROOTS.value())


def root_dir(root: Root) -> Path:
    return cache_dir() / f"{root.name}-{_stamp_of_this_run(root)}"


def get(name: str) -> Root:
    try:
        return ROOTS[name]
    except KeyError:
        raise ValueError(f"unknown root {name!r}; known: {', '.join(ROOTS)}") from None


# --- what a root is made from ---------------------------------------------


def _without_comments(script: str) -> str:
    return "\n".join(line for line in script.splitlines() if not line.lstrip().startswith("#"))


def stamp(root: Root, build_script: Path = BUILD_CPYTHON) -> str:
    """A digest of everything the root is made from: its definition and, for
    a root that builds CPython, the build script's commands (its comments do
    not count). The mirror does not count: every mirror serves the same."""
    parts = [
        f"recipe {RECIPE}",
        root.suite,
        root.arch,
        root.python,
        root.cpython.source if root.cpython else "",
        *sorted(root.packages),
        "--",
        *root.apt_options,
    ]
    if root.cpython:
        parts += ["--", repr(root.cpython), _without_comments(build_script.read_text())]
    return hashlib.sha256("\n".join(parts).encode()).hexdigest()[:16]


@functools.cache
def _stamp_of_this_run(root: Root) -> str:
    """The root's stamp as this process first computed it: a run keeps to
    the definition it started with even if the build script is edited
    meanwhile (otherwise a root in use would seem to vanish)."""
    return stamp(root)


def is_fresh(root: Root) -> bool:
    """Whether the cached root was made to the end (its stamp is written
    last) and holds its interpreter."""
    d = root_dir(root)
    try:
        made_from = (d / STAMP_FILE).read_text().strip()
    except OSError:
        return False
    return made_from == _stamp_of_this_run(root) and os.path.lexists(d / root.python.lstrip("/"))


_DEBIAN_URL = re.compile(r"https?://\S+/debian/?(?=\s|$)")


def debian_mirror(environ: Mapping[str, str] = os.environ, apt_dir: Path = Path("/etc/apt")) -> str:
    """The Debian mirror: JADEFOX_DEBIAN_MIRROR, else the first Debian
    archive in the host's apt sources (one-line and deb822 style; comments
    ignored), else deb.debian.org."""
    if knobs.DEBIAN_MIRROR.value(environ):
        return knobs.DEBIAN_MIRROR.value(environ).rstrip("/")
    lists = [
        apt_dir / "sources.list",
        *sorted((apt_dir / "sources.list.d").glob("*.list")),
        *sorted((apt_dir / "sources.list.d").glob("*.sources")),
    ]
    for path in lists:
        try:
            text = path.read_text(errors="replace")
        except OSError:
            continue
        for line in text.splitlines():
            line = line.split("#", 1)[0]
            if m := _DEBIAN_URL.search(line):
                return m.group(0).rstrip("/")
    return DEFAULT_MIRROR


# --- privileged file operations ---------------------------------------------


def _privileged(argv: Sequence[str | os.PathLike[str]], **kwargs: Any) -> None:
    """Runs argv as root (directly when this process is root, else through
    sudo -n; as it is when neither, for caches the user owns)."""
    prefix = privilege.root_prefix() or ()
    subprocess.run([*prefix, *(os.fspath(a) for a in argv)], check=True, **kwargs)


def _mounts(mounts_file: Path) -> list[str]:
    """Mount points listed in a /proc/.../mounts file (octal escapes undone)."""
    points = []
    for line in mounts_file.read_text().splitlines():
        fields = line.split()
        if len(fields) > 1:
            points.append(re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), fields[1]))
    return points


def safe_remove(path: Path, mounts_file: Path = Path("/proc/self/mounts")) -> None:
    """rm -rf for a directory inside the cache with nothing mounted at or
    below it: a bind mount of /dev left behind must never be emptied."""
    cache = cache_dir().resolve()
    target = path.resolve()
    if cache not in target.parents:
        raise RuntimeError(f"refusing to remove {path}: not inside {cache}")
    if not os.path.lexists(path):
        return
    for point in _mounts(mounts_file):
        if Path(point) == target or target in Path(point).parents:
            raise RuntimeError(f"refusing to remove {path}: {point} is mounted inside it")
    _privileged(["rm", "-rf", "--one-file-system", target])


def _write(path: Path, text: str) -> None:
    _privileged(["tee", path], input=text.encode(), stdout=subprocess.DEVNULL)


def _ensure_cache() -> None:
    if not (cache_dir() / ".locks").is_dir():
        _privileged(["mkdir", "-p", cache_dir() / ".locks"])


# --- locking -------------------------------------------------------------


@contextlib.contextmanager
def _lock(name: str, shared: bool, wait: bool = True) -> Iterator[None]:
    """A per-root flock: shared while a root is used, exclusive while it is
    made or removed (BlockingIOError when busy and not `wait`). The lock
    file is opened read-only, so users of a cache that sudo made can take it
    too."""
    _ensure_cache()
    path = cache_dir() / ".locks" / name
    if not path.exists():
        _privileged(["touch", path])
    fd = os.open(path, os.O_RDONLY)
    try:
        mode = fcntl.LOCK_SH if shared else fcntl.LOCK_EX
        try:
            fcntl.flock(fd, mode | fcntl.LOCK_NB)
        except BlockingIOError:
            if not wait:
                raise
            proc.say(f"waiting for another run that {'makes' if shared else 'uses'} the root {name} ...")
            fcntl.flock(fd, mode)
        yield
    finally:
        os.close(fd)


@contextlib.contextmanager
def using(name: str) -> Iterator[Path]:
    """The root's directory, under a shared lock for as long as it is used."""
    root = get(name)
    with _lock(root_dir(root).name, shared=True):
        if not os.path.lexists(root_dir(root) / root.python.lstrip("/")):
            raise RuntimeError(f"the root {name} is not ready in {root_dir(root)}: prepare it first")
        yield root_dir(root)


# --- making roots --------------------------------------------------------


def host_tools(roots: Iterable[Root]) -> list[str]:
    """Debian packages this host needs to make and enter the roots."""
    tools = ["mmdebstrap", "util-linux", "mount"]
    host_arch = subprocess.run(
        ["dpkg", "--print-architecture"], capture_output=True, text=True, check=False
    ).stdout.strip()
    if any(r.arch != host_arch for r in roots):
        tools.append("arch-test")  # mmdebstrap checks a foreign architecture with it
    if any(r.machine.runs == "emulated" for r in roots):
        tools.append("qemu-user-static")  # registers its emulators with binfmt_misc
    return tools


def mmdebstrap_argv(root: Root, dest: Path, mirror: str) -> list[str]:
    sources = [f"deb {mirror} {root.suite} main"]
    hooks = []
    if root.cpython:
        sources.append(f"deb-src {mirror} {root.cpython.source_suite} main")
        # The download belongs to making the root, so it is retried with it.
        hooks.append(
            '--customize-hook=chroot "$1" sh -c \'mkdir -p /opt/src && chown _apt /opt/src'
            f" && cd /opt/src && apt-get source --download-only {root.cpython.source}'"
        )
    return [
        "unshare",
        "--mount",
        "--propagation",
        "private",
        "--",
        "mmdebstrap",
        "--variant=apt",
        f"--arch={root.arch}",
        f"--include={','.join(root.packages)}",
        *(f"--aptopt={opt}" for opt in (*root.apt_options, 'Acquire::Retries "3"')),
        *hooks,
        root.suite,
        str(dest),
        *sources,
    ]


def build_cpython_argv(root: Root) -> list[str]:
    """The command, run in the root, that builds and installs its CPython."""
    assert root.cpython is not None
    build = root.cpython
    return [
        "sh",
        f"/opt/src/{BUILD_CPYTHON.name}",
        root.cpython_prefix,
        build.version,
        "debian-site" if build.debian_site else "own-pip",
        *build.configure,
    ]


def _make(root: Root, log_dir: Path) -> None:
    """Makes the root in DIR.new and renames it when it is complete, so a
    root that could not be made never looks ready."""
    new = root_dir(root).with_name(root_dir(root).name + ".new")
    mirror = debian_mirror()
    proc.say(f"making the root {root.name}: {root.suite} {root.arch} from {mirror}")

    def attempt() -> int:
        safe_remove(new)
        return proc.run(
            [*(privilege.root_prefix() or ()), *mmdebstrap_argv(root, new, mirror)],
            log=log_dir / f"{root.name}-mmdebstrap.log",
            show=False,
        )

    if proc.retry(f"mmdebstrap of {root.name}", attempt) != 0:
        safe_remove(new)
        raise RuntimeError(f"mmdebstrap of {root.name} failed")
    if root.cpython:
        _privileged(["cp", BUILD_CPYTHON, new / "opt" / "src"])
        rc = _run_in(new, root.linux32, build_cpython_argv(root), log=log_dir / f"{root.name}-cpython.log", show=False)
        if rc != 0:
            safe_remove(new)
            raise RuntimeError(f"building CPython from {root.cpython.source} failed (exit {rc})")
    _write(new / STAMP_FILE, _stamp_of_this_run(root) + "\n")
    safe_remove(root_dir(root))  # one that was not made to the end
    _privileged(["mv", new, root_dir(root)])


def _remove_other_versions(root: Root) -> None:
    """Removes the roots made from earlier definitions of `root` that no
    one is using (a busy one stays for the next time)."""
    version = re.compile(re.escape(root.name) + r"-[0-9a-f]{16}")
    for d in cache_dir().iterdir():
        if d != root_dir(root) and version.fullmatch(d.name):
            with contextlib.suppress(BlockingIOError), _lock(d.name, shared=False, wait=False):
                proc.say(f"removing {d}, made from an earlier definition of {root.name}")
                safe_remove(d)


def _prepare_one(root: Root, log_dir: Path) -> str:
    key = root_dir(root).name
    with _lock(key, shared=True):
        done = "up to date" if is_fresh(root) else ""
    if not done:
        with _lock(key, shared=False):
            start = time.monotonic()
            if is_fresh(root):  # made by another run while this one waited
                done = "made by another run"
            else:
                _make(root, log_dir)
                done = f"made in {time.monotonic() - start:.0f} s"
    _remove_other_versions(root)
    return done


def prepare(names: Iterable[str], log_dir: Path) -> dict[str, str]:
    """Makes the missing or stale roots among `names`, all at once, and
    returns what was done for each; RootsNotMade names those that could not
    be made (their logs are in log_dir)."""
    roots = [get(n) for n in dict.fromkeys(names)]
    apt.ensure(host_tools(roots), "making Debian roots", "sudo python3 dev.py -s roots-prepare")
    log_dir.mkdir(parents=True, exist_ok=True)
    done: dict[str, str] = {}
    failed = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, len(roots))) as pool:
        futures = {pool.submit(_prepare_one, r, log_dir): r.name for r in roots}
        for future in concurrent.futures.as_completed(futures):
            name = futures[future]
            try:
                done[name] = future.result()
                proc.say(f"root {name}: {done[name]}")
            except Exception as error:  # noqa: BLE001 - reported by name, details in the logs
                proc.say(f"root {name}: could not be made: {error}")
                failed.append(name)
    if failed:
        raise RootsNotMade(sorted(failed), log_dir)
    return done


# --- running in a root ---------------------------------------------------


def root_env(env: Mapping[str, str] | None = None) -> dict[str, str]:
    """The whole environment of a command in a root: BASE_ENV and `env`."""
    return {**BASE_ENV, **(env or {})}


def enter_argv(
    directory: Path,
    linux32: bool,
    argv: Sequence[str],
    env: Mapping[str, str],
    cwd: str = "/",
    overlay: Path | None = None,
) -> list[str]:
    """The host command that runs argv in the root at `directory` (see
    enter_root.py); the command sees exactly `env`."""
    return [
        "unshare",
        "--mount",
        "--propagation",
        "private",
        "--",
        sys.executable,
        "-I",
        str(ENTER),
        str(directory),
        str(overlay or ""),
        "1" if linux32 else "0",
        "--",
        "/usr/bin/env",
        "-i",
        f"--chdir={cwd}",
        *(f"{k}={v}" for k, v in env.items()),
        *argv,
    ]


def _run_in(
    directory: Path,
    linux32: bool,
    argv: Sequence[str],
    *,
    env: Mapping[str, str] | None = None,
    cwd: str = "/",
    log: Path | None = None,
    timeout: float | None = None,
    show: bool = True,
    overlay: Path | None = None,
) -> int:
    full = enter_argv(directory, linux32, argv, root_env(env), cwd, overlay)
    return proc.run([*(privilege.root_prefix() or ()), *full], log=log, timeout=timeout, show=show)


def run(
    root: Root,
    argv: Sequence[str],
    *,
    env: Mapping[str, str] | None = None,
    log: Path | None = None,
    timeout: float | None = None,
    show: bool = True,
    overlay: Path | None = None,
    cwd: str = "/",
) -> int:
    """Runs argv as root inside the root, in a private mount namespace with
    /proc, /dev and a fresh /tmp, under linux32 where the root wants it,
    with BASE_ENV and `env` as its whole environment. With `overlay` (from
    overlay()), the root is only the lower layer and every change lands in
    the overlay. Returns the exit status (124 on timeout)."""
    return _run_in(
        root_dir(root), root.linux32, argv, env=env, cwd=cwd, log=log, timeout=timeout, show=show, overlay=overlay
    )


@contextlib.contextmanager
def overlay(root: Root) -> Iterator[Path]:
    """A throwaway overlay over the root for run(..., overlay=): its upper/
    layer receives every change, and all of it is removed afterwards."""
    ov = root_dir(root).with_name(f"{root_dir(root).name}.run.{os.getpid()}")
    safe_remove(ov)
    _privileged(["mkdir", "-p", ov / "upper", ov / "work", ov / "merged"])
    try:
        yield ov
    finally:
        safe_remove(ov)


def work_dir(stage: str) -> str:
    """Where a stage works inside any root, as the root sees it: its own per
    checkout (the roots are shared by every checkout on this machine) and
    per stage (stages share roots), so that no run clears another's work."""
    return f"/jobs/{config.CHECKOUT}/{stage}"


# --- files in and out ----------------------------------------------------


def source_files(repo: Path = config.REPO) -> list[str]:
    """The repository's files as git sees them: tracked (with uncommitted
    changes, deleted ones left out) and untracked ones that are not ignored.
    Without git, every file but build output, venvs and .git."""
    try:
        listed = subprocess.run(
            ["git", "-C", str(repo), "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
            capture_output=True,
            check=True,
        ).stdout
    except (OSError, subprocess.CalledProcessError):
        skip = {".git", "build", ".venv", ".nox"}
        return sorted(
            str(p.relative_to(repo))
            for p in repo.rglob("*")
            if not p.is_dir() and not skip & set(p.relative_to(repo).parts)
        )
    names = dict.fromkeys(os.fsdecode(n) for n in listed.split(b"\0") if n)
    return [n for n in names if os.path.lexists(repo / n)]


def copy_sources(root: Root, dest_in_root: str = "/src", repo: Path = config.REPO) -> None:
    """Replaces dest_in_root in the root with the repository's source_files()."""
    dest = root_dir(root) / dest_in_root.lstrip("/")
    safe_remove(dest)
    _privileged(["mkdir", "-p", dest])
    prefix = privilege.root_prefix() or ()
    extract = subprocess.Popen([*prefix, "tar", "-C", str(dest), "-xf", "-"], stdin=subprocess.PIPE)
    assert extract.stdin is not None
    with extract.stdin, tarfile.open(fileobj=extract.stdin, mode="w|") as tar:
        for name in source_files(repo):
            tar.add(repo / name, arcname=name, recursive=False)
    if extract.wait() != 0:
        raise RuntimeError(f"copying the sources into {dest} failed")


def make_dir(path: Path, mode: str = "755") -> None:
    """A directory (with its parents) under the cache, root's, with `mode`."""
    _privileged(["install", "-d", "-m", mode, path])


def copy_in(src: Path, dest: Path) -> None:
    """Copies a host file or directory to `dest` (a path under the cache),
    keeping modes; the directories made on the way are root's."""
    _privileged(["mkdir", "-p", dest.parent])
    _privileged(["cp", "-a", "--no-target-directory", src, dest])


def copy_out(src: Path, dest: Path) -> bool:
    """Copies a file or directory tree that a root left (under the cache) to
    `dest`, owned by this user; False when there is none."""
    prefix = privilege.root_prefix()
    dest.parent.mkdir(parents=True, exist_ok=True)
    if not prefix:  # root, or a cache this user owns
        if not src.exists():
            return False
        if src.is_dir():
            shutil.copytree(src, dest, dirs_exist_ok=True)
        else:
            shutil.copyfile(src, dest)
        return True
    # Through sudo: read as root into a tar stream, unpacked as this user.
    packed = subprocess.run(
        [*prefix, "tar", "-C", str(src.parent), "-cf", "-", src.name], capture_output=True, check=False
    )
    if packed.returncode != 0:
        return False
    with tempfile.TemporaryDirectory(dir=dest.parent) as tmp:
        with tarfile.open(fileobj=io.BytesIO(packed.stdout)) as tar:
            tar.extractall(tmp, filter="data")
        shutil.move(Path(tmp) / src.name, dest)
    return True
