"""zig as the compiler of the release wheels (PyPI `ziglang`).

zig's driver is clang with LLVM's libc++, libc++abi and libunwind, and it
links against stubs of any glibc version it is told: a module built for
`x86_64-linux-gnu.2.28` uses no glibc symbol newer than 2.28, whatever glibc
the build machine has, so its wheel gets manylinux_2_28 or older.

A toolchain is a directory of wrapper scripts (cc, c++, ar, ranlib) that run
one zig executable for one target, plus what a pip wheel build needs to use
them: the environment (CC, CXX, zig's cache) and the pip config settings
that give CMake the archiver (LTO objects are LLVM bitcode, which only
LLVM's archiver indexes). CMakeLists.txt does the rest once it sees libc++.
"""

from __future__ import annotations

import os
import shlex
from dataclasses import dataclass
from pathlib import Path

from . import config, platforms, proc

ZIGLANG = "ziglang==0.17.0"
# The oldest glibc the wheels are built for.
GLIBC = ".".join(map(str, platforms.GLIBC_FLOOR))
# Wheel machine names -> zig's architecture names.
ARCHITECTURES = {m.wheel: m.zig for m in platforms.MACHINES.values()}


@dataclass(frozen=True)
class Toolchain:
    target: str  # e.g. "x86-linux-gnu.2.28"
    directory: Path  # the wrapper scripts, as the build sees them
    env: dict[str, str]  # for the pip wheel process
    config_settings: tuple[str, ...]  # pip -C options

    def wrapper(self, name: str) -> Path:
        return self.directory / name


def install(python: Path, log: Path) -> int:
    """pip install of ziglang into the environment of `python` (retried:
    registries flake); the exit status."""
    return proc.retry(
        f"pip install {ZIGLANG}",
        lambda: proc.run(
            [python, "-m", "pip", "install", "--retries", "5", "-q", ZIGLANG],
            log=log,
            env=config.PIP_QUIET_ENV,
            show=False,
        ),
    )


def executable(python: Path) -> Path:
    """The zig executable of the ziglang package installed for `python`."""
    package = proc.output([python, "-c", "import os, ziglang; print(os.path.dirname(ziglang.__file__))"])
    return Path(package.strip()) / "zig"


def target(machine: str, glibc: str = GLIBC) -> str:
    """zig's target triple for a wheel machine name and a glibc version."""
    try:
        return f"{ARCHITECTURES[machine]}-linux-gnu.{glibc}"
    except KeyError:
        raise ValueError(f"no zig target for machine {machine!r} (known: {', '.join(ARCHITECTURES)})") from None


def toolchain(
    zig: Path, machine: str, directory: Path, cache: Path, *, seen_as: Path | None = None, glibc: str = GLIBC
) -> Toolchain:
    """Writes the wrapper scripts for `machine` into `directory` and returns
    the toolchain. `zig` and `cache` are paths as the build sees them;
    `seen_as` is where the build sees `directory` (inside a Debian root, say),
    `directory` itself by default. zig's cache holds the runtime libraries it
    compiles once per target (minutes), so it should outlive the build."""
    triple = target(machine, glibc)
    seen = seen_as or directory
    directory.mkdir(parents=True, exist_ok=True)
    commands: dict[str, list[str | os.PathLike[str]]] = {
        "cc": [zig, "cc", "-target", triple],
        "c++": [zig, "c++", "-target", triple],
        # The archivers do not depend on the target.
        "ar": [zig, "ar"],
        "ranlib": [zig, "ranlib"],
    }
    for name, argv in commands.items():
        path = directory / name
        path.write_text(f'#!/bin/sh\nexec {shlex.join(os.fspath(a) for a in argv)} "$@"\n')
        path.chmod(0o755)
    env = {
        "CC": os.fspath(seen / "cc"),
        "CXX": os.fspath(seen / "c++"),
        # A distribution's pyconfig.h (Debian's) includes the one of its
        # architecture from /usr/include/<multiarch triplet>/, which zig, a
        # cross compiler bringing its own glibc headers, does not search.
        # Searched last, so zig's glibc headers still come first.
        "CXXFLAGS": "-idirafter /usr/include",
        "ZIG_GLOBAL_CACHE_DIR": os.fspath(cache),
        "ZIG_LOCAL_CACHE_DIR": os.fspath(cache),
    }
    settings = tuple(
        f"-Ccmake.define.{var}={seen / tool}"
        for var, tool in (
            ("CMAKE_AR", "ar"),
            ("CMAKE_RANLIB", "ranlib"),
            # What CMake's link-time optimisation check asks for with clang.
            ("CMAKE_CXX_COMPILER_AR", "ar"),
            ("CMAKE_CXX_COMPILER_RANLIB", "ranlib"),
        )
    )
    return Toolchain(triple, seen, env, settings)
