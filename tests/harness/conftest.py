import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO))

from harness import config  # noqa: E402 - after the repository is on the path


@pytest.fixture
def results_root(tmp_path, monkeypatch):
    """build/results and build/logs redirected into a temporary directory."""
    monkeypatch.setattr(config, "RESULTS", tmp_path / "results")
    monkeypatch.setattr(config, "LOGS", tmp_path / "logs")
    return tmp_path


@pytest.fixture
def stand_ins(tmp_path, monkeypatch):
    """A directory put first on PATH for stand-in tools; returns a function
    writing one (a shell script body)."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    monkeypatch.setenv("PATH", f"{bin_dir}:{__import__('os').environ['PATH']}")

    def tool(name: str, body: str) -> Path:
        path = bin_dir / name
        path.write_text("#!/bin/sh\n" + body)
        path.chmod(0o755)
        return path

    return tool
