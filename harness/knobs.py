"""Every JADEFOX_* environment variable the project reads, with what it
means and its default; the harness reads and sets them only through the
names here (tests/python, tests/fuzz and examples/ read theirs directly,
by the same names).

The CMake options (JADEFOX_WERROR, JADEFOX_SANITIZE, ...) are not
environment variables: the stages pass them as pip config settings,
harness.session_venv.CONFIG_SETTINGS."""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass


@dataclass(frozen=True)
class Knob:
    name: str
    default: str
    meaning: str

    def value(self, environ: Mapping[str, str] = os.environ) -> str:
        """The setting in `environ`; the default when unset or empty."""
        return environ.get(self.name) or self.default


SKIP = Knob(
    "JADEFOX_SKIP",
    "",
    "stages not to run, comma-separated; `roots` names every stage that works in a Debian root. "
    "A stage skipped this way is booked as skipped, which fails under CI",
)
TEST_TIMEOUT = Knob(
    "JADEFOX_TEST_TIMEOUT",
    "1200",
    "seconds one test process (pytest, doctest) may run before it is stopped and counted failed",
)
RETRY_PAUSE = Knob(
    "JADEFOX_RETRY_PAUSE",
    "15",
    "seconds before the first retry of a step that reaches a registry (pip, apt, mmdebstrap); "
    "the pause grows with each attempt",
)
ROOTS = Knob("JADEFOX_ROOTS", "/var/cache/jadefox/roots", "the cache of Debian roots")
DEBIAN_MIRROR = Knob(
    "JADEFOX_DEBIAN_MIRROR",
    "",
    "the Debian mirror roots are made from; unset: the host's apt sources' Debian archive, else deb.debian.org",
)
FUZZ_SCALE = Knob(
    "JADEFOX_FUZZ_SCALE", "1", "multiplies the example budget of tests/fuzz (the sanitized stage sets 0.5)"
)
SLOWDOWN = Knob(
    "JADEFOX_SLOWDOWN", "1", "multiplies the hang deadlines of tests/python (the ThreadSanitizer runs set it)"
)
EXAMPLE_TIMEOUT = Knob(
    "JADEFOX_EXAMPLE_TIMEOUT", "300", "seconds examples/distributed.py waits for its Dask cluster before giving up"
)

ALL: tuple[Knob, ...] = (SKIP, TEST_TIMEOUT, RETRY_PAUSE, ROOTS, DEBIAN_MIRROR, FUZZ_SCALE, SLOWDOWN, EXAMPLE_TIMEOUT)
