"""scripts/check_artifacts.py, the release's judge of wheels and sdists: a
well-formed artifact passes, and each fault a broken build or repair could
leave is named."""

import base64
import hashlib
import io
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

CHECKER = Path(__file__).resolve().parents[2] / "scripts" / "check_artifacts.py"
INFO = "jadefox-0.1.0.dist-info/"
SO = "jadefox.cpython-313-x86_64-linux-gnu.so"
EPOCH = 1767225600

METADATA = """Metadata-Version: 2.2
Name: jadefox
Version: 0.1.0
Summary: Immutable str -> float mapping
License: MIT
Classifier: License :: OSI Approved :: MIT License
Classifier: Programming Language :: Python :: Free Threading :: 3 - Stable
Classifier: Typing :: Typed
Requires-Python: >=3.12
Provides-Extra: test
Provides-Extra: bench
Provides-Extra: distributed
Description-Content-Type: text/markdown

# jadefox

## Install

pip install jadefox
"""


def wheel_files(tag):
    return {
        SO: b"\x7fELF...\x00module/errors.cpp\x00core/key_index.h\x00/dev/urandom\x00",
        "jadefox.pyi": b"class JadeDict: ...\n",
        "jadefox-stubs/__init__.pyi": b"class JadeDict: ...\n",
        "jadefox-stubs/py.typed": b"",
        INFO + "licenses/LICENSE": b"MIT License\n",
        INFO + "METADATA": METADATA.encode(),
        INFO + "WHEEL": f"Wheel-Version: 1.0\nRoot-Is-Purelib: false\nTag: {tag}\n".encode(),
    }


def record(files):
    rows = []
    for name, data in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        rows.append(f"{name},sha256={digest},{len(data)}")
    rows.append(f"{INFO}RECORD,,")
    return ("\n".join(rows) + "\n").encode()


def make_wheel(tmp_path, tag="cp313-cp313-manylinux_2_36_x86_64", name_tag=None, edit=None,
               after_record=None):
    files = wheel_files(tag)
    if edit:
        edit(files)
    files[INFO + "RECORD"] = record(files)
    if after_record:
        after_record(files)
    path = tmp_path / f"jadefox-0.1.0-{name_tag or tag}.whl"
    with zipfile.ZipFile(path, "w") as zf:
        for name, data in files.items():
            zf.writestr(name, data)
    return path


def check(*args):
    r = subprocess.run([sys.executable, str(CHECKER), *map(str, args)],
                       capture_output=True, text=True, timeout=60)
    return r.returncode, r.stdout + r.stderr


def test_a_sound_wheel_passes(tmp_path):
    rc, out = check("wheel", make_wheel(tmp_path), "cp313", "x86_64", "/build/here")
    assert rc == 0, out
    assert out.startswith("ok: jadefox-0.1.0-cp313-cp313-manylinux_2_36_x86_64.whl"), out


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


@pytest.mark.parametrize("kwargs, pytag, problem", [
    # build paths in the module
    (dict(edit=replace_so(b"\x00/tmp/pip-req-build-x1/module/errors.cpp\x00module/a.cpp\x00")),
     "cp313", "absolute source paths"),
    (dict(edit=replace_so(b"\x00module/errors.cpp\x00/build/here/x\x00")), "cp313",
     "build path '/build/here'"),
    (dict(edit=replace_so(b"\x00errors.cpp\x00")), "cp313", "no source file relative"),
    # files
    (dict(edit=drop("jadefox-stubs/py.typed")), "cp313", "missing ['jadefox-stubs/py.typed']"),
    (dict(edit=drop(INFO + "licenses/LICENSE")), "cp313", "missing ['jadefox-0.1.0.dist-info/licenses/LICENSE']"),
    (dict(after_record=lambda f: f.__setitem__("stray.txt", b"x")), "cp313", "missing from RECORD"),
    (dict(after_record=lambda f: f.__setitem__("jadefox.pyi", b"changed")), "cp313",
     "RECORD does not match jadefox.pyi"),
    # tags
    (dict(tag="cp313-cp313-linux_x86_64"), "cp313", "is not manylinux_2_N_x86_64"),
    (dict(name_tag="cp313-cp313-manylinux_2_17_x86_64"), "cp313", "differ from the file name"),
    (dict(), "cp313t", "want cp313-cp313t"),
    # metadata
    (dict(edit=edit_metadata("Classifier: Programming Language :: Python :: Free Threading :: 3 - Stable\n", "")),
     "cp313", "no classifier Programming Language :: Python :: Free Threading"),
    (dict(edit=edit_metadata("Requires-Python: >=3.12", "Requires-Python: >=3.8")), "cp313",
     "Requires-Python"),
    (dict(edit=edit_metadata("Provides-Extra: bench\n", "")), "cp313", "extras ['distributed', 'test']"),
    (dict(edit=edit_metadata("## Install", "## Setup")), "cp313", "not the README"),
    (dict(edit=edit_metadata("License: MIT\n", "")), "cp313", "names no license"),
])
def test_each_wheel_fault_is_named(tmp_path, kwargs, pytag, problem):
    rc, out = check("wheel", make_wheel(tmp_path, **kwargs), pytag, "x86_64", "/build/here")
    assert rc == 1, out
    assert problem in out, out
    assert "FAILED: jadefox-0.1.0-" in out


def test_the_module_name_must_match_the_machine(tmp_path):
    # An x86_64 module in a wheel tagged i686 is caught by its file name.
    path = make_wheel(tmp_path, tag="cp313-cp313-manylinux_2_38_i686")
    rc, out = check("wheel", path, "cp313", "i686")
    assert rc == 1 and "jadefox.cpython-313-i386-linux-gnu.so" in out, out


def make_sdist(tmp_path, mtime=EPOCH, extra=(), skip=()):
    path = tmp_path / "jadefox-0.1.0.tar.gz"
    names = ["PKG-INFO", "pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md",
             "module/jadefox.pyi", "module/py.typed", "tests/python/conftest.py", *extra]
    with tarfile.open(path, "w:gz") as tar:
        for name in names:
            if name in skip:
                continue
            info = tarfile.TarInfo(f"jadefox-0.1.0/{name}")
            data = b"x\n"
            info.size, info.mtime = len(data), EPOCH if name != "README.md" else mtime
            tar.addfile(info, io.BytesIO(data))
    return path


def test_a_sound_sdist_passes(tmp_path):
    rc, out = check("sdist", make_sdist(tmp_path), EPOCH)
    assert rc == 0 and out.startswith("ok: jadefox-0.1.0.tar.gz (8 members)"), out


@pytest.mark.parametrize("kwargs, problem", [
    (dict(mtime=EPOCH + 1), f"README.md: mtime {EPOCH + 1}, not SOURCE_DATE_EPOCH {EPOCH}"),
    (dict(extra=["build/cp313/CMakeCache.txt"]), "contains build/"),
    (dict(extra=[".venv/bin/python"]), "contains .venv/"),
    (dict(skip=["tests/python/conftest.py"]), "missing tests/python/conftest.py"),
    (dict(skip=["LICENSE"]), "missing LICENSE"),
])
def test_each_sdist_fault_is_named(tmp_path, kwargs, problem):
    rc, out = check("sdist", make_sdist(tmp_path, **kwargs), EPOCH)
    assert rc == 1 and problem in out, out
