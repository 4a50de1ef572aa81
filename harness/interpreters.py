"""The CPython interpreters of this machine that the project builds for:
version >= config.MIN_PYTHON, with their headers, one per (version,
free-threaded or not). Version-manager shims are skipped: a pyenv shim for
python3.12 exists even when no 3.12 is selected, and only prints an error."""

from __future__ import annotations

import functools
import glob
import json
import os
import re
import subprocess
from dataclasses import dataclass
from pathlib import Path

from . import config

_PROBE = """
import json, os, sys, sysconfig
print(json.dumps({
    "cpython": sys.implementation.name == "cpython",
    "version": list(sys.version_info[:3]),
    "free_threaded": bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
    "debug": hasattr(sys, "gettotalrefcount"),
    "headers": os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")),
    "real": os.path.realpath(sys.executable),
}))
"""
_NAME = re.compile(r"^python3(\.\d+t?)?$")


@dataclass(frozen=True)
class Interpreter:
    path: Path
    version: tuple[int, int, int]
    free_threaded: bool

    @property
    def tag(self) -> str:
        """cp312, cp313t, ..."""
        return f"cp{self.version[0]}{self.version[1]}{'t' if self.free_threaded else ''}"


def _candidates() -> list[str]:
    found = []
    for d in os.environ.get("PATH", "").split(os.pathsep):
        if not d or d.endswith("/shims"):
            continue
        for minor in range(config.MIN_PYTHON[1], 21):
            for suffix in ("", "t"):
                found.append(os.path.join(d, f"python3.{minor}{suffix}"))
    pyenv_root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    for pattern in (
        f"{pyenv_root}/versions/*/bin/python3*",
        "/usr/bin/python3*",
        "/usr/local/bin/python3*",
        "/opt/*/bin/python3*",
    ):
        found += sorted(glob.glob(pattern))
    return [f for f in found if _NAME.match(os.path.basename(f)) and os.path.isfile(f) and os.access(f, os.X_OK)]


def _probe(path: str) -> dict | None:
    try:
        out = subprocess.run([path, "-I", "-c", _PROBE], capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return None
    if out.returncode != 0:
        return None
    try:
        return json.loads(out.stdout)
    except json.JSONDecodeError:
        return None


@functools.cache
def host_interpreters() -> tuple[Interpreter, ...]:
    """Oldest first. Interpreters without headers or debug builds are left
    out (a debug build needs a module built for its own ABI)."""
    by_key: dict[tuple[int, int, bool], Interpreter] = {}
    seen: set[str] = set()
    for cand in _candidates():
        info = _probe(cand)
        if not info or not info["cpython"] or info["real"] in seen:
            continue
        seen.add(info["real"])
        version = tuple(info["version"])
        if version[:2] < config.MIN_PYTHON or not info["headers"] or info["debug"]:
            continue
        key = (version[0], version[1], info["free_threaded"])
        # The versioned name says which interpreter it is; keep the first.
        by_key.setdefault(key, Interpreter(Path(cand), version, info["free_threaded"]))
    return tuple(sorted(by_key.values(), key=lambda i: (i.version, i.free_threaded)))


def newest_with_gil() -> Interpreter | None:
    with_gil = [i for i in host_interpreters() if not i.free_threaded]
    return with_gil[-1] if with_gil else None
