"""Debian packages the harness needs on this machine (doctest-dev,
mmdebstrap, ...), installed with apt-get when missing."""

from __future__ import annotations

import subprocess
from collections.abc import Sequence

from . import privilege, proc


def missing(packages: Sequence[str]) -> list[str]:
    """The packages of the list that dpkg does not report as installed."""
    result = subprocess.run(
        ["dpkg-query", "-W", "-f=${Package} ${db:Status-Status}\n", *packages], capture_output=True, text=True
    )
    installed = {line.split()[0] for line in result.stdout.splitlines() if line.endswith(" installed")}
    return [p for p in packages if p not in installed]


def ensure(packages: Sequence[str], why: str, command: str) -> None:
    """Installs whichever of `packages` are missing (apt-get update, then
    install without recommends, retried); StageSkipped when they are
    missing and this process cannot act as root."""
    needed = missing(packages)
    if not needed:
        return
    prefix = privilege.require_root(f"{why}: apt-get install {' '.join(needed)}", command)
    via = " through sudo -n" if prefix else ""
    proc.say(f"installing Debian packages: {' '.join(needed)} (apt-get{via})")

    apt_get = [*prefix, "env", "DEBIAN_FRONTEND=noninteractive", "apt-get"]

    def attempt() -> int:
        rc = proc.run([*apt_get, "update", "-q"])
        if rc == 0:
            rc = proc.run([*apt_get, "install", "-y", "-q", "--no-install-recommends", *needed])
        return rc

    if proc.retry(f"apt-get install {' '.join(needed)}", attempt) != 0:
        raise RuntimeError(f"could not install {' '.join(needed)}")
