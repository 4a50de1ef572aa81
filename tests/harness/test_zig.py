"""zig toolchains: wrapper scripts that run one zig for one target with the
build's arguments intact, and the settings a pip wheel build needs."""

import subprocess
import sys
from pathlib import Path

import pytest

from harness import zig

# A stand-in zig: prints each argument on a line of its own.
ECHO_ARGS = 'for a in "$@"; do printf "%s\\n" "$a"; done\n'


@pytest.fixture
def fake_zig(tmp_path):
    path = tmp_path / "zig dir" / "zig"
    path.parent.mkdir()
    path.write_text("#!/bin/sh\n" + ECHO_ARGS)
    path.chmod(0o755)
    return path


def run(wrapper, *args):
    return subprocess.run([wrapper, *args], capture_output=True, text=True, check=True).stdout.splitlines()


@pytest.mark.parametrize("machine, triple", [("x86_64", "x86_64-linux-gnu.2.28"), ("i686", "x86-linux-gnu.2.28")])
def test_compilers_target_the_old_glibc_and_pass_arguments_intact(fake_zig, tmp_path, machine, triple):
    tc = zig.toolchain(fake_zig, machine, tmp_path / "tc", tmp_path / "cache")
    assert tc.target == triple
    args = ["-O3", "a file.cpp", '-DX="q"', "$HOME", ""]
    assert run(tc.wrapper("c++"), *args) == ["c++", "-target", triple, *args]
    assert run(tc.wrapper("cc"), "-c", "x.c") == ["cc", "-target", triple, "-c", "x.c"]
    # The archivers are the same for every target.
    assert run(tc.wrapper("ar"), "qc", "lib.a") == ["ar", "qc", "lib.a"]
    assert run(tc.wrapper("ranlib"), "lib.a") == ["ranlib", "lib.a"]


def test_build_settings_name_the_wrappers_as_the_build_sees_them(fake_zig, tmp_path):
    inside = Path("/in-root/tc")
    tc = zig.toolchain(fake_zig, "i686", tmp_path / "tc", Path("/in-root/cache"), seen_as=inside)
    assert tc.directory == inside and tc.wrapper("c++") == inside / "c++"
    assert tc.env == {
        "CC": "/in-root/tc/cc",
        "CXX": "/in-root/tc/c++",
        "CXXFLAGS": "-idirafter /usr/include",
        "ZIG_GLOBAL_CACHE_DIR": "/in-root/cache",
        "ZIG_LOCAL_CACHE_DIR": "/in-root/cache",
    }
    assert tc.config_settings == (
        "-Ccmake.define.CMAKE_AR=/in-root/tc/ar",
        "-Ccmake.define.CMAKE_RANLIB=/in-root/tc/ranlib",
        "-Ccmake.define.CMAKE_CXX_COMPILER_AR=/in-root/tc/ar",
        "-Ccmake.define.CMAKE_CXX_COMPILER_RANLIB=/in-root/tc/ranlib",
    )
    # The scripts themselves are written where the caller said.
    assert sorted(p.name for p in (tmp_path / "tc").iterdir()) == ["ar", "c++", "cc", "ranlib"]


def test_other_glibc_versions_and_unknown_machines(fake_zig, tmp_path):
    assert zig.target("x86_64", "2.17") == "x86_64-linux-gnu.2.17"
    known = ", ".join(zig.ARCHITECTURES)
    with pytest.raises(ValueError, match=f"no zig target for machine 'no-such-cpu' .known: {known}."):
        zig.toolchain(fake_zig, "no-such-cpu", tmp_path / "tc", tmp_path / "cache")
    assert not (tmp_path / "tc").exists()


def test_install_pins_ziglang_and_retries(stand_ins, tmp_path, monkeypatch):
    monkeypatch.setenv("JADEFOX_RETRY_PAUSE", "0")
    # A python whose pip fails the first time.
    python = stand_ins(
        "python", f'echo "$@" >>{tmp_path}/calls\n[ -e {tmp_path}/failed ] || {{ touch {tmp_path}/failed; exit 1; }}\n'
    )
    assert zig.install(python, tmp_path / "log") == 0
    assert (tmp_path / "calls").read_text().splitlines() == ["-m pip install --retries 5 -q ziglang==0.17.0"] * 2


def test_executable_is_found_beside_the_installed_package(tmp_path, monkeypatch):
    package = tmp_path / "site" / "ziglang"
    package.mkdir(parents=True)
    (package / "__init__.py").write_text("")
    monkeypatch.setenv("PYTHONPATH", str(tmp_path / "site"))
    assert zig.executable(Path(sys.executable)) == package / "zig"
