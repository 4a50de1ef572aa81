"""One way to run commands where a stage works, this machine or a Debian
root (with or without a throwaway overlay), shared by the root stages and
the release: run a command with its log, steps booked as one check, files
copied in and results copied out, a directory cleared. Where a stage works
inside a root is roots.work_dir (per checkout and stage)."""

from __future__ import annotations

import os
import shutil
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from . import proc, roots
from .results import StageReport

# How much of a failed command's log its check shows.
LOG_TAIL = 80


@dataclass(frozen=True)
class Place:
    """This machine (root None) or a Debian root, seen through `overlay`
    (from roots.overlay()) when given: runs commands and maps paths as seen
    there to paths on this machine."""

    root: roots.Root | None = None
    overlay: Path | None = None

    def run(
        self,
        argv: Sequence[str | os.PathLike[str]],
        *,
        log: Path | None = None,
        env: Mapping[str, str] | None = None,
        cwd: str | None = None,
        timeout: float | None = None,
        show: bool = False,
    ) -> int:
        if self.root is None:
            return proc.run(argv, log=log, env=env, cwd=Path(cwd) if cwd else None, timeout=timeout, show=show)
        return roots.run(
            self.root,
            [os.fspath(a) for a in argv],
            env=env,
            log=log,
            timeout=timeout,
            show=show,
            cwd=cwd or "/",
            overlay=self.overlay,
        )

    def host_path(self, path: str) -> Path:
        """Where a path as seen here is on this machine; in an overlay, the
        layer that receives what the commands write."""
        if self.root is None:
            return Path(path)
        top = self.overlay / "upper" if self.overlay else roots.root_dir(self.root)
        return top / path.lstrip("/")

    def search_path(self) -> str:
        return os.environ["PATH"] if self.root is None else roots.BASE_ENV["PATH"]

    def bring(self, source: Path, dest: str) -> str:
        """The path, as seen here, of a file of this machine copied to
        `dest` (a directory); on this machine the file itself."""
        if self.root is None:
            return str(source)
        inside = f"{dest.rstrip('/')}/{source.name}"
        roots.copy_in(source, self.host_path(inside))
        return inside

    def fetch(self, path: str, dest: Path) -> bool:
        """Copies a file or tree this place left at `path` to `dest` on this
        machine; False when there is none."""
        if self.root is None:
            if not Path(path).is_file():
                return False
            shutil.copyfile(path, dest)
            return True
        return roots.copy_out(self.host_path(path), dest)

    def collect(self, report: StageReport, label: str, xml: str, returncode: int) -> None:
        """Books a test runner that exited with `returncode` and left its
        JUnit file at `xml` here."""
        self.fetch(xml, report.xml_path(label))
        report.runner(label, returncode)

    def clear(self, path: str, make: bool = False) -> None:
        """Removes `path` here (and makes it anew when `make`)."""
        for argv in (["rm", "-rf", path], ["mkdir", "-p", path])[: 2 if make else 1]:
            if self.run(argv) != 0:
                raise RuntimeError(f"could not clear {path} in {self.root.name if self.root else 'this machine'}")


def steps(
    report: StageReport,
    name: str,
    place: Place,
    steps: Sequence[tuple[str, Sequence[str | os.PathLike[str]]]],
    **how: Any,
) -> bool:
    """Runs the (what, argv) steps in order in `place` (each with `how`:
    env, cwd, timeout, show) as one check named `name`, which fails at the
    first step that fails."""
    for what, argv in steps:
        log = report.log_path(" ".join(filter(None, (name, what))).replace(" ", "-").replace(":", ""))
        rc = place.run(argv, log=log, **how)
        if rc != 0:
            said = f"{what}: " if what else ""
            return report.check(name, False, f"{said}exit status {rc} (log {log})", proc.tail(log, LOG_TAIL))
    return report.check(name, True)


def step(report: StageReport, name: str, place: Place, argv: Sequence[str | os.PathLike[str]], **how: Any) -> bool:
    """One command in `place` that must succeed, booked as the check `name`."""
    return steps(report, name, place, [("", argv)], **how)
