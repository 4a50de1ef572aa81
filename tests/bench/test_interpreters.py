"""bench/interpreters.py's own logic: how ratios and goals are evaluated,
samples taken in own-GIL workers, and the script run from anywhere (its
workers import the `bench` package from the tree)."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO))

from bench import interpreters  # noqa: E402

needs_pool = pytest.mark.skipif(
    interpreters.InterpreterPoolExecutor is None, reason="InterpreterPoolExecutor is new in CPython 3.14"
)


def test_goals_evaluated_from_best_throughputs():
    figures = {name: {1: 100.0, 2: 190.0} for name in interpreters.ROWS}
    figures["keyed add"] = {1: 100.0, 2: 179.0}
    figures["sum()"] = {1: 100.0, 2: 180.0}  # the goal itself is met
    figures["dict comprehension"] = {1: 100.0, 2: 150.0}
    figures["construction"] = {1: 100.0, 2: 142.0}  # control 1.5 less 5%: 1.425
    got = {r["operation"]: (round(r["ratio"], 3), r["goal_text"], r["met"]) for r in interpreters.evaluate(figures)}
    assert got == {
        "construction": (1.42, ">= control 1.50", False),
        "dict comprehension": (1.5, "control", None),
        "keyed add": (1.79, ">= 1.8", False),
        "dict keyed add": (1.9, "control", None),
        "sum()": (1.8, ">= 1.8", True),
        "dict sum(values())": (1.9, "control", None),
    }


@needs_pool
@pytest.mark.parametrize("workers", interpreters.WORKERS)
def test_a_sample_counts_in_every_worker(workers):
    with interpreters.new_pool(workers) as pool:
        results = interpreters.sample(pool, "construction", True, workers, 0.02)
    assert len(results) == workers
    for count, elapsed, cpu in results:
        assert count > 0 and elapsed >= 0.02 and cpu > 0.0
    assert interpreters.throughput(results) > 0.0


@needs_pool
def test_a_failing_task_raises_in_the_caller():
    with interpreters.new_pool(2) as pool, pytest.raises(KeyError, match="no such row"):
        interpreters.sample(pool, "no such row", True, 2, 0.01)


def test_the_script_runs_from_another_directory(tmp_path):
    out = tmp_path / "figures.json"
    run = subprocess.run(
        [
            sys.executable,
            str(REPO / "bench" / "interpreters.py"),
            "--quick",
            "--seconds",
            "0.02",
            "--repeat",
            "1",
            "--json",
            str(out),
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
        check=False,
    )
    assert run.returncode == 0, run.stderr
    if interpreters.InterpreterPoolExecutor is None:
        assert "needs CPython 3.14 or newer: nothing measured" in run.stdout
        assert not out.exists()
        return
    rows = json.loads(out.read_text())["rows"]
    assert [r["operation"] for r in rows] == list(interpreters.ROWS)
    assert all(r["ops_per_s_1"] > 0 and r["ops_per_s_2"] > 0 for r in rows)
