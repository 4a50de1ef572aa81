"""Checks of the interpreter a Debian root runs jadefox on, run there with
the venv's python: `machine MACHINE BITS` (an interpreter run under linux32
or an emulator must see the root's machine and pointer width),
`gil-disabled` (on a free-threaded interpreter, importing jadefox must leave
the GIL off) and `debug-build` (on a debug interpreter, the module must
have been compiled with its Py_DEBUG headers). Each prints what it saw and
exits non-zero when the check fails."""

from __future__ import annotations

import platform
import struct
import subprocess
import sys
from collections.abc import Callable


def check_machine(machine: str, bits: str) -> bool:
    seen = (platform.machine(), str(struct.calcsize("P") * 8))
    print(f"{seen[1]}-bit interpreter on {seen[0]}")
    return seen == (machine, bits)


def check_gil_disabled() -> bool:
    import jadefox  # noqa: F401 - the import is what may turn the GIL on

    enabled = sys._is_gil_enabled()  # type: ignore[attr-defined]  # new in 3.13; runs on free-threaded ones only
    print(f"after importing jadefox the GIL is {'enabled' if enabled else 'disabled'}")
    return not enabled


def check_debug_build() -> bool:
    # The file name's ABI suffix only says which interpreter the module was
    # built for; the headers it was compiled with show in what it imports: a
    # Py_DEBUG build's inline reference counting calls _Py_NegativeRefcount.
    import jadefox

    debug = hasattr(sys, "gettotalrefcount")
    symbols = subprocess.run(
        ["nm", "-D", "--undefined-only", jadefox.__file__], capture_output=True, text=True, check=True
    ).stdout.split()
    compiled_for_debug = "_Py_NegativeRefcount" in symbols
    print(f"debug interpreter: {debug}; {jadefox.__file__} references _Py_NegativeRefcount: {compiled_for_debug}")
    return debug and compiled_for_debug and "d" in sys.abiflags


CHECKS: dict[str, Callable[..., bool]] = {
    "machine": check_machine,
    "gil-disabled": check_gil_disabled,
    "debug-build": check_debug_build,
}

if __name__ == "__main__":
    print(sys.version.replace("\n", " "))
    sys.exit(0 if CHECKS[sys.argv[1]](*sys.argv[2:]) else 1)
