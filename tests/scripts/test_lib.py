"""The shell helpers of scripts/lib.sh that decide what gets installed and
what the test command counts, run in bash against stand-in tools."""

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

LIB = Path(__file__).resolve().parents[2] / "scripts" / "lib.sh"
BASH = shutil.which("bash")
IS_ROOT = os.geteuid() == 0
SETPRIV = shutil.which("setpriv")

# Records one line per call: its arguments joined by "|", then the
# DEBIAN_FRONTEND it saw. Fails the calls numbered in $FAIL_CALLS ("all":
# every call).
RECORDER = """#!/bin/sh
n=$(cat "$STATE/calls" 2>/dev/null || echo 0); n=$((n + 1)); echo "$n" >"$STATE/calls"
printf '%s ' "$(basename "$0")" >>"$STATE/log"
for a in "$@"; do printf '%s|' "$a" >>"$STATE/log"; done
echo " DEBIAN_FRONTEND=${DEBIAN_FRONTEND:-}" >>"$STATE/log"
case " ${FAIL_CALLS:-} " in *" $n "* | " all ") exit 1 ;; esac
"""
# A sudo that takes only -n and runs the rest, recording it first.
SUDO = """#!/bin/sh
printf 'sudo %s\\n' "$*" >>"$STATE/log"
[ "$1" = -n ] || exit 9
shift
[ "$1" = true ] && exit 0
exec "$@"
"""


@pytest.fixture
def stand_ins():
    # Not under pytest's tmp_path: another user must reach it (see setpriv).
    top = Path(tempfile.mkdtemp(prefix="jadefox-lib-test-"))
    top.chmod(0o755)
    bin_dir = top / "bin"
    bin_dir.mkdir()
    state = top / "state"
    state.mkdir()
    state.chmod(0o777)
    (bin_dir / "apt-get").write_text(RECORDER)
    (bin_dir / "apt-get").chmod(0o755)
    yield bin_dir, state
    shutil.rmtree(top)


def run_lib(script, bin_dir, state, *, fail_calls="", sudo=False, user=None):
    """Runs SCRIPT in bash with lib.sh sourced, the stand-ins first on PATH."""
    if sudo:
        (bin_dir / "sudo").write_text(SUDO)
        (bin_dir / "sudo").chmod(0o755)
    env = {
        "PATH": f"{bin_dir}:/usr/bin:/bin",
        "STATE": str(state),
        "FAIL_CALLS": fail_calls,
        "JF_RETRY_PAUSE": "0",
        "LANG": "C.UTF-8",
    }
    cmd = [BASH, "-c", f"set -euo pipefail; source {LIB}; {script}"]
    if user is not None:
        cmd = [SETPRIV, f"--reuid={user}", f"--regid={user}", "--clear-groups", *cmd]
    return subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=60)


def calls(state):
    log = state / "log"
    return log.read_text().splitlines() if log.exists() else []


UPDATE = "apt-get update|-q| DEBIAN_FRONTEND="
INSTALL = "apt-get install|-y|-q|--no-install-recommends|mmdebstrap|arch-test| DEBIAN_FRONTEND=noninteractive"


@pytest.mark.skipif(not IS_ROOT, reason="the root case needs to run as root")
def test_apt_install_as_root_passes_exactly_the_package_names(stand_ins):
    bin_dir, state = stand_ins
    r = run_lib("jf_apt_install mmdebstrap arch-test", bin_dir, state)
    assert r.returncode == 0, r.stderr
    assert calls(state) == [UPDATE, INSTALL]
    assert "installing Debian packages: mmdebstrap arch-test" in r.stdout


@pytest.mark.skipif(not IS_ROOT, reason="the root case needs to run as root")
def test_apt_install_retries_until_apt_get_succeeds(stand_ins):
    bin_dir, state = stand_ins
    # Attempt 1: update fails. Attempt 2: update works, install fails.
    # Attempt 3: both work.
    r = run_lib("jf_apt_install mmdebstrap arch-test", bin_dir, state, fail_calls="1 3")
    assert r.returncode == 0, r.stderr
    assert calls(state) == [UPDATE, UPDATE, INSTALL, UPDATE, INSTALL]
    assert r.stderr.count("failed (attempt") == 2


@pytest.mark.skipif(not IS_ROOT, reason="the root case needs to run as root")
def test_apt_install_gives_up_after_three_attempts(stand_ins):
    bin_dir, state = stand_ins
    r = run_lib("jf_apt_install mmdebstrap arch-test || echo gave-up", bin_dir, state,
                fail_calls="all")
    assert r.stdout.splitlines()[-1] == "gave-up"
    assert calls(state) == [UPDATE] * 3
    assert "attempt 3 of 3" in r.stderr


@pytest.mark.skipif(not (IS_ROOT and SETPRIV), reason="needs root and setpriv to become another user")
def test_apt_install_uses_sudo_when_not_root(stand_ins):
    bin_dir, state = stand_ins
    r = run_lib("jf_apt_install mmdebstrap arch-test", bin_dir, state, sudo=True, user=65534)
    assert r.returncode == 0, r.stderr
    assert calls(state) == [
        "sudo -n true",
        "sudo -n apt-get update -q",
        UPDATE,
        "sudo -n env DEBIAN_FRONTEND=noninteractive apt-get install -y -q"
        " --no-install-recommends mmdebstrap arch-test",
        INSTALL,
    ]
    assert "through sudo -n" in r.stdout


@pytest.mark.skipif(not (IS_ROOT and SETPRIV), reason="needs root and setpriv to become another user")
def test_apt_install_without_root_or_sudo_says_what_to_install(stand_ins):
    bin_dir, state = stand_ins
    r = run_lib("jf_apt_install doctest-dev || echo refused", bin_dir, state, user=65534)
    assert r.stdout.splitlines()[-1] == "refused"
    assert "apt-get install doctest-dev" in r.stderr
    assert calls(state) == []


def test_retry_passes_arguments_through_unchanged(stand_ins):
    bin_dir, state = stand_ins
    r = run_lib("jf_retry 'a step' apt-get 'two words' '' '$HOME' '\"q\"'", bin_dir, state,
                fail_calls="1")
    assert r.returncode == 0, r.stderr
    assert calls(state) == ['apt-get two words||$HOME|"q"| DEBIAN_FRONTEND='] * 2
    assert "a step failed (attempt 1 of 3)" in r.stderr


# What the test command counts: a run that crashed, timed out or ran nothing
# must never pass for a clean one.
JUNIT = """<?xml version="1.0"?><testsuites>
<testsuite tests="7" failures="1" errors="1" skipped="2"/>
<testsuite tests="3" failures="0" errors="0" skipped="0"/></testsuites>"""


@pytest.mark.parametrize(("rc", "xml", "explained", "want"), [
    (1, True, 0, ("6 2", "pytest 6 passed / 2 failed / 2 skipped")),
    (0, True, 0, ("6 2", "pytest 6 passed / 2 failed / 2 skipped")),
    (139, False, 0, ("0 1", "pytest 0 passed / 0 failed / 0 skipped (pytest exit 139)")),
    (139, False, 3, ("0 0", "pytest 0 passed / 0 failed / 0 skipped")),
    (124, True, 0, ("6 3", "pytest 6 passed / 2 failed / 2 skipped (TIMED OUT)")),
    (5, False, 0, ("0 1", "pytest 0 passed / 0 failed / 0 skipped (NO TESTS RAN)")),
    (0, False, 0, ("0 1", "pytest 0 passed / 0 failed / 0 skipped (NO TESTS RAN)")),
])
def test_pytest_result(stand_ins, tmp_path, rc, xml, explained, want):
    bin_dir, state = stand_ins
    path = tmp_path / "r.xml"
    if xml:
        path.write_text(JUNIT)
    r = run_lib(f'jf_pytest_result label {path} {rc} {sys.executable} {explained}; '
                'echo "$TOTAL_PASSED $TOTAL_FAILED"; echo "$JF_COUNTS"', bin_dir, state)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[-2:] == list(want)


@pytest.mark.parametrize(("log", "rc", "want"), [
    ("[doctest] test cases: 20 | 19 passed | 1 failed | 0 skipped\n", 1,
     ("19 1", "19 passed / 1 failed")),
    ("[doctest] test cases: 20 | 20 passed | 0 failed | 0 skipped\n", 1,
     ("20 1", "20 passed / 0 failed (exit 1)")),
    ("==1==ERROR: AddressSanitizer: heap-buffer-overflow\n", 1,
     ("0 1", "0 passed / 0 failed (CRASHED, exit 1)")),
    ("[doctest] test cases: 0 | 0 passed | 0 failed | 0 skipped\n", 0,
     ("0 1", "0 passed / 0 failed (NO TESTS)")),
])
def test_doctest_result(stand_ins, tmp_path, log, rc, want):
    bin_dir, state = stand_ins
    path = tmp_path / "run.log"
    path.write_text(log)
    r = run_lib(f'jf_doctest_result core {path} {rc}; echo "$TOTAL_PASSED $TOTAL_FAILED"; '
                'echo "$JF_COUNTS"', bin_dir, state)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[-2:] == list(want)
