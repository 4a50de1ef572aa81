"""The platforms jadefox is built, tested and released for, as data and
nothing else: the machines (one row per CPU architecture), the Debian roots
(one row each: suite, architecture, packages, the CPython built there) and
the interpreters in them (one row each: path, version, kind, whether it
makes a wheel, whether the core tests run there). The glibc floor of the
wheels is here too. Every other table of the harness (root stages, root
wheels, old-glibc roots, machine tags, zig targets, multiarch triplets,
allowed NEEDED entries, stand-in compilers) is derived from these rows.

A root's stamp (harness.roots.stamp) is a digest of its row: editing a
row makes that root anew, and only that one."""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass

# The newest glibc a wheel may require: manylinux_2_28, the floor most of
# the ecosystem builds to (RHEL 8 and its rebuilds, Debian 10).
GLIBC_FLOOR = (2, 28)


@dataclass(frozen=True)
class Machine:
    """A CPU architecture, by every name the tools give it."""

    debian: str  # Debian's architecture name: amd64
    wheel: str  # the machine in a wheel's platform tag and in platform.machine(): x86_64
    multiarch: str  # CPython's triplet in an extension module's file name: x86_64-linux-gnu
    zig: str  # zig's architecture name: x86_64
    gnu: str  # the GNU triplet prefix of its cross compilers: x86_64-linux-gnu
    loader: str  # glibc's dynamic loader, a NEEDED entry the module may have
    bits: int  # pointer width
    # How this (x86-64) host runs its binaries: "native", "linux32" (a
    # 32-bit personality, so that uname says the 32-bit machine), or
    # "emulated" (qemu-user through binfmt_misc).
    runs: str = "native"
    # Its C ABI computes doubles in x87 registers unless told otherwise: the
    # wheel's arithmetic must be SSE2 (bit-exact results).
    x87: bool = False


MACHINES: dict[str, Machine] = {
    m.debian: m
    for m in (
        Machine("amd64", "x86_64", "x86_64-linux-gnu", "x86_64", "x86_64-linux-gnu", "ld-linux-x86-64.so.2", 64),
        Machine("i386", "i686", "i386-linux-gnu", "x86", "i686-linux-gnu", "ld-linux.so.2", 32, "linux32", x87=True),
    )
}


@dataclass(frozen=True)
class CPythonBuild:
    """A CPython built in the root, when it is made, from the upstream tarball
    of a Debian source package (no suite ships the builds tested here)."""

    source: str  # the source package, e.g. python3.13
    source_suite: str  # the suite whose deb-src serves it
    configure: tuple[str, ...]  # ./configure's options besides --prefix
    # Whether it imports Debian's pure-Python packages (pip, pytest,
    # hypothesis, scikit-build-core) from the root; otherwise it has its own
    # pip (ensurepip) and nothing of Debian's, as on a user's machine.
    debian_site: bool

    @property
    def version(self) -> str:
        return self.source.removeprefix("python")

    @property
    def free_threaded(self) -> bool:
        return "--disable-gil" in self.configure

    @property
    def pytag(self) -> str:
        """The wheel tag of its CPython version: cp313 (with or without the GIL)."""
        return "cp" + self.version.replace(".", "")


# The kinds of interpreter, each tested its own way (harness.stages.root_stages).
DEFAULT = "default"
DEBUG = "debug"  # Py_DEBUG: built against its own headers, -X dev, the reference-leak run
FREE_THREADED = "free-threaded"  # the suite also on several threads per test, and the scaling table
TSAN = "tsan"  # free-threaded and built with ThreadSanitizer: the module built with it too


@dataclass(frozen=True)
class Interpreter:
    """A CPython in a root, with a stage of its own: root-<tag>-<machine>."""

    path: str
    version: str  # 3.14
    kind: str = DEFAULT
    wheel: bool = False  # the release builds its wheel here
    core_tests: bool = False  # the C++ core tests under ASan+UBSan too (once per architecture)

    @property
    def pytag(self) -> str:
        """The wheel tag of its version: cp314, cp313t for free-threaded ones."""
        return "cp" + self.version.replace(".", "") + ("t" if self.kind in (FREE_THREADED, TSAN) else "")


# The purposes of a root.
TESTS = "tests"  # jadefox built and tested with each of its interpreters
OLD_GLIBC = "old-glibc"  # the oldest glibc the archive serves: wheels made elsewhere installed and tested
NEWCOMER = "newcomer"  # a user's machine with only the README's prerequisites


@dataclass(frozen=True)
class Root:
    name: str
    suite: str
    arch: str  # a MACHINES key
    packages: tuple[str, ...]
    interpreters: tuple[Interpreter, ...] = ()
    # The interpreter that shows the root is ready (and that the old-glibc
    # tests use); by default the first of `interpreters`.
    python: str = ""
    cpython: CPythonBuild | None = None  # `python` is built when the root is made
    apt_options: tuple[str, ...] = ()
    purpose: str = TESTS
    glibc: tuple[int, int] | None = None  # its glibc, where the release tests wheels against it

    def __post_init__(self) -> None:
        if not self.python:
            object.__setattr__(self, "python", self.interpreters[0].path)

    @property
    def machine(self) -> Machine:
        return MACHINES[self.arch]

    @property
    def linux32(self) -> bool:
        return self.machine.runs == "linux32"

    @property
    def free_threaded(self) -> bool:
        return self.cpython is not None and self.cpython.free_threaded

    @property
    def cpython_prefix(self) -> str:
        """Where the interpreter built from source is installed."""
        return self.python.rsplit("/", 2)[0]


# What building and testing jadefox needs, all from Debian (no registry is
# reached from inside a platform root).
_BUILD_AND_TEST = (
    "g++",
    "cmake",
    "ninja-build",
    "python3-pip",
    "python3-scikit-build-core",
    "python3-pathspec",
    "python3-packaging",
    "python3-pytest",
    "python3-hypothesis",
)
# What CPython's configure needs for the standard library modules that pip,
# pytest and hypothesis use.
_CPYTHON_BUILD = (
    "build-essential",
    "pkg-config",
    "dpkg-dev",
    "xz-utils",
    "zlib1g-dev",
    "libffi-dev",
    "libbz2-dev",
    "liblzma-dev",
    "libsqlite3-dev",
    "libreadline-dev",
    "libncurses-dev",
    "uuid-dev",
    "libgdbm-dev",
    "libmpdec-dev",
)
# forky's Release file carries a Valid-Until date that has passed.
_EXPIRED_RELEASE = ('Acquire::Check-Valid-Until "false"',)

# Free-threaded 3.13 from trixie's source, using trixie's pure-Python
# packages; no test modules (nothing run there needs them).
_FREE_THREADED = CPythonBuild(
    "python3.13", "trixie", ("--disable-gil", "--without-ensurepip", "--disable-test-modules"), debian_site=True
)
# The same with ThreadSanitizer compiled into the interpreter itself, so that
# a race between jadefox and the interpreter's own code is seen from both sides.
_FREE_THREADED_TSAN = dataclasses.replace(
    _FREE_THREADED, configure=(*_FREE_THREADED.configure, "--with-thread-sanitizer")
)
# An old glibc's own CPython: trixie's 3.13 source built by the old GCC, with
# its own pip, since the old suite's packages are for its own old Python.
_OLD_GLIBC = CPythonBuild("python3.13", "trixie", ("--disable-test-modules",), debian_site=False)

_FORKY = ("python3.14", "python3.14-dev", "python3.15", "python3.15-dev", "python3.15-venv")

ROOTS: dict[str, Root] = {
    r.name: r
    for r in (
        # One forky root per architecture holds every interpreter tested there
        # (each one a stage of its own), so that one root is made, not five.
        Root(
            "forky-amd64",
            "forky",
            "amd64",
            (*_BUILD_AND_TEST, *_FORKY, "python3.14-dbg", "python3.15-dbg"),
            apt_options=_EXPIRED_RELEASE,
            interpreters=(
                Interpreter("/usr/bin/python3.14", "3.14", wheel=True),
                Interpreter("/usr/bin/python3.15", "3.15", wheel=True),
                Interpreter("/usr/bin/python3.14d", "3.14", DEBUG),
                Interpreter("/usr/bin/python3.15d", "3.15", DEBUG),
            ),
        ),  # fmt: skip
        Root(
            "forky-i386",
            "forky",
            "i386",
            (*_BUILD_AND_TEST, *_FORKY, "doctest-dev"),
            apt_options=_EXPIRED_RELEASE,
            interpreters=(
                Interpreter("/usr/bin/python3.14", "3.14", wheel=True, core_tests=True),
                Interpreter("/usr/bin/python3.15", "3.15", wheel=True),
            ),
        ),  # fmt: skip
        # Debian's own 3.13 on i386: trixie, the suite that ships it.
        Root(
            "trixie-i386",
            "trixie",
            "i386",
            (*_BUILD_AND_TEST, "python3.13", "python3.13-dev", "python3.13-venv"),
            interpreters=(Interpreter("/usr/bin/python3.13", "3.13", wheel=True),),
        ),  # fmt: skip
        Root(
            "cp313t-amd64",
            "trixie",
            "amd64",
            (*_BUILD_AND_TEST, *_CPYTHON_BUILD),
            cpython=_FREE_THREADED,
            interpreters=(Interpreter("/opt/py313t/bin/python3.13t", "3.13", FREE_THREADED, wheel=True),),
        ),  # fmt: skip
        Root(
            "cp313t-tsan-amd64",
            "trixie",
            "amd64",
            (*_BUILD_AND_TEST, *_CPYTHON_BUILD),
            cpython=_FREE_THREADED_TSAN,
            interpreters=(Interpreter("/opt/py313t-tsan/bin/python3.13t", "3.13", TSAN),),
        ),  # fmt: skip
        # The oldest glibc (2.31) the archive serves, where the wheels must
        # install and work; nothing there compiles jadefox.
        Root(
            "bullseye-amd64",
            "bullseye",
            "amd64",
            _CPYTHON_BUILD,
            python="/opt/python3.13/bin/python3.13",
            cpython=_OLD_GLIBC,
            purpose=OLD_GLIBC,
            glibc=(2, 31),
        ),  # fmt: skip
        Root(
            "bullseye-i386",
            "bullseye",
            "i386",
            _CPYTHON_BUILD,
            python="/opt/python3.13/bin/python3.13",
            cpython=_OLD_GLIBC,
            purpose=OLD_GLIBC,
            glibc=(2, 31),
        ),  # fmt: skip
        # A user's machine holding only the README's prerequisites, and nothing
        # more: the newcomer stage proves that this is enough.
        Root(
            "newcomer",
            "trixie",
            "amd64",
            ("python3", "python3-venv", "python3-dev", "g++", "git", "ca-certificates"),
            python="/usr/bin/python3",
            purpose=NEWCOMER,
        ),  # fmt: skip
    )
}
