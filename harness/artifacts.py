"""Checks of the release artifacts as an index and an installer see them.
Each check returns the problems it found, one sentence each; an empty list
means the artifact is sound.

sdist: the members sit under NAME-VERSION/, carry the fixed timestamp
SOURCE_DATE_EPOCH and include what a build and the tests need, and a
CHANGELOG.md in Keep a Changelog form with a section for this version.

wheel: the tags (the file name and WHEEL agree; the Python tag, such as
cp313t; a manylinux_2_N tag for the machine, x86_64 or i686, with N at most
28), the exact file
list (the module, the stub beside it, the stub package with py.typed, the
license), every RECORD hash, the metadata (core metadata 2.4: the license as
an SPDX expression with its files, no license classifier; the authors by
name only; the README, which shows how to ask for the installed version, as
the long description), and no build-machine path in the
module: none of the directories the build ran in, and only relative source
names (module/errors.cpp), which is how the internal-failure diagnostic
names them. The module's linkage: it exports PyInit_jadefox alone, needs
no shared library but glibc's and the system unwinder (no C++ runtime), and
no glibc symbol version above the wheel's floor. On i686 the module must
compute doubles with SSE2, never x87.

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

from . import config, platforms

# The machine names of a wheel's platform tag, and the multiarch triplet
# CPython puts in an extension module's file name there.
MACHINES = {m.wheel: m.multiarch for m in platforms.MACHINES.values()}

# What a build from the sdist, and the tests run from it, cannot do without.
SDIST_NEEDS = (
    "PKG-INFO",
    "pyproject.toml",
    "CMakeLists.txt",
    "LICENSE",
    "README.md",
    "CHANGELOG.md",
    "module/jadefox.pyi",
    "module/py.typed",
    "tests/python/conftest.py",
)
# What must never travel in an sdist: build output, environments, history.
SDIST_JUNK = ("build/", ".venv/", ".git/", "dist/")

# The newest glibc a wheel may require.
MAX_GLIBC = platforms.GLIBC_FLOOR
# The shared libraries the module may need: glibc's own (its loader for each
# machine among them) and libgcc_s (the unwinder every glibc system has);
# never a C++ runtime.
ALLOWED_NEEDED = (
    "libc.so.6",
    "libm.so.6",
    "libgcc_s.so.1",
    "libpthread.so.0",
    "libdl.so.2",
    *(m.loader for m in platforms.MACHINES.values()),
)
# The one symbol the module exports.
EXPORTED = ("PyInit_jadefox",)

REQUIRED_CLASSIFIERS = ("Programming Language :: Python :: Free Threading", "Typing :: Typed")
# The license is an SPDX expression with its files named (core metadata
# 2.4); the older License field and license classifiers must not repeat it.
MIN_METADATA_VERSION = (2, 4)
# The module has no __version__ attribute; the README shows how to ask.
VERSION_QUERY = 'importlib.metadata.version("{name}")'

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
    problems += [f"contains {junk}" for junk in SDIST_JUNK if any(n.startswith(top + junk) for n in names)]
    if top + "CHANGELOG.md" in names:
        with tarfile.open(path) as tar:
            member = tar.extractfile(top + "CHANGELOG.md")
            changelog = member.read().decode() if member else ""
        problems += changelog_problems(changelog)
    return problems


def changelog_problems(text: str) -> list[str]:
    """Keep a Changelog form: an Unreleased section first, then one
    "## [VERSION]" section per release, this version's among them."""
    headings = re.findall(r"^## \[([^\]]+)\]", text, re.MULTILINE)
    problems = []
    if not headings or headings[0] != "Unreleased":
        problems.append("CHANGELOG.md does not start with an [Unreleased] section")
    if project()["version"] not in headings:
        problems.append(f"CHANGELOG.md has no section [{project()['version']}]")
    return problems


# --- wheel -------------------------------------------------------------------


def wheel_tags(path: Path) -> tuple[str, str, str] | None:
    """(python, abi, platform) from a wheel's file name; None when the name
    is not this project's NAME-VERSION-PY-ABI-PLATFORM.whl."""
    m = re.fullmatch(rf"{re.escape(dist_name())}-(\w+)-(\w+)-(\w+)\.whl", path.name)
    return (m[1], m[2], m[3]) if m else None


def module_name(pytag: str, arch: str) -> str:
    """The extension module's file name in a wheel for `pytag` (cp313,
    cp313t) on `arch`: jadefox.cpython-313t-x86_64-linux-gnu.so."""
    return f"{project()['name']}.cpython-{pytag[2:]}-{MACHINES[arch]}.so"


def expected_files(pytag: str, arch: str) -> set[str]:
    name, info = project()["name"], f"{dist_name()}.dist-info/"
    return {
        module_name(pytag, arch),
        f"{name}.pyi",
        f"{name}-stubs/__init__.pyi",
        f"{name}-stubs/py.typed",
        info + "licenses/LICENSE",
        info + "METADATA",
        info + "WHEEL",
        info + "RECORD",
    }


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
    floor = re.fullmatch(rf"manylinux_2_(\d+)_{arch}", plat)
    if not floor:
        problems.append(f"platform tag {plat} is not manylinux_2_N_{arch}")
    elif (2, int(floor.group(1))) > MAX_GLIBC:
        problems.append(f"platform tag {plat} is newer than manylinux_{_glibc_text(MAX_GLIBC, '_')}")
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
            problems.append(f"files: missing {sorted(want - names)}, unexpected {sorted(names - want)}")
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
    expect = {
        "Name": proj["name"],
        "Version": proj["version"],
        "Requires-Python": proj["requires-python"],
        "Description-Content-Type": "text/markdown",
    }
    for key, want in expect.items():
        if meta.get(key) != want:
            problems.append(f"METADATA {key}: {meta.get(key)!r}, want {want!r}")
    if not meta.get("Summary"):
        problems.append("METADATA has no Summary")
    problems += _version_problems(meta)
    problems += license_problems(meta)
    problems += author_problems(meta)
    classifiers = meta.get_all("Classifier") or []
    for want in REQUIRED_CLASSIFIERS:
        if not any(c.startswith(want) for c in classifiers):
            problems.append(f"no classifier {want}")
    extras = set(meta.get_all("Provides-Extra") or [])
    want_extras = set(proj.get("optional-dependencies", {}))
    if extras != want_extras:
        problems.append(f"extras {sorted(extras)}, want {sorted(want_extras)}")
    readme = meta.get_payload() or ""
    if "## Install" not in readme:
        problems.append("the long description is not the README (no Install section)")
    query = VERSION_QUERY.format(name=proj["name"])
    if query not in readme:
        problems.append(f"the README does not show {query}")
    return problems


def _version_problems(meta: email.message.Message) -> list[str]:
    have = meta.get("Metadata-Version") or ""
    try:
        ok = tuple(int(p) for p in have.split(".")) >= MIN_METADATA_VERSION
    except ValueError:
        ok = False
    want = ".".join(map(str, MIN_METADATA_VERSION))
    return [] if ok else [f"Metadata-Version {have!r}, want {want} or newer"]


def license_problems(meta: email.message.Message) -> list[str]:
    """The SPDX expression and license files of pyproject.toml, said once."""
    proj = project()
    problems = []
    if meta.get("License-Expression") != proj.get("license"):
        problems.append(
            f"METADATA License-Expression: {meta.get('License-Expression')!r}, want {proj.get('license')!r}"
        )
    files = meta.get_all("License-File") or []
    if files != proj.get("license-files", []):
        problems.append(f"METADATA License-File: {files}, want {proj.get('license-files', [])}")
    if meta.get("License") is not None:
        problems.append("METADATA has a License field beside the SPDX expression")
    licensed = [c for c in meta.get_all("Classifier") or [] if c.startswith("License ::")]
    if licensed:
        problems.append(f"license classifiers beside the SPDX expression: {licensed}")
    return problems


def author_problems(meta: email.message.Message) -> list[str]:
    """The authors by name only: the project has no address to give."""
    names = ", ".join(a["name"] for a in project().get("authors", []))
    problems = []
    if meta.get("Author") != names:
        problems.append(f"METADATA Author: {meta.get('Author')!r}, want {names!r}")
    for key in ("Author-email", "Maintainer-email"):
        if meta.get(key) is not None:
            problems.append(f"METADATA {key}: {meta.get(key)!r}, but no address is given out")
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


# --- the module's linkage ---------------------------------------------------------


def _glibc_text(version: tuple[int, ...], sep: str = ".") -> str:
    return sep.join(map(str, version))


def module_bytes(path: Path, pytag: str, arch: str) -> bytes:
    """The extension module's file in the wheel at `path`."""
    with zipfile.ZipFile(path) as zf:
        return zf.read(module_name(pytag, arch))


def _tool_output(argv: Sequence[str], module: bytes) -> str:
    """The output of a binutils tool (argv without the file) on `module`."""
    with tempfile.NamedTemporaryFile(suffix=".so") as f:
        f.write(module)
        f.flush()
        return subprocess.run([*argv, f.name], check=True, capture_output=True, text=True).stdout


def needed_libraries(module: bytes) -> list[str]:
    """The module's DT_NEEDED entries, as readelf -d shows them."""
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", _tool_output(["readelf", "-d", "-W"], module))


def exported_symbols(module: bytes) -> list[str]:
    """The names the module defines in its dynamic symbol table."""
    out = _tool_output(["nm", "-D", "--defined-only", "--format=posix"], module)
    return sorted({line.split()[0].split("@")[0] for line in out.splitlines() if line.strip()})


def glibc_requirements(module: bytes) -> dict[tuple[int, ...], list[str]]:
    """glibc symbol versions the module asks for -> the symbols asking (from
    objdump -T: the undefined ones, *UND*)."""
    found: dict[tuple[int, ...], list[str]] = {}
    for line in _tool_output(["objdump", "-T", "-W"], module).splitlines():
        m = re.search(r"\*UND\*\s+\S+\s+(?:\(?)GLIBC_([\d.]+)\)?\s+(\S+)$", line)
        if m:
            version = tuple(int(p) for p in m.group(1).split("."))
            found.setdefault(version, []).append(m.group(2))
    return {v: sorted(set(names)) for v, names in sorted(found.items())}


def glibc_floor(module: bytes) -> str:
    """The newest glibc version the module requires and the symbols that set
    it, e.g. "2.25: getrandom"; for the release's report."""
    needs = glibc_requirements(module)
    if not needs:
        return "no versioned glibc symbol"
    version = max(needs)
    return f"{_glibc_text(version)}: {', '.join(needs[version])}"


def linkage_problems(path: Path, pytag: str, arch: str) -> list[str]:
    """The module exports PyInit_jadefox alone, needs only glibc's libraries
    and libgcc_s (no C++ runtime), and no glibc symbol above MAX_GLIBC."""
    module = module_bytes(path, pytag, arch)
    problems = []
    exported = exported_symbols(module)
    if exported != list(EXPORTED):
        problems.append(f"the module exports {exported[:8]}, want {list(EXPORTED)}")
    others = [lib for lib in needed_libraries(module) if lib not in ALLOWED_NEEDED]
    if others:
        problems.append(f"the module needs {others}, beyond glibc and libgcc_s")
    too_new = {v: names for v, names in glibc_requirements(module).items() if v > MAX_GLIBC}
    for version, names in too_new.items():
        problems.append(
            f"the module needs GLIBC_{_glibc_text(version)} "
            f"(newer than {_glibc_text(MAX_GLIBC)}): {', '.join(names[:5])}"
        )
    return problems


# --- i686 machine code ---------------------------------------------------------


def count_double_operations(disassembly: str) -> tuple[int, int]:
    """(SSE2, x87) double-arithmetic instructions in objdump -d output."""
    return len(_SSE2_DOUBLE_OP.findall(disassembly)), len(_X87_OP.findall(disassembly))


def disassemble(module: bytes) -> str:
    return _tool_output(["objdump", "-d", "--no-show-raw-insn"], module)


def sse2_problems(path: Path, pytag: str) -> list[str]:
    """32-bit x86: doubles must be computed in SSE2 registers, never on the
    x87 stack, whose 80-bit intermediates would round differently."""
    sse2, x87 = count_double_operations(disassemble(module_bytes(path, pytag, "i686")))
    problems = []
    if sse2 == 0:
        problems.append("the module has no SSE2 double operation")
    if x87:
        problems.append(f"the module has {x87} x87 floating-point operations ({sse2} SSE2 ones)")
    return problems
