"""Debian packages: exact names to apt-get, retries, sudo -n for a user,
and a skipped stage (never a prompt or a silent pass) without root."""

import pytest

from harness import apt, privilege
from harness.results import StageSkipped

# Records each call's arguments; fails the calls numbered in $FAIL_CALLS.
RECORDER = """n=$(cat "$STATE/calls" 2>/dev/null || echo 0); n=$((n + 1)); echo "$n" >"$STATE/calls"
echo "$(basename "$0") $* DEBIAN_FRONTEND=${DEBIAN_FRONTEND:-}" >>"$STATE/log"
case " ${FAIL_CALLS:-} " in *" $n "*) exit 1 ;; esac
"""
# dpkg-query that knows only "g++" as installed.
DPKG_QUERY = """for p in "$@"; do
  case "$p" in -*) ;; g++) echo "g++ installed" ;; *) echo "$p not-installed" ;; esac
done
"""


@pytest.fixture
def apt_tools(stand_ins, tmp_path, monkeypatch):
    monkeypatch.setenv("STATE", str(tmp_path))
    monkeypatch.setenv("JADEFOX_RETRY_PAUSE", "0")
    stand_ins("apt-get", RECORDER)
    stand_ins("dpkg-query", DPKG_QUERY)
    return tmp_path / "log"


def calls(log):
    return log.read_text().splitlines() if log.exists() else []


def test_installs_exactly_the_missing_packages(apt_tools, monkeypatch):
    monkeypatch.setattr(privilege, "root_prefix", lambda: ())
    apt.ensure(["g++", "doctest-dev", "arch-test"], "why", "cmd")
    assert calls(apt_tools) == [
        "apt-get update -q DEBIAN_FRONTEND=noninteractive",
        "apt-get install -y -q --no-install-recommends doctest-dev arch-test DEBIAN_FRONTEND=noninteractive",
    ]


def test_nothing_missing_runs_nothing(apt_tools, monkeypatch):
    monkeypatch.setattr(privilege, "root_prefix", lambda: None)
    apt.ensure(["g++"], "why", "cmd")
    assert calls(apt_tools) == []


def test_a_flaky_mirror_is_retried(apt_tools, monkeypatch):
    monkeypatch.setattr(privilege, "root_prefix", lambda: ())
    monkeypatch.setenv("FAIL_CALLS", "1 3")
    apt.ensure(["doctest-dev"], "why", "cmd")
    assert [c.split()[1] for c in calls(apt_tools)] == ["update", "update", "install", "update", "install"]


def test_gives_up_after_three_attempts(apt_tools, monkeypatch):
    monkeypatch.setattr(privilege, "root_prefix", lambda: ())
    monkeypatch.setenv("FAIL_CALLS", "1 2 3")
    with pytest.raises(RuntimeError, match="could not install doctest-dev"):
        apt.ensure(["doctest-dev"], "why", "cmd")


def test_through_sudo_for_another_user(apt_tools, monkeypatch, stand_ins):
    stand_ins("sudo", 'echo "sudo $*" >>"$STATE/log"; [ "$1" = -n ] || exit 9; shift; exec "$@"\n')
    monkeypatch.setattr(privilege, "root_prefix", lambda: ("sudo", "-n"))
    apt.ensure(["doctest-dev"], "why", "cmd")
    log = calls(apt_tools)
    assert log[0] == "sudo -n env DEBIAN_FRONTEND=noninteractive apt-get update -q"
    assert log[2].startswith("sudo -n env DEBIAN_FRONTEND=noninteractive apt-get install")


def test_without_root_the_stage_is_skipped_with_the_command(apt_tools, monkeypatch):
    monkeypatch.setattr(privilege, "root_prefix", lambda: None)
    with pytest.raises(StageSkipped) as skipped:
        apt.ensure(["doctest-dev"], "the core tests use doctest", "sudo python3 dev.py -s core-asan")
    assert "apt-get install doctest-dev" in skipped.value.message()
    assert skipped.value.command == "sudo python3 dev.py -s core-asan"
    assert calls(apt_tools) == []
