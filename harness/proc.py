"""Running commands: output kept in a log (and shown live or on failure),
a time limit that stops the whole process group, and retries for what
flakes (mirrors, networks)."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import Any

from . import knobs

TIMED_OUT = 124  # the exit status reported for a command stopped by its time limit


def say(*lines: str) -> None:
    for line in lines:
        print(line, flush=True)


def run(
    argv: Sequence[str | os.PathLike[str]],
    *,
    log: Path | None = None,
    env: Mapping[str, str] | None = None,
    cwd: Path | None = None,
    timeout: float | None = None,
    show: bool = True,
    tail_on_failure: int = 60,
) -> int:
    """Runs argv and returns its exit status (TIMED_OUT when stopped by the
    time limit). Output goes to `log` when given, and to this process's
    stdout when `show`; a quiet command that fails shows its last lines."""
    argv = [os.fspath(a) for a in argv]
    full_env = None if env is None else {**os.environ, **env}
    if log:
        log.parent.mkdir(parents=True, exist_ok=True)
    with open(log, "wb") if log else open(os.devnull, "wb") as sink:
        proc = subprocess.Popen(
            argv,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            stdin=subprocess.DEVNULL,
            env=full_env,
            cwd=cwd,
            start_new_session=True,
        )
        deadline = time.monotonic() + timeout if timeout else None
        assert proc.stdout is not None
        os.set_blocking(proc.stdout.fileno(), False)
        timed_out = False
        while True:
            chunk = proc.stdout.read()
            if chunk:
                sink.write(chunk)
                if show:
                    sys.stdout.buffer.write(chunk)
                    sys.stdout.flush()
            if proc.poll() is not None:
                rest = proc.stdout.read() or b""
                sink.write(rest)
                if show and rest:
                    sys.stdout.buffer.write(rest)
                    sys.stdout.flush()
                break
            if deadline and time.monotonic() > deadline:
                timed_out = True
                _kill_group(proc)
                break
            time.sleep(0.05)
    rc = TIMED_OUT if timed_out else proc.returncode
    if rc != 0 and log and not show:
        show_tail(log, tail_on_failure)
    return rc


def _kill_group(proc: subprocess.Popen[bytes]) -> None:
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            return
        try:
            proc.wait(timeout=30)
            return
        except subprocess.TimeoutExpired:
            continue


def output(argv: Sequence[str | os.PathLike[str]], **kwargs: Any) -> str:
    """stdout of a command that must succeed (stderr passes through)."""
    return subprocess.run([os.fspath(a) for a in argv], check=True, text=True, stdout=subprocess.PIPE, **kwargs).stdout


def tail(log: Path, lines: int = 60) -> str:
    """The last `lines` lines of a log ("" when there is none): what a
    failed check shows of the command behind it."""
    try:
        return "\n".join(log.read_text(errors="replace").splitlines()[-lines:])
    except OSError:
        return ""


def show_tail(log: Path, lines: int = 60) -> None:
    if text := tail(log, lines):
        say(f"----- last lines of {log} -----", text, f"----- end of {log} -----")


def retry(what: str, attempt: Callable[[], int], tries: int = 3, pause: float | None = None) -> int:
    """Calls attempt() until it returns 0, at most `tries` times with a
    growing pause (JADEFOX_RETRY_PAUSE seconds times the attempt);
    returns the last status."""
    if pause is None:
        pause = float(knobs.RETRY_PAUSE.value())
    rc = 1
    for n in range(1, tries + 1):
        rc = attempt()
        if rc == 0:
            return 0
        say(f"warning: {what} failed (attempt {n} of {tries})")
        if n < tries:
            time.sleep(pause * n)
    return rc
