"""harness.roots without root: stamps, the mirror lookup, safe removal, the
environment and command that enter a root, the files copied into one."""

from __future__ import annotations

import dataclasses
import os
import subprocess
from pathlib import Path

import pytest

from harness import privilege, roots
from harness.stages import root_stages


@pytest.fixture
def cache(tmp_path, monkeypatch):
    d = tmp_path / "cache"
    d.mkdir()
    monkeypatch.setenv("JADEFOX_ROOTS", str(d))
    return d


@pytest.fixture
def as_user(monkeypatch):
    """File operations as this user, whoever runs the tests (the caches here
    belong to the test)."""
    monkeypatch.setattr(privilege, "root_prefix", lambda: ())


# --- stamps ---------------------------------------------------------------

BUILDS = roots.ROOTS["cp313t-amd64"]
PLAIN = roots.ROOTS["forky-amd64"]


def test_stamp_changes_with_each_part_of_the_definition():
    changes = {
        "suite": "sid",
        "arch": "arm64",
        "python": "/usr/bin/python3.15",
        "packages": (*PLAIN.packages, "valgrind"),
        "apt_options": (),
        "cpython": BUILDS.cpython,
    }
    base = roots.stamp(PLAIN)
    for field, value in changes.items():
        assert roots.stamp(dataclasses.replace(PLAIN, **{field: value})) != base, field


def test_stamp_ignores_package_order_and_what_does_not_make_the_root():
    reordered = dataclasses.replace(PLAIN, packages=tuple(reversed(PLAIN.packages)))
    assert roots.stamp(reordered) == roots.stamp(PLAIN)
    # How a root is used (its name) does not change the root.
    assert roots.stamp(dataclasses.replace(PLAIN, name="x")) == roots.stamp(PLAIN)


def test_stamp_follows_the_build_scripts_commands_not_its_comments(tmp_path):
    script = tmp_path / "build.sh"
    script.write_text("#!/bin/sh\n# builds it\nmake -j2\n")
    base = roots.stamp(BUILDS, script)
    script.write_text("#!/bin/sh\n# builds it, faster\n  # indented comment\nmake -j2\n")
    assert roots.stamp(BUILDS, script) == base
    script.write_text("#!/bin/sh\n# builds it\nmake -j4\n")
    assert roots.stamp(BUILDS, script) != base
    # A root that builds nothing does not depend on the script at all.
    assert roots.stamp(PLAIN, script) == roots.stamp(PLAIN, tmp_path / "missing.sh")


def test_the_real_build_script_is_part_of_the_cpython_roots_stamp():
    assert roots.BUILD_CPYTHON.is_file()
    assert roots.stamp(BUILDS) == roots.stamp(BUILDS, roots.BUILD_CPYTHON)
    # What is built is part of the stamp too: the same source configured
    # otherwise is another root.
    tsan = roots.ROOTS["cp313t-tsan-amd64"]
    assert roots.stamp(dataclasses.replace(tsan, name=BUILDS.name, python=BUILDS.python)) != roots.stamp(BUILDS)


def test_a_run_keeps_the_stamp_it_started_with(cache, tmp_path, monkeypatch, request):
    script = tmp_path / "build.sh"
    script.write_text("make -j2\n")
    monkeypatch.setattr(roots.stamp, "__defaults__", (script,))
    roots._stamp_of_this_run.cache_clear()
    request.addfinalizer(roots._stamp_of_this_run.cache_clear)
    before = roots.root_dir(BUILDS)
    script.write_text("make -j4\n")  # edited while a stage runs
    assert roots.root_dir(BUILDS) == before
    assert before.name != f"{BUILDS.name}-{roots.stamp(BUILDS)}"


def test_the_build_command_passes_the_definition_to_the_script():
    argv = roots.build_cpython_argv(roots.ROOTS["cp313t-tsan-amd64"])
    assert argv[:5] == ["sh", "/opt/src/build-cpython.sh", "/opt/py313t-tsan", "3.13", "debian-site"]
    assert {"--disable-gil", "--with-thread-sanitizer"} <= set(argv[5:])
    old = roots.build_cpython_argv(roots.ROOTS["bullseye-i386"])
    assert old[2:5] == ["/opt/python3.13", "3.13", "own-pip"] and "--disable-gil" not in old


def test_a_root_is_fresh_only_with_its_stamp_and_its_interpreter(cache):
    d = roots.root_dir(PLAIN)
    assert d.parent == cache and d.name.startswith(PLAIN.name + "-")
    assert not roots.is_fresh(PLAIN)
    (d / "usr/bin").mkdir(parents=True)
    (d / roots.STAMP_FILE).write_text(roots.stamp(PLAIN) + "\n")
    assert not roots.is_fresh(PLAIN), "no interpreter yet"
    (d / "usr/bin/python3.14").write_text("")
    assert roots.is_fresh(PLAIN)
    (d / roots.STAMP_FILE).write_text("0123456789abcdef\n")
    assert not roots.is_fresh(PLAIN)


# --- the mirror -----------------------------------------------------------


def _apt(tmp_path, files):
    apt = tmp_path / "apt"
    (apt / "sources.list.d").mkdir(parents=True)
    for name, text in files.items():
        (apt / name).write_text(text)
    return apt


def test_mirror_from_deb822_sources_skips_comments_and_other_archives(tmp_path):
    apt = _apt(
        tmp_path,
        {
            "sources.list.d/debian.sources": (
                "Types: deb\n"
                "# http://snapshot.example/archive/debian/20250520T000000Z\n"
                "URIs: http://mirror.example/debian-security\n"
                "Suites: bookworm-security\n\n"
                "Types: deb\n"
                "URIs: https://mirror.example/pub/debian/\n"
                "Suites: bookworm\n"
            )
        },
    )
    assert roots.debian_mirror({}, apt) == "https://mirror.example/pub/debian"


def test_mirror_one_line_style_first_wins_and_knob_overrides(tmp_path):
    apt = _apt(
        tmp_path,
        {
            "sources.list": "# deb http://old.example/debian bullseye main\n"
            "deb [arch=amd64] http://a.example/debian bookworm main\n",
            "sources.list.d/other.list": "deb http://b.example/debian bookworm main\n",
        },
    )
    assert roots.debian_mirror({}, apt) == "http://a.example/debian"
    assert roots.debian_mirror({"JADEFOX_DEBIAN_MIRROR": "http://c.example/debian/"}, apt) == "http://c.example/debian"


def test_mirror_defaults_to_debians_own(tmp_path):
    apt = _apt(tmp_path, {"sources.list": "deb http://ppa.example/ubuntu noble main\n"})
    assert roots.debian_mirror({"JADEFOX_DEBIAN_MIRROR": ""}, apt) == roots.DEFAULT_MIRROR
    assert roots.debian_mirror({}, tmp_path / "nothing") == roots.DEFAULT_MIRROR


# --- safe removal ---------------------------------------------------------


def _mounts(tmp_path, *points):
    f = tmp_path / "mounts"
    f.write_text("".join(f"none {p} tmpfs rw 0 0\n" for p in points))
    return f


def test_safe_remove_refuses_a_root_with_something_mounted_inside(cache, tmp_path, as_user):
    victim = cache / "forky-amd64"
    (victim / "dev").mkdir(parents=True)
    (victim / "dev" / "null").write_text("precious")
    for point in (victim / "dev", victim):
        with pytest.raises(RuntimeError, match="is mounted inside it"):
            roots.safe_remove(victim, _mounts(tmp_path, "/proc", point))
        assert (victim / "dev" / "null").read_text() == "precious"


def test_safe_remove_reads_escaped_mount_points(cache, tmp_path, as_user):
    victim = cache / "with space"
    (victim / "proc").mkdir(parents=True)
    mounts = _mounts(tmp_path, str(victim / "proc").replace(" ", "\\040"))
    with pytest.raises(RuntimeError, match="mounted"):
        roots.safe_remove(victim, mounts)


def test_safe_remove_removes_beside_a_mount_with_a_similar_name(cache, tmp_path, as_user):
    victim = cache / "newcomer"
    (victim / "etc").mkdir(parents=True)
    roots.safe_remove(victim, _mounts(tmp_path, cache / "newcomer.run.1" / "merged"))
    assert not victim.exists()
    roots.safe_remove(victim, _mounts(tmp_path))  # already gone: nothing to do


def test_safe_remove_refuses_outside_the_cache(cache, tmp_path, as_user):
    outside = tmp_path / "elsewhere"
    outside.mkdir()
    for path in (outside, cache, cache / ".." / "elsewhere", Path("/")):
        with pytest.raises(RuntimeError, match="not inside"):
            roots.safe_remove(path, _mounts(tmp_path))
    assert outside.is_dir() and cache.is_dir()


# --- entering a root ------------------------------------------------------


def test_environment_in_a_root_is_clean_plus_what_is_asked(monkeypatch):
    monkeypatch.setenv("HOME", "/home/someone")
    monkeypatch.setenv("PIP_INDEX_URL", "http://host.example/simple")
    env = roots.root_env({"PYTHONWARNINGS": "error", "PATH": "/opt/bin"})
    assert env["HOME"] == "/root" and env["PATH"] == "/opt/bin"
    assert env["PYTHONWARNINGS"] == "error"
    assert "PIP_INDEX_URL" not in env


def test_enter_argv_passes_exactly_the_environment():
    argv = roots.enter_argv(Path("/cache/r"), True, ["python3", "-c", "pass"], {"A": "1", "B": "x y"}, cwd="/src")
    i = argv.index("--", argv.index(str(roots.ENTER)))
    assert argv[i - 3 : i] == ["/cache/r", "", "1"]
    assert argv[i + 1 :] == ["/usr/bin/env", "-i", "--chdir=/src", "A=1", "B=x y", "python3", "-c", "pass"]
    assert argv[:5] == ["unshare", "--mount", "--propagation", "private", "--"]


def test_enter_root_refuses_a_malformed_command_line(capsys):
    from harness import enter_root  # a script of its own, importable as a module too

    assert enter_root.main(["/r", "", "0", "python3"]) == 2
    assert enter_root.main(["/r", "", "0", "--"]) == 2
    assert "Usage" in capsys.readouterr().err


def test_enter_root_reports_a_root_it_cannot_enter(monkeypatch, capsys):
    from harness import enter_root

    def failing_mount(*args):
        raise subprocess.CalledProcessError(32, ["mount", *args])

    monkeypatch.setattr(enter_root, "mount", failing_mount)
    monkeypatch.setattr(os, "execvp", lambda *a: pytest.fail("must not run the command"))
    assert enter_root.main(["/nowhere", "", "0", "--", "/bin/true"]) == enter_root.SETUP_FAILED
    assert "could not enter /nowhere" in capsys.readouterr().err


# --- copying sources ------------------------------------------------------


def _git(repo, *args):
    subprocess.run(["git", "-C", str(repo), *args], check=True, capture_output=True)


@pytest.fixture
def repo(tmp_path):
    r = tmp_path / "repo"
    r.mkdir()
    _git(r, "init", "-q")
    (r / ".gitignore").write_text("build/\n*.so\n")
    for name in ("kept.py", "changed.py", "deleted.py", "sub/deep.txt"):
        (r / name).parent.mkdir(exist_ok=True)
        (r / name).write_text(name)
    _git(r, "add", ".")
    _git(r, "-c", "user.name=t", "-c", "user.email=t@t", "commit", "-q", "-m", "x")
    (r / "changed.py").write_text("changed, not committed")
    (r / "deleted.py").unlink()
    (r / "new.py").write_text("untracked")
    (r / "mod.so").write_text("ignored")
    (r / "build").mkdir()
    (r / "build" / "out.o").write_text("ignored")
    return r


def test_source_files_are_what_git_sees(repo):
    assert sorted(roots.source_files(repo)) == [".gitignore", "changed.py", "kept.py", "new.py", "sub/deep.txt"]


def test_source_files_without_git_leave_out_build_output(tmp_path):
    (tmp_path / "a.py").write_text("")
    for skipped in ("build", ".venv", ".git"):
        (tmp_path / skipped).mkdir()
        (tmp_path / skipped / "x").write_text("")
    (tmp_path / "core").mkdir()
    (tmp_path / "core" / "build.cpp").write_text("")
    assert roots.source_files(tmp_path) == ["a.py", "core/build.cpp"]


def test_copy_sources_replaces_the_tree_in_the_root(repo, cache, as_user):
    root = roots.ROOTS["forky-amd64"]
    stale = roots.root_dir(root) / "src" / "stale.py"
    stale.parent.mkdir(parents=True)
    stale.write_text("from an earlier copy")
    roots.copy_sources(root, "/src", repo)
    src = roots.root_dir(root) / "src"
    assert (src / "changed.py").read_text() == "changed, not committed"
    assert sorted(str(p.relative_to(src)) for p in src.rglob("*") if p.is_file()) == [
        ".gitignore",
        "changed.py",
        "kept.py",
        "new.py",
        "sub/deep.txt",
    ]


def test_copy_out_copies_trees_and_reports_absence(cache, tmp_path, as_user):
    tree = cache / "r" / "build" / "results"
    (tree / "suite-cp312").mkdir(parents=True)
    (tree / "suite-cp312" / "pytest.xml").write_text("<testsuite/>")
    assert roots.copy_out(tree, tmp_path / "out" / "inner")
    assert (tmp_path / "out/inner/suite-cp312/pytest.xml").read_text() == "<testsuite/>"
    assert not roots.copy_out(cache / "r" / "none.xml", tmp_path / "out" / "x.xml")


# --- definitions and stages -----------------------------------------------


def test_root_definitions_hold_together():
    for root in roots.ROOTS.values():
        # What a root builds from source must be where its interpreter is.
        if root.cpython:
            assert root.python.startswith(root.cpython_prefix + "/bin/")
            assert root.python.endswith("t") == root.free_threaded
            # Only an interpreter with its own pip can do without Debian's.
            assert root.cpython.debian_site == ("--without-ensurepip" in root.cpython.configure)
        assert root.linux32 == (root.arch == "i386")
    assert roots.ROOTS["newcomer"].packages == (
        "python3",
        "python3-venv",
        "python3-dev",
        "g++",
        "git",
        "ca-certificates",
    )
    with pytest.raises(ValueError, match="known: forky-amd64"):
        roots.get("cp399")


def test_platform_stages_name_interpreters_their_roots_hold():
    assert {
        "cp313-i386",
        "cp314-amd64",
        "cp314-i386",
        "cp315-amd64",
        "cp315-i386",
        "cp314d-amd64",
        "cp315d-amd64",
        "cp313t-amd64",
        "cp313t-tsan-amd64",
    } <= set(root_stages.ROOT_STAGES)
    # The ThreadSanitizer stage comes last: its root takes longest to make.
    assert root_stages.ROOT_STAGES[-1] == "cp313t-tsan-amd64"
    assert roots.get(root_stages.PLATFORMS["cp313t-tsan-amd64"].root).free_threaded
    for name, platform in root_stages.PLATFORMS.items():
        root = roots.get(platform.root)
        version = Path(platform.python).name.removeprefix("python").rstrip("dt")
        # Debian's interpreter comes with its package (-dbg for the debug one);
        # a built one is the root's own.
        package = f"python{version}-dbg" if platform.debug else f"python{version}"
        assert package in root.packages or platform.python == root.python, name
        if not platform.debug and not root.cpython:
            assert f"python{version}-dev" in root.packages, name
        assert name.endswith(root.arch)
        if platform.core_tests:
            assert "doctest-dev" in root.packages
    # The core tests run once per architecture.
    assert sorted(roots.get(p.root).arch for p in root_stages.PLATFORMS.values() if p.core_tests) == ["i386"]


def test_host_settings_for_the_newcomer_map_home_to_root(tmp_path):
    (tmp_path / ".config" / "pip").mkdir(parents=True)
    pairs = {str(src): dest for src, dest in root_stages.host_settings(tmp_path)}
    assert pairs[str(tmp_path / ".config" / "pip")] == "/root/.config/pip"
    assert str(tmp_path / ".pip") not in pairs


def test_root_stages_are_skipped_without_root(monkeypatch, tmp_path):
    from harness.results import StageSkipped

    monkeypatch.setattr(privilege, "root_prefix", lambda: None)
    report = type("R", (), {"log_dir": tmp_path})()
    for call, stage in (
        (lambda: root_stages.run_root(report, "cp314-i386"), "root-cp314-i386"),
        (lambda: root_stages.prepare_all(report), "roots-prepare"),
        (lambda: root_stages.run_newcomer(report), "newcomer"),
    ):
        with pytest.raises(StageSkipped) as skipped:
            call()
        assert skipped.value.command == f"sudo python3 dev.py -s {stage}"


# --- making roots, with a stand-in mmdebstrap ---------------------------------

MMDEBSTRAP = """
echo "$*" >>"$CALLS"
case "$*" in *--arch=i386*) echo "E: no i386 today"; exit 1 ;; esac
# mmdebstrap ... SUITE DEST SOURCE...: DEST follows the suite.
while [ "$1" != forky ] && [ "$1" != trixie ]; do shift; done
mkdir -p "$2/usr/bin" && touch "$2/usr/bin/python3.14"
"""


@pytest.fixture
def stand_in_mmdebstrap(stand_ins, tmp_path, monkeypatch, cache, as_user):
    stand_ins("unshare", 'while [ "$1" != -- ]; do shift; done; shift; exec "$@"\n')
    stand_ins("mmdebstrap", MMDEBSTRAP)
    calls = tmp_path / "calls"
    monkeypatch.setenv("CALLS", str(calls))
    monkeypatch.setattr(roots.apt, "ensure", lambda *a: None)
    monkeypatch.setattr(roots.proc.time, "sleep", lambda s: None)
    return calls


def test_prepare_makes_missing_roots_names_failures_and_reuses_fresh_ones(stand_in_mmdebstrap, cache, tmp_path):
    logs = tmp_path / "logs"
    with pytest.raises(roots.RootsNotMade) as error:
        roots.prepare(["forky-amd64", "forky-i386"], logs)
    amd64 = roots.ROOTS["forky-amd64"]
    assert error.value.failed == ("forky-i386",)
    assert "forky-i386" in str(error.value) and str(logs) in str(error.value)
    assert roots.is_fresh(roots.ROOTS["forky-amd64"])
    # A root that could not be made leaves nothing behind (its attempts retried).
    assert sorted(p.name for p in cache.iterdir()) == [".locks", roots.root_dir(amd64).name]
    assert stand_in_mmdebstrap.read_text().count("--arch=i386") == 3
    assert "no i386 today" in (logs / "forky-i386-mmdebstrap.log").read_text()

    stand_in_mmdebstrap.unlink()
    assert roots.prepare(["forky-amd64"], logs) == {"forky-amd64": "up to date"}
    assert not stand_in_mmdebstrap.exists(), "a fresh root is not made again"


def test_prepare_makes_a_changed_root_anew_and_removes_unused_old_ones(stand_in_mmdebstrap, cache, tmp_path):
    amd64 = roots.ROOTS["forky-amd64"]
    for stale in ("0123456789abcdef", "fedcba9876543210"):
        (cache / f"{amd64.name}-{stale}" / "usr/bin").mkdir(parents=True)
    half_made = roots.root_dir(amd64)
    (half_made / "usr/bin").mkdir(parents=True)
    (half_made / "usr/bin/python3.14").touch()
    (half_made / "left-from-before").touch()  # and no stamp: not made to the end
    unrelated = cache / "forky-amd64-dbg-0123456789abcdef"
    unrelated.mkdir()
    with roots._lock(f"{amd64.name}-fedcba9876543210", shared=True):  # in use elsewhere
        assert roots.prepare([amd64.name], tmp_path / "logs")[amd64.name].startswith("made in")
    assert not (half_made / "left-from-before").exists()
    assert roots.is_fresh(amd64)
    assert {p.name for p in cache.iterdir()} == {
        ".locks",
        half_made.name,
        unrelated.name,
        f"{amd64.name}-fedcba9876543210",
    }
