"""Facts the whole harness shares, each stated once: where things go, how
long a test run may take, and the settings passed to interpreters."""

from __future__ import annotations

import hashlib
import os
from pathlib import Path

from . import knobs

REPO = Path(__file__).resolve().parent.parent
BUILD = REPO / "build"
RESULTS = BUILD / "results"  # one directory per stage, JUnit XML files only
LOGS = BUILD / "logs"  # one directory per stage

# Caches that outlive a checkout, so that a fresh clone's run is warm:
# zig's compiled C and C++ runtimes for the release wheels.
USER_CACHE = Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "jadefox"
ZIG_CACHE = USER_CACHE / "zig"

# This checkout, among others on the machine that share the Debian roots:
# each has its own work directories inside them.
CHECKOUT = hashlib.sha256(os.fsencode(REPO)).hexdigest()[:12]

# Seconds one test run (a pytest or doctest process) may take before it is
# stopped and counted as failed, so a hang cannot eat CI's whole budget.
TEST_TIMEOUT = int(knobs.TEST_TIMEOUT.value())

# Oldest CPython 3.x the project builds for.
MIN_PYTHON = (3, 12)

# On a free-threaded interpreter, importing a module that does not declare
# itself free of the GIL silently turns the GIL back on; this PYTHONWARNINGS
# entry makes that an error wherever a free-threaded interpreter runs.
GIL_REENABLED_IS_ERROR = "error:The global interpreter lock:RuntimeWarning"

# What every harness-made environment for pip sets.
PIP_QUIET_ENV = {"PIP_DISABLE_PIP_VERSION_CHECK": "1", "PIP_NO_INPUT": "1"}

# Variables that carry the host's way to the package registries (pip's own
# settings and proxies); passed into Debian roots and to the newcomer.
REGISTRY_ENV_PREFIXES = ("PIP_",)
REGISTRY_ENV_NAMES = ("http_proxy", "https_proxy", "no_proxy", "HTTP_PROXY", "HTTPS_PROXY", "NO_PROXY")


def registry_env() -> dict[str, str]:
    """The host's pip settings and proxies, to hand to another environment."""
    return {k: v for k, v in os.environ.items() if k.startswith(REGISTRY_ENV_PREFIXES) or k in REGISTRY_ENV_NAMES}


def in_ci() -> bool:
    """CI must never pass by skipping: there a skipped stage is a failure."""
    return os.environ.get("CI", "").lower() not in ("", "0", "false", "no")


def skipped_by_request_text() -> str:
    return knobs.SKIP.value()


def skipped_by_request() -> set[str]:
    """Stages named in JADEFOX_SKIP (see harness.knobs)."""
    return {w.strip() for w in skipped_by_request_text().split(",") if w.strip()}
