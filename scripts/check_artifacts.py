"""Checks release artifacts the way an index and an installer will see them.

    check_artifacts.py sdist FILE EPOCH
    check_artifacts.py wheel FILE PYTAG ARCH [FORBIDDEN...]

sdist: the members sit under NAME-VERSION/, carry the fixed timestamp EPOCH
(SOURCE_DATE_EPOCH) and include what a build and the tests need.

wheel: the tags (file name and WHEEL agree; PYTAG such as cp313t; a
manylinux_2_N tag for ARCH, x86_64 or i686), the files (the module, the stub
beside it, the stub package with py.typed, the license), every RECORD hash,
the metadata, and no build-machine path in the module: none of the FORBIDDEN
strings (the directories the build ran in), and only relative source names
(module/errors.cpp), which is how the internal-failure diagnostic names them.

Prints one line per artifact; exits 1 listing every problem found.
"""
import base64
import email.parser
import hashlib
import re
import sys
import tarfile
import tomllib
import zipfile
from pathlib import Path

# What the metadata must say comes from the project's own pyproject.toml, so
# adding an extra or bumping the version needs no change here.
with open(Path(__file__).resolve().parent.parent / "pyproject.toml", "rb") as f:
    _PROJECT = tomllib.load(f)["project"]
NAME, VERSION = _PROJECT["name"], _PROJECT["version"]
EXTRAS = set(_PROJECT.get("optional-dependencies", {}))


def check_sdist(path, epoch):
    problems = []
    top = f"{NAME}-{VERSION}/"
    with tarfile.open(path) as tar:
        members = tar.getmembers()
    names = {m.name for m in members}
    for m in members:
        if not (m.name + "/").startswith(top):
            problems.append(f"member outside {top}: {m.name}")
        if m.mtime != epoch:
            problems.append(f"{m.name}: mtime {m.mtime}, not SOURCE_DATE_EPOCH {epoch}")
    for need in ("PKG-INFO", "pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md",
                 "module/jadefox.pyi", "module/py.typed", "tests/python/conftest.py"):
        if top + need not in names:
            problems.append(f"missing {need}")
    for junk in ("build/", ".venv/", ".git/", "dist/"):
        if any(n.startswith(top + junk) for n in names):
            problems.append(f"contains {junk}")
    return problems, f"{len(members)} members"


def record_problems(zf):
    problems = []
    record = f"{NAME}-{VERSION}.dist-info/RECORD"
    listed = set()
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


def metadata_problems(text):
    problems = []
    meta = email.parser.Parser().parsestr(text)
    expect = {"Name": NAME, "Version": VERSION, "Requires-Python": ">=3.12",
              "Description-Content-Type": "text/markdown"}
    for key, want in expect.items():
        if meta.get(key) != want:
            problems.append(f"METADATA {key}: {meta.get(key)!r}, want {want!r}")
    for key in ("Summary",):
        if not meta.get(key):
            problems.append(f"METADATA has no {key}")
    if not (meta.get("License") or meta.get("License-Expression")):
        problems.append("METADATA names no license")
    classifiers = meta.get_all("Classifier") or []
    for want in ("Programming Language :: Python :: Free Threading",
                 "License :: OSI Approved :: MIT License", "Typing :: Typed"):
        if not any(c.startswith(want) for c in classifiers):
            problems.append(f"no classifier {want}")
    extras = set(meta.get_all("Provides-Extra") or [])
    if extras != EXTRAS:
        problems.append(f"extras {sorted(extras)}, want {sorted(EXTRAS)}")
    if "## Install" not in (meta.get_payload() or ""):
        problems.append("the long description is not the README (no Install section)")
    return problems


def module_problems(data, forbidden):
    problems = []
    for f in forbidden:
        if f.encode() in data:
            problems.append(f"module contains the build path {f!r}")
    sources = set(re.findall(rb"[\x21-\x7e]+\.(?:cpp|cc|h|hpp)(?=\x00)", data))
    absolute = sorted(s.decode() for s in sources if s.startswith(b"/"))
    if absolute:
        problems.append(f"module names absolute source paths: {absolute[:5]}")
    if not any(s.startswith(b"module/") for s in sources):
        problems.append("module names no source file relative to the tree (module/...)")
    return problems


def check_wheel(path, pytag, arch, forbidden):
    problems = []
    base = path.rsplit("/", 1)[-1]
    m = re.fullmatch(rf"{NAME}-{VERSION}-(\w+)-(\w+)-(\w+)\.whl", base)
    if not m:
        return [f"unexpected wheel name {base}"], ""
    py, abi, plat = m.groups()
    if (py, abi) != (pytag.rstrip("t"), pytag):
        problems.append(f"tags {py}-{abi}, want {pytag.rstrip('t')}-{pytag}")
    if not re.fullmatch(rf"manylinux_2_\d+_{arch}", plat):
        problems.append(f"platform tag {plat} is not manylinux_2_N_{arch}")
    with zipfile.ZipFile(path) as zf:
        names = {n for n in zf.namelist() if not n.endswith("/")}  # not directories
        info = f"{NAME}-{VERSION}.dist-info/"
        wheel = email.parser.Parser().parsestr(zf.read(info + "WHEEL").decode())
        if wheel.get_all("Tag") != [f"{py}-{abi}-{plat}"]:
            problems.append(f"WHEEL tags {wheel.get_all('Tag')} differ from the file name")
        if wheel.get("Root-Is-Purelib") != "false":
            problems.append("WHEEL says Root-Is-Purelib is not false")
        abi_suffix = f"{py[2]}{py[3:]}{'t' if pytag.endswith('t') else ''}"
        arch_dir = {"x86_64": "x86_64-linux-gnu", "i686": "i386-linux-gnu"}[arch]
        so = f"{NAME}.cpython-{abi_suffix}-{arch_dir}.so"
        want = {so, f"{NAME}.pyi", f"{NAME}-stubs/__init__.pyi", f"{NAME}-stubs/py.typed",
                info + "licenses/LICENSE", info + "METADATA", info + "WHEEL", info + "RECORD"}
        if names != want:
            problems.append(f"files: missing {sorted(want - names)}, unexpected {sorted(names - want)}")
        problems += record_problems(zf)
        problems += metadata_problems(zf.read(info + "METADATA").decode())
        if so in names:
            problems += module_problems(zf.read(so), forbidden)
    return problems, f"{py}-{abi}-{plat}"


def main(argv):
    kind, path = argv[1], argv[2]
    if kind == "sdist":
        problems, what = check_sdist(path, int(argv[3]))
    else:
        problems, what = check_wheel(path, argv[3], argv[4], argv[5:])
    for p in problems:
        print(f"  {path}: {p}")
    print(f"{'FAILED' if problems else 'ok'}: {path.rsplit('/', 1)[-1]} ({what})")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
