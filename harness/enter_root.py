"""Enters a Debian root and runs a command there; harness.roots starts it
as root under `unshare --mount --propagation private`, so every mount made
here lives in a private mount namespace and vanishes with the command,
whatever becomes of it, without ever showing on the host.

Usage: enter_root.py ROOT OVERLAY LINUX32 -- COMMAND...
  OVERLAY: "" or a directory holding upper/, work/ and merged/: ROOT is then
  only the lower layer and every change lands in upper/.
  LINUX32: "1" to run COMMAND under linux32 (a 32-bit root sees i686).

Standard library only, and nothing of the harness: it runs as the
interpreter that runs the harness, through sudo too."""

from __future__ import annotations

import os
import subprocess
import sys

SETUP_FAILED = 125  # the status when the root could not be entered


def mount(*args: str) -> None:
    subprocess.run(["mount", *args], check=True)


def enter(root: str, overlay: str, linux32: bool, command: list[str]) -> None:
    if overlay:
        mount(
            "-t",
            "overlay",
            "overlay",
            "-o",
            f"lowerdir={root},upperdir={overlay}/upper,workdir={overlay}/work",
            f"{overlay}/merged",
        )
        root = f"{overlay}/merged"
    mount("-t", "proc", "proc", f"{root}/proc")
    mount("--rbind", "/dev", f"{root}/dev")
    mount("-t", "tmpfs", "-o", "mode=1777", "tmpfs", f"{root}/tmp")
    chroot = ["chroot", root, *command]
    argv = ["linux32", *chroot] if linux32 else chroot
    os.execvp(argv[0], argv)


def main(argv: list[str]) -> int:
    if len(argv) < 5 or argv[3] != "--":
        print(__doc__, file=sys.stderr)
        return 2
    root, overlay, linux32, _, *command = argv
    try:
        enter(root, overlay, linux32 == "1", command)
    except (OSError, subprocess.CalledProcessError) as error:
        print(f"enter_root: could not enter {root}: {error}", file=sys.stderr)
    return SETUP_FAILED


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
