"""Checks of the interpreter a Debian root runs jadefox on, run there with
the venv's python: `32-bit` (under linux32 a 32-bit interpreter must see an
i686 machine) and `gil-disabled` (on a free-threaded interpreter, importing
jadefox must leave the GIL off). Each prints what it saw and exits non-zero
when the check fails."""

from __future__ import annotations

import platform
import struct
import sys


def check_32bit() -> bool:
    bits, machine = struct.calcsize("P") * 8, platform.machine()
    print(f"{bits}-bit interpreter on {machine}")
    return (bits, machine) == (32, "i686")


def check_gil_disabled() -> bool:
    import jadefox  # noqa: F401 - the import is what may turn the GIL on

    enabled = sys._is_gil_enabled()
    print(f"after importing jadefox the GIL is {'enabled' if enabled else 'disabled'}")
    return not enabled


CHECKS = {"32-bit": check_32bit, "gil-disabled": check_gil_disabled}

if __name__ == "__main__":
    print(sys.version.replace("\n", " "))
    sys.exit(0 if CHECKS[sys.argv[1]]() else 1)
