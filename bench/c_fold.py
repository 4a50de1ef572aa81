"""bench/_fold.c, compiled with -O2 and called through ctypes: the floor that
JadeDict.sum() is compared with."""

from __future__ import annotations

import array
import ctypes
import functools
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

from .checks import plain_fold

SOURCE = Path(__file__).with_name("_fold.c")


def compiler() -> str | None:
    return os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")


@functools.cache
def compiler_version() -> str:
    cc = compiler()
    if cc is None:
        return "none"
    out = subprocess.run([cc, "--version"], capture_output=True, text=True, timeout=60).stdout
    return out.splitlines()[0] if out else cc


def load():
    """fold(address, n) -> float over n doubles at address."""
    with tempfile.TemporaryDirectory(prefix="jadefox-bench-") as tmp:
        lib = os.path.join(tmp, "fold.so")
        subprocess.run(
            [compiler(), "-O2", "-shared", "-fPIC", "-o", lib, str(SOURCE)],
            check=True,
            capture_output=True,
            timeout=120,
        )
        fold = ctypes.CDLL(lib).fold  # the mapping outlives the deleted file
    fold.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    fold.restype = ctypes.c_double
    _self_test(fold)
    return fold


def _self_test(fold) -> None:
    """The C fold must be the same strict fold as sum(), or comparing with it
    means nothing (a compiler that reassociates would be faster and wrong)."""
    values = array.array("d", [0.1 * i - 3.7 for i in range(1000)] + [1e16, 1.0, -1e16])
    got = fold(values.buffer_info()[0], len(values))
    if got != plain_fold(values):
        raise RuntimeError(f"the C fold gives {got!r}, not the strict fold {plain_fold(values)!r}")
