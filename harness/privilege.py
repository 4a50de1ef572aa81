"""Whether this process may act as root, and how: as root itself, or through
`sudo -n` (never a password prompt). Stages that need root ask here and are
skipped, with the reason, when neither works."""

from __future__ import annotations

import functools
import os
import shutil
import subprocess

from .results import StageSkipped


@functools.cache
def root_prefix() -> tuple[str, ...] | None:
    """() as root, ("sudo", "-n") where sudo works without a password,
    None when this process cannot act as root."""
    if os.geteuid() == 0:
        return ()
    sudo = shutil.which("sudo")
    if sudo and subprocess.run([sudo, "-n", "true"], capture_output=True).returncode == 0:
        return (sudo, "-n")
    return None


def require_root(what: str, command: str) -> tuple[str, ...]:
    """The prefix that runs a command as root; StageSkipped when there is
    none, naming `what` needs it and the `command` that would run it."""
    prefix = root_prefix()
    if prefix is None:
        raise StageSkipped(f"needs root or passwordless sudo ({what})", command)
    return prefix
