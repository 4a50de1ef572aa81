"""Checks of the release artifacts as an index and an installer see them.
Each check returns the problems it found, one sentence each; an empty list
means the artifact is sound.

sdist: the members sit under NAME-VERSION/, carry the fixed timestamp
SOURCE_DATE_EPOCH and include what a build and the tests need.

wheel: the tags (the file name and WHEEL agree; the Python tag, such as
cp313t; a manylinux_2_N tag for the machine, x86_64 or i686), the exact file
list (the module, the stub beside it, the stub package with py.typed, the
license), every RECORD hash, the metadata, and no build-machine path in the
module: none of the directories the build ran in, and only relative source
names (module/errors.cpp), which is how the internal-failure diagnostic
names them. On i686 the module must compute doubles with SSE2, never x87.

What the metadata must say comes from the project's own pyproject.toml, so
adding an extra or bumping the version needs no change here."""

from __future__ import annotations

import base64
import email.message
import email.parser
import functools
import hashlib
import re
import subprocess
import tarfile
import tempfile
import tomllib
import zipfile
from collections.abc import Sequence
from pathlib import Path

from . import config

# The machine names of a wheel's platform tag, and the multiarch triplet
# CPython puts in an extension module's file name there.
MACHINES = {"x86_64": "x86_64-linux-gnu", "i686": "i386-linux-gnu"}

# What a build from the sdist, and the tests run from it, cannot do without.
SDIST_NEEDS = ("PKG-INFO", "pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md",
               "module/jadefox.pyi", "module/py.typed", "tests/python/conftest.py")
# What must never travel in an sdist: build output, environments, history.
SDIST_JUNK = ("build/", ".venv/", ".git/", "dist/")

REQUIRED_CLASSIFIERS = ("Programming Language :: Python :: Free Threading",
                        "License :: OSI Approved :: MIT License", "Typing :: Typed")

# objdump's mnemonics for double arithmetic: SSE2 (addsd, mulpd, ...) and
# x87 (fadd, fmulp, fdivrl, fadds, ...). The whitespace around them keeps
# operand text and symbol names from matching.
_SSE2_DOUBLE_OP = re.compile(r"\s(?:add|sub|mul|div)[sp]d\s")
_X87_OP = re.compile(r"\sf(?:add|sub|mul|div)r?p?[sl]?\s")


@functools.cache
def project() -> dict:
    """The [project] table of the repository's pyproject.toml."""
    with open(config.REPO / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["project"]


def dist_name() -> str:
    """NAME-VERSION, the stem of the sdist and of the dist-info directory."""
    return f"{project()['name']}-{project()['version']}"


# --- sdist -------------------------------------------------------------------

def sdist_problems(path: Path, epoch: int) -> list[str]:
    top = f"{dist_name()}/"
    with tarfile.open(path) as tar:
        members = tar.getmembers()
    names = {m.name for m in members}
    problems = []
    for m in members:
        if not (m.name + "/").startswith(top):
            problems.append(f"member outside {top}: {m.name}")
        if m.mtime != epoch:
            problems.append(f"{m.name}: mtime {m.mtime}, not SOURCE_DATE_EPOCH {epoch}")
    problems += [f"missing {need}" for need in SDIST_NEEDS if top + need not in names]
    problems += [f"contains {junk}" for junk in SDIST_JUNK
                 if any(n.startswith(top + junk) for n in names)]
    return problems


# --- wheel -------------------------------------------------------------------

def wheel_tags(path: Path) -> tuple[str, str, str] | None:
    """(python, abi, platform) from a wheel's file name; None when the name
    is not this project's NAME-VERSION-PY-ABI-PLATFORM.whl."""
    m = re.fullmatch(rf"{re.escape(dist_name())}-(\w+)-(\w+)-(\w+)\.whl", path.name)
    return m.groups() if m else None  # type: ignore[return-value]


def module_name(pytag: str, arch: str) -> str:
    """The extension module's file name in a wheel for `pytag` (cp313,
    cp313t) on `arch`: jadefox.cpython-313t-x86_64-linux-gnu.so."""
    return f"{project()['name']}.cpython-{pytag[2:]}-{MACHINES[arch]}.so"


def expected_files(pytag: str, arch: str) -> set[str]:
    name, info = project()["name"], f"{dist_name()}.dist-info/"
    return {module_name(pytag, arch), f"{name}.pyi", f"{name}-stubs/__init__.pyi",
            f"{name}-stubs/py.typed", info + "licenses/LICENSE", info + "METADATA",
            info + "WHEEL", info + "RECORD"}


def wheel_problems(path: Path, pytag: str, arch: str, forbidden: Sequence[str] = ()) -> list[str]:
    """Everything about a wheel for `pytag` on `arch` except its machine
    code; `forbidden` are the directories the build ran in."""
    tags = wheel_tags(path)
    if tags is None:
        return [f"unexpected wheel name {path.name}"]
    py, abi, plat = tags
    problems = []
    want_py = pytag.rstrip("t")
    if (py, abi) != (want_py, pytag):
        problems.append(f"tags {py}-{abi}, want {want_py}-{pytag}")
    if not re.fullmatch(rf"manylinux_2_\d+_{arch}", plat):
        problems.append(f"platform tag {plat} is not manylinux_2_N_{arch}")
    info = f"{dist_name()}.dist-info/"
    with zipfile.ZipFile(path) as zf:
        names = {n for n in zf.namelist() if not n.endswith("/")}  # not directories
        wheel = _headers(zf.read(info + "WHEEL").decode())
        if wheel.get_all("Tag") != [f"{py}-{abi}-{plat}"]:
            problems.append(f"WHEEL tags {wheel.get_all('Tag')} differ from the file name")
        if wheel.get("Root-Is-Purelib") != "false":
            problems.append("WHEEL says Root-Is-Purelib is not false")
        want = expected_files(pytag, arch)
        if names != want:
            problems.append(f"files: missing {sorted(want - names)}, "
                            f"unexpected {sorted(names - want)}")
        problems += record_problems(zf)
        problems += metadata_problems(zf.read(info + "METADATA").decode())
        so = module_name(pytag, arch)
        if so in names:
            problems += module_problems(zf.read(so), forbidden)
    return problems


def _headers(text: str) -> email.message.Message:
    return email.parser.Parser().parsestr(text)


def record_problems(zf: zipfile.ZipFile) -> list[str]:
    """Every file listed in RECORD with its hash and size, and none missing."""
    record = f"{dist_name()}.dist-info/RECORD"
    problems, listed = [], set()
    for row in zf.read(record).decode().splitlines():
        if not row:
            continue
        file, digest, size = row.rsplit(",", 2)
        listed.add(file)
        if file == record:
            continue
        data = zf.read(file)
        algo, _, want = digest.partition("=")
        got = base64.urlsafe_b64encode(hashlib.new(algo, data).digest()).rstrip(b"=").decode()
        if got != want or int(size) != len(data):
            problems.append(f"RECORD does not match {file}")
    unlisted = {n for n in zf.namelist() if not n.endswith("/")} - listed
    if unlisted:
        problems.append(f"files missing from RECORD: {sorted(unlisted)}")
    return problems


def metadata_problems(text: str) -> list[str]:
    meta = _headers(text)
    proj = project()
    problems = []
    expect = {"Name": proj["name"], "Version": proj["version"],
              "Requires-Python": proj["requires-python"],
              "Description-Content-Type": "text/markdown"}
    for key, want in expect.items():
        if meta.get(key) != want:
            problems.append(f"METADATA {key}: {meta.get(key)!r}, want {want!r}")
    if not meta.get("Summary"):
        problems.append("METADATA has no Summary")
    if not (meta.get("License") or meta.get("License-Expression")):
        problems.append("METADATA names no license")
    classifiers = meta.get_all("Classifier") or []
    for want in REQUIRED_CLASSIFIERS:
        if not any(c.startswith(want) for c in classifiers):
            problems.append(f"no classifier {want}")
    extras = set(meta.get_all("Provides-Extra") or [])
    want_extras = set(proj.get("optional-dependencies", {}))
    if extras != want_extras:
        problems.append(f"extras {sorted(extras)}, want {sorted(want_extras)}")
    if "## Install" not in (meta.get_payload() or ""):
        problems.append("the long description is not the README (no Install section)")
    return problems


def module_problems(data: bytes, forbidden: Sequence[str]) -> list[str]:
    """No build directory in the module's bytes, and source files named
    relative to the tree (as C strings: NUL-terminated)."""
    problems = [f"module contains the build path {f!r}" for f in forbidden if f.encode() in data]
    sources = set(re.findall(rb"[\x21-\x7e]+\.(?:cpp|cc|h|hpp)(?=\x00)", data))
    absolute = sorted(s.decode() for s in sources if s.startswith(b"/"))
    if absolute:
        problems.append(f"module names absolute source paths: {absolute[:5]}")
    if not any(s.startswith(b"module/") for s in sources):
        problems.append("module names no source file relative to the tree (module/...)")
    return problems


# --- i686 machine code ---------------------------------------------------------

def count_double_operations(disassembly: str) -> tuple[int, int]:
    """(SSE2, x87) double-arithmetic instructions in objdump -d output."""
    return len(_SSE2_DOUBLE_OP.findall(disassembly)), len(_X87_OP.findall(disassembly))


def disassemble(module: bytes) -> str:
    with tempfile.NamedTemporaryFile(suffix=".so") as f:
        f.write(module)
        f.flush()
        return subprocess.run(["objdump", "-d", "--no-show-raw-insn", f.name], check=True,
                              capture_output=True, text=True).stdout


def sse2_problems(path: Path, pytag: str) -> list[str]:
    """32-bit x86: doubles must be computed in SSE2 registers, never on the
    x87 stack, whose 80-bit intermediates would round differently."""
    with zipfile.ZipFile(path) as zf:
        module = zf.read(module_name(pytag, "i686"))
    sse2, x87 = count_double_operations(disassemble(module))
    problems = []
    if sse2 == 0:
        problems.append("the module has no SSE2 double operation")
    if x87:
        problems.append(f"the module has {x87} x87 floating-point operations ({sse2} SSE2 ones)")
    return problems
