"""harness.artifacts, the release's judge of wheels and sdists: a well-formed
artifact passes, and each fault a broken build or repair could leave is
named."""

import base64
import hashlib
import io
import shutil
import subprocess
import tarfile
import zipfile

import pytest

from harness import artifacts

NAME = artifacts.project()["name"]
DIST = artifacts.dist_name()
INFO = f"{DIST}.dist-info/"
SO = f"{NAME}.cpython-313-x86_64-linux-gnu.so"
EPOCH = 1767225600


def metadata():
    proj = artifacts.project()
    extras = "".join(f"Provides-Extra: {e}\n" for e in proj["optional-dependencies"])
    licenses = "".join(f"License-File: {f}\n" for f in proj["license-files"])
    return f"""Metadata-Version: 2.4
Name: {NAME}
Version: {proj["version"]}
Summary: Immutable str -> float mapping
Author: {proj["authors"][0]["name"]}
License-Expression: {proj["license"]}
Classifier: Programming Language :: Python :: Free Threading :: 3 - Stable
Classifier: Typing :: Typed
Requires-Python: {proj["requires-python"]}
{licenses}{extras}Description-Content-Type: text/markdown

# {NAME}

## Install

pip install {NAME}

importlib.metadata.version("{NAME}")
"""


def wheel_files(tag, so=SO, module=b"\x7fELF...\x00module/errors.cpp\x00core/key_index.h\x00/dev/urandom\x00"):
    return {
        so: module,
        f"{NAME}.pyi": b"class JadeDict: ...\n",
        f"{NAME}-stubs/__init__.pyi": b"class JadeDict: ...\n",
        f"{NAME}-stubs/py.typed": b"",
        INFO + "licenses/LICENSE": b"MIT License\n",
        INFO + "METADATA": metadata().encode(),
        INFO + "WHEEL": f"Wheel-Version: 1.0\nRoot-Is-Purelib: false\nTag: {tag}\n".encode(),
    }


def record(files):
    rows = []
    for name, data in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        rows.append(f"{name},sha256={digest},{len(data)}")
    rows.append(f"{INFO}RECORD,,")
    return ("\n".join(rows) + "\n").encode()


def make_wheel(
    tmp_path, tag="cp313-cp313-manylinux_2_26_x86_64", name_tag=None, edit=None, after_record=None, **files_kwargs
):
    files = wheel_files(tag, **files_kwargs)
    if edit:
        edit(files)
    files[INFO + "RECORD"] = record(files)
    if after_record:
        after_record(files)
    path = tmp_path / f"{DIST}-{name_tag or tag}.whl"
    with zipfile.ZipFile(path, "w") as zf:
        for name, data in files.items():
            zf.writestr(name, data)
    return path


def test_a_sound_wheel_passes(tmp_path):
    path = make_wheel(tmp_path)
    assert artifacts.wheel_problems(path, "cp313", "x86_64", ["/build/here"]) == []
    assert artifacts.wheel_tags(path) == ("cp313", "cp313", "manylinux_2_26_x86_64")


def replace_so(data):
    return lambda files: files.__setitem__(SO, data)


def drop(name):
    return lambda files: files.pop(name)


def edit_metadata(old, new):
    def edit(files):
        text = files[INFO + "METADATA"].decode()
        assert old in text
        files[INFO + "METADATA"] = text.replace(old, new).encode()

    return edit


@pytest.mark.parametrize(
    "kwargs, pytag, problem",
    [
        # build paths in the module
        (
            dict(edit=replace_so(b"\x00/tmp/pip-req-build-x1/module/errors.cpp\x00module/a.cpp\x00")),
            "cp313",
            "absolute source paths: ['/tmp/pip-req-build-x1/module/errors.cpp']",
        ),
        (
            dict(edit=replace_so(b"\x00module/errors.cpp\x00/build/here/x\x00")),
            "cp313",
            "module contains the build path '/build/here'",
        ),
        (dict(edit=replace_so(b"\x00errors.cpp\x00")), "cp313", "no source file relative"),
        # files
        (dict(edit=drop(f"{NAME}-stubs/py.typed")), "cp313", f"missing ['{NAME}-stubs/py.typed']"),
        (dict(edit=drop(INFO + "licenses/LICENSE")), "cp313", f"missing ['{INFO}licenses/LICENSE']"),
        (
            dict(after_record=lambda f: f.__setitem__("stray.txt", b"x")),
            "cp313",
            "files missing from RECORD: ['stray.txt']",
        ),
        (
            dict(after_record=lambda f: f.__setitem__(f"{NAME}.pyi", b"changed")),
            "cp313",
            f"RECORD does not match {NAME}.pyi",
        ),
        # tags
        (dict(tag="cp313-cp313-linux_x86_64"), "cp313", "platform tag linux_x86_64 is not manylinux_2_N_x86_64"),
        (dict(name_tag="cp313-cp313-manylinux_2_17_x86_64"), "cp313", "differ from the file name"),
        (
            dict(tag="cp313-cp313-manylinux_2_29_x86_64"),
            "cp313",
            "platform tag manylinux_2_29_x86_64 is newer than manylinux_2_28",
        ),
        (dict(tag="cp313-cp313-manylinux_2_28_x86_64"), "cp313", None),
        (dict(), "cp313t", "tags cp313-cp313, want cp313-cp313t"),
        (
            dict(edit=lambda f: f.__setitem__(INFO + "WHEEL", f[INFO + "WHEEL"].replace(b": false", b": true"))),
            "cp313",
            "WHEEL says Root-Is-Purelib is not false",
        ),
        # metadata
        (
            dict(
                edit=edit_metadata("Classifier: Programming Language :: Python :: Free Threading :: 3 - Stable\n", "")
            ),
            "cp313",
            "no classifier Programming Language :: Python :: Free Threading",
        ),
        (
            dict(edit=edit_metadata("Requires-Python: >=3.12", "Requires-Python: >=3.8")),
            "cp313",
            "METADATA Requires-Python: '>=3.8', want '>=3.12'",
        ),
        (dict(edit=edit_metadata("Provides-Extra: distributed\n", "")), "cp313", "extras [], want ['distributed']"),
        (dict(edit=edit_metadata("## Install", "## Setup")), "cp313", "not the README"),
        (
            dict(edit=edit_metadata("License-Expression: MIT\n", "")),
            "cp313",
            "METADATA License-Expression: None, want 'MIT'",
        ),
        (
            dict(edit=edit_metadata("License-Expression: MIT\n", "License-Expression: MIT\nLicense: MIT\n")),
            "cp313",
            "METADATA has a License field beside the SPDX expression",
        ),
        (
            dict(
                edit=edit_metadata(
                    "Classifier: Typing", "Classifier: License :: OSI Approved :: MIT License\nClassifier: Typing"
                )
            ),
            "cp313",
            "license classifiers beside the SPDX expression: ['License :: OSI Approved :: MIT License']",
        ),
        (
            dict(edit=edit_metadata("License-File: LICENSE\n", "")),
            "cp313",
            "METADATA License-File: [], want ['LICENSE']",
        ),
        (
            dict(edit=edit_metadata("Metadata-Version: 2.4", "Metadata-Version: 2.2")),
            "cp313",
            "Metadata-Version '2.2', want 2.4 or newer",
        ),
        (dict(edit=edit_metadata("Metadata-Version: 2.4", "Metadata-Version: 2.10")), "cp313", None),
        (
            dict(
                edit=edit_metadata(
                    "Author: The jadefox developers\n", "Author-email: The jadefox developers <dev@example.org>\n"
                )
            ),
            "cp313",
            "METADATA Author-email: 'The jadefox developers <dev@example.org>', but no address is given out",
        ),
        (
            dict(edit=edit_metadata("Author: The jadefox developers\n", "")),
            "cp313",
            "METADATA Author: None, want 'The jadefox developers'",
        ),
        (
            dict(edit=edit_metadata('importlib.metadata.version("jadefox")', "jadefox.__version__")),
            "cp313",
            'the README does not show importlib.metadata.version("jadefox")',
        ),
        (dict(edit=edit_metadata("Summary: Immutable str -> float mapping\n", "")), "cp313", "METADATA has no Summary"),
    ],
)
def test_each_wheel_fault_is_named(tmp_path, kwargs, pytag, problem):
    problems = artifacts.wheel_problems(make_wheel(tmp_path, **kwargs), pytag, "x86_64", ["/build/here"])
    if problem is None:  # a sound variant
        assert problems == []
    else:
        assert any(problem in p for p in problems), problems


def test_a_wheel_not_of_this_project_is_named_alone(tmp_path):
    path = tmp_path / "other-0.1.0-cp313-cp313-manylinux_2_26_x86_64.whl"
    path.write_bytes(b"")
    assert artifacts.wheel_problems(path, "cp313", "x86_64") == [f"unexpected wheel name {path.name}"]


def test_the_module_name_must_match_the_machine(tmp_path):
    # An x86_64 module in a wheel tagged i686 is caught by its file name.
    path = make_wheel(tmp_path, tag="cp313-cp313-manylinux_2_28_i686")
    problems = artifacts.wheel_problems(path, "cp313", "i686")
    assert any(f"{NAME}.cpython-313-i386-linux-gnu.so" in p for p in problems), problems


def test_the_free_threaded_module_name_carries_the_t():
    assert artifacts.module_name("cp313t", "x86_64") == f"{NAME}.cpython-313t-x86_64-linux-gnu.so"
    assert artifacts.module_name("cp314", "i686") == f"{NAME}.cpython-314-i386-linux-gnu.so"


CHANGELOG = f"""# Changelog

## [Unreleased]

## [{artifacts.project()["version"]}]

### Added

- JadeDict
"""


def make_sdist(tmp_path, mtime=EPOCH, extra=(), skip=(), top=DIST, changelog=CHANGELOG):
    path = tmp_path / f"{DIST}.tar.gz"
    with tarfile.open(path, "w:gz") as tar:
        for name in [*artifacts.SDIST_NEEDS, *extra]:
            if name in skip:
                continue
            info = tarfile.TarInfo(f"{top}/{name}")
            data = changelog.encode() if name == "CHANGELOG.md" else b"x\n"
            info.size, info.mtime = len(data), EPOCH if name != "README.md" else mtime
            tar.addfile(info, io.BytesIO(data))
    return path


def test_a_sound_sdist_passes(tmp_path):
    assert artifacts.sdist_problems(make_sdist(tmp_path), EPOCH) == []


@pytest.mark.parametrize(
    "kwargs, problem",
    [
        (dict(mtime=EPOCH + 1), f"{DIST}/README.md: mtime {EPOCH + 1}, not SOURCE_DATE_EPOCH {EPOCH}"),
        (dict(extra=["build/cp313/CMakeCache.txt"]), "contains build/"),
        (dict(extra=[".venv/bin/python"]), "contains .venv/"),
        (dict(extra=[".git/HEAD"]), "contains .git/"),
        (dict(skip=["tests/python/conftest.py"]), "missing tests/python/conftest.py"),
        (dict(skip=["LICENSE"]), "missing LICENSE"),
        (dict(top=f"{NAME}-0.0.9"), f"member outside {DIST}/: {NAME}-0.0.9/PKG-INFO"),
        (dict(skip=["CHANGELOG.md"]), "missing CHANGELOG.md"),
        (
            dict(changelog=CHANGELOG.replace("## [Unreleased]\n", "")),
            "CHANGELOG.md does not start with an [Unreleased] section",
        ),
        (dict(changelog=CHANGELOG.replace("## [0.1.0]", "## [0.0.9]")), "CHANGELOG.md has no section [0.1.0]"),
    ],
)
def test_each_sdist_fault_is_named(tmp_path, kwargs, problem):
    problems = artifacts.sdist_problems(make_sdist(tmp_path, **kwargs), EPOCH)
    assert problem in problems, problems


# --- SSE2 on i686 ----------------------------------------------------------------

DISASSEMBLY = """
00001000 <jf_add>:
    1000:\tmovsd  0x4(%esp),%xmm0
    1006:\taddsd  0xc(%esp),%xmm0
    100c:\tmulpd  %xmm1,%xmm0
    1010:\tcall   1200 <faddsub_helper>
    1015:\tfldl   0x4(%esp)
    1019:\tret
"""


def test_double_operations_are_counted_by_mnemonic():
    assert artifacts.count_double_operations(DISASSEMBLY) == (2, 0)
    x87 = "".join(
        f"    10{i}:\t{op} \n"
        for i, op in enumerate(
            ["fadd   %st(1),%st", "faddp  %st,%st(1)", "fdivrl 0x4(%esp)", "fmuls  0x8(%esp)", "fsubrp %st,%st(1)"]
        )
    )
    assert artifacts.count_double_operations(DISASSEMBLY + x87) == (2, 5)


I686_SO = f"{NAME}.cpython-314-i386-linux-gnu.so"


def i686_wheel(tmp_path, module=b"\x7fELF"):
    return make_wheel(tmp_path, tag="cp314-cp314-manylinux_2_28_i686", so=I686_SO, module=module)


def test_an_sse2_module_passes_and_x87_or_no_sse2_is_named(tmp_path, stand_ins):
    listing = tmp_path / "disassembly.txt"
    stand_ins("objdump", f"cat '{listing}'\n")
    listing.write_text(DISASSEMBLY)
    assert artifacts.sse2_problems(i686_wheel(tmp_path), "cp314") == []
    listing.write_text(DISASSEMBLY + "    1020:\tfaddl  0x4(%esp)\n")
    assert artifacts.sse2_problems(i686_wheel(tmp_path), "cp314") == [
        "the module has 1 x87 floating-point operations (2 SSE2 ones)"
    ]
    listing.write_text("    1000:\tret\n")
    assert artifacts.sse2_problems(i686_wheel(tmp_path), "cp314") == ["the module has no SSE2 double operation"]


@pytest.mark.skipif(not (shutil.which("gcc") and shutil.which("objdump")), reason="needs gcc and objdump")
def test_real_machine_code_is_read_through_objdump(tmp_path):
    # x86_64 computes double with SSE2 and long double on the x87 stack:
    # the same mnemonics an i686 module built wrongly would show.
    src = tmp_path / "ops.c"
    src.write_text(
        "double d(double a, double b) { return a * b + a; }\n"
        "long double x(long double a, long double b) { return a * b + a; }\n"
    )
    so = tmp_path / "ops.so"
    subprocess.run(["gcc", "-O2", "-shared", "-fPIC", "-o", so, src], check=True)
    sse2, x87 = artifacts.count_double_operations(artifacts.disassemble(so.read_bytes()))
    assert sse2 >= 2 and x87 >= 2, (sse2, x87)
    problems = artifacts.sse2_problems(i686_wheel(tmp_path, so.read_bytes()), "cp314")
    assert problems == [f"the module has {x87} x87 floating-point operations ({sse2} SSE2 ones)"]


# What readelf -d, nm -D and objdump -T print for a sound module (zig-built,
# trimmed) and for one built by GCC against the shared C++ runtime.
READELF_SOUND = """
Dynamic section at offset 0x2de0 contains 27 entries:
  Tag        Type                         Name/Value
 0x0000000000000001 (NEEDED)             Shared library: [libgcc_s.so.1]
 0x0000000000000001 (NEEDED)             Shared library: [libc.so.6]
 0x0000000000000001 (NEEDED)             Shared library: [ld-linux-x86-64.so.2]
 0x000000000000000e (SONAME)             Library soname: [jadefox.so]
"""
READELF_CXX = (
    READELF_SOUND
    + """\
 0x0000000000000001 (NEEDED)             Shared library: [libstdc++.so.6]
"""
)
NM_SOUND = "PyInit_jadefox T 0000000000012340 0000000000000042\n"
NM_LEAKY = NM_SOUND + "_ZN7jadefox4coreEv T 0000000000012400 10\n"
OBJDUMP_T = """
jadefox.so:     file format elf64-x86-64

DYNAMIC SYMBOL TABLE:
0000000000000000      DF *UND*  0000000000000000 (GLIBC_2.2.5) malloc
0000000000000000      DF *UND*  0000000000000000 (GLIBC_2.25) getrandom
0000000000000000      DF *UND*  0000000000000000 (GLIBC_2.17) clock_gettime
0000000000000000      DF *UND*  0000000000000000 (GCC_3.0)    _Unwind_Resume
0000000000012340 g    DF .text  0000000000000042 PyInit_jadefox
"""
OBJDUMP_NEW = (
    OBJDUMP_T
    + """\
0000000000000000      DF *UND*  0000000000000000  GLIBC_2.34  pthread_once
0000000000000000      DF *UND*  0000000000000000  GLIBC_2.34  __pthread_key_create
0000000000000000      DF *UND*  0000000000000000  GLIBC_2.36  arc4random
"""
)


@pytest.fixture
def elf_tools(stand_ins, tmp_path):
    """readelf, nm and objdump stand-ins printing what the test writes."""
    outputs = {}
    for tool in ("readelf", "nm", "objdump"):
        out = tmp_path / f"{tool}.txt"
        stand_ins(tool, f"cat '{out}'\n")
        outputs[tool] = out

    def set_outputs(readelf=READELF_SOUND, nm=NM_SOUND, objdump=OBJDUMP_T):
        for tool, text in (("readelf", readelf), ("nm", nm), ("objdump", objdump)):
            outputs[tool].write_text(text)

    set_outputs()
    return set_outputs


def test_glibc_requirements_and_the_symbols_that_set_the_floor(elf_tools):
    elf_tools(objdump=OBJDUMP_NEW)
    needs = artifacts.glibc_requirements(b"\x7fELF")
    assert list(needs) == [(2, 2, 5), (2, 17), (2, 25), (2, 34), (2, 36)]
    assert needs[(2, 34)] == ["__pthread_key_create", "pthread_once"]
    assert artifacts.glibc_floor(b"\x7fELF") == "2.36: arc4random"
    elf_tools()
    assert artifacts.glibc_floor(b"\x7fELF") == "2.25: getrandom"
    elf_tools(objdump="")
    assert artifacts.glibc_floor(b"\x7fELF") == "no versioned glibc symbol"


@pytest.mark.parametrize(
    "outputs, problems",
    [
        (dict(), []),
        (dict(readelf=READELF_CXX), ["the module needs ['libstdc++.so.6'], beyond glibc and libgcc_s"]),
        (dict(nm=NM_LEAKY), ["the module exports ['PyInit_jadefox', '_ZN7jadefox4coreEv'], want ['PyInit_jadefox']"]),
        (
            dict(objdump=OBJDUMP_NEW),
            [
                "the module needs GLIBC_2.34 (newer than 2.28): __pthread_key_create, pthread_once",
                "the module needs GLIBC_2.36 (newer than 2.28): arc4random",
            ],
        ),
    ],
)
def test_the_module_linkage_is_judged(tmp_path, elf_tools, outputs, problems):
    elf_tools(**outputs)
    assert artifacts.linkage_problems(make_wheel(tmp_path), "cp313", "x86_64") == problems


@pytest.mark.skipif(
    not (shutil.which("gcc") and shutil.which("readelf") and shutil.which("nm")), reason="needs gcc and binutils"
)
def test_real_linkage_is_read_through_binutils(tmp_path):
    # A C++ object built against the shared runtime, exporting everything:
    # both faults the release wheels must not have.
    src = tmp_path / "m.cpp"
    src.write_text(
        "#include <cstdio>\n#include <string>\n"
        'extern "C" int PyInit_jadefox() { return std::puts(std::to_string(4).c_str()); }\n'
        "int helper(int x) { return x + 1; }\n"
    )
    so = tmp_path / "m.so"
    subprocess.run(["g++", "-O1", "-shared", "-fPIC", "-o", so, src], check=True)
    module = so.read_bytes()
    assert "libstdc++.so.6" in artifacts.needed_libraries(module)
    assert {"PyInit_jadefox", "_Z6helperi"} <= set(artifacts.exported_symbols(module))
    assert "puts" in artifacts.glibc_requirements(module)[(2, 2, 5)]
    problems = artifacts.linkage_problems(make_wheel(tmp_path, module=module), "cp313", "x86_64")
    assert any("libstdc++.so.6" in p for p in problems), problems
    assert any("_Z6helperi" in p for p in problems), problems


def test_the_repository_changelog_has_this_version():
    # A version bump without its changelog section fails here first.
    assert artifacts.changelog_problems((artifacts.config.REPO / "CHANGELOG.md").read_text()) == []
