"""Commands: time limits stop the whole process group; retries."""

import os
import time

from harness import proc


def test_timeout_kills_the_whole_group(tmp_path):
    pidfile = tmp_path / "child"
    start = time.monotonic()
    rc = proc.run(["sh", "-c", f"sleep 60 & echo $! > {pidfile}; wait"], timeout=1, show=False)
    assert rc == proc.TIMED_OUT
    assert time.monotonic() - start < 30
    child = int(pidfile.read_text())
    time.sleep(0.2)
    try:
        os.kill(child, 0)
        alive = open(f"/proc/{child}/stat").read().split()[2] != "Z"
    except ProcessLookupError:
        alive = False
    assert not alive


def test_output_goes_to_the_log_and_status_is_returned(tmp_path, capsys):
    log = tmp_path / "x.log"
    assert proc.run(["sh", "-c", "echo out; echo err >&2; exit 3"], log=log, show=False) == 3
    assert log.read_text().split() == ["out", "err"]
    assert "last lines of" in capsys.readouterr().out


def test_retry_stops_at_first_success_and_reports_last_failure():
    calls = []
    assert proc.retry("x", lambda: calls.append(1) or (0 if len(calls) == 2 else 7), pause=0) == 0
    assert len(calls) == 2
    calls.clear()
    assert proc.retry("x", lambda: calls.append(1) or 7, pause=0) == 7
    assert len(calls) == 3
