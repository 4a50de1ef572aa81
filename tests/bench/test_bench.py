"""The benchmark's own logic: the bit-exact comparison, every workload's
checks, the goals file naming what the workloads measure, and how goals are
evaluated."""

import math
import sys
import tomllib
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))

from bench import report, workloads  # noqa: E402 - after the repository is on the path
from bench.checks import CheckFailed, expect_same  # noqa: E402 - after the repository is on the path
from jadefox import JadeDict  # noqa: E402 - after the repository is on the path


@pytest.mark.parametrize(
    "got, want",
    [
        (0.0, -0.0),
        (-0.0, 0.0),
        (1.0, 1.0 + 2**-52),
        (None, 0.0),
        (0.0, None),
        (1, 1.0),
        ({"b": 1.0, "a": 2.0}, {"a": 2.0, "b": 1.0}),
        ({"a": 1}, {"a": 1.0}),
        ({"a": -0.0}, {"a": 0.0}),
        ([1.0], [1.0, 2.0]),
        (JadeDict({"a": 0.0}), {"a": -0.0}),
    ],
)
def test_expect_same_rejects(got, want):
    with pytest.raises(CheckFailed):
        expect_same(got, want, "case")


@pytest.mark.parametrize(
    "got, want",
    [
        (math.nan, -math.nan),
        (-0.0, -0.0),
        (math.inf, math.inf),
        (None, None),
        ({"a": math.nan, "b": -0.0}, {"a": math.nan, "b": -0.0}),
        ([None, 2.5], [None, 2.5]),
        (JadeDict({"é": 1.5, "a": -0.0}), {"é": 1.5, "a": -0.0}),
    ],
)
def test_expect_same_accepts(got, want):
    expect_same(got, want, "case")


@pytest.mark.parametrize("workload", workloads.WORKLOADS, ids=lambda w: w.name)
def test_every_workload_passes_its_checks(workload):
    for n in (10, 1_000):
        workload.check(n)


def test_an_optional_library_skips_what_depends_on_it(monkeypatch):
    positional = next(w for w in workloads.WORKLOADS if w.name.startswith("add, positional"))
    monkeypatch.setitem(workloads.OPTIONAL, "np", ("numpy is not installed", lambda: False))
    assert positional.missing("na + nb") == "numpy is not installed"  # nb is na * 1.5
    assert positional.missing("s1 + s2") is None
    assert positional.missing("x.add(b)") is None


def test_goals_name_measured_workloads_and_peers():
    goals = tomllib.loads(report.GOALS.read_text())
    names = {w.name: w.peers for w in workloads.WORKLOADS}
    for workload, peers in goals["ratio"].items():
        assert workload in names
        assert set(peers) <= set(names[workload]), workload


def test_goals_evaluated_per_size():
    goals = {
        "ratio": {
            "w": {"p": [{"min_n": 1_000, "at_least": 2.0}, {"n": [10], "at_least": 1.0}, {"n": [5], "at_least": 1.0}]}
        },
        "memory": {"derived": {"at_most": 8.0}, "construction": {"at_most": 40.0, "plus_key_bytes": True}},
    }
    times = {"w": {"jadefox": {10: 1.0, 1_000: 1.0, 10**6: 2.0}, "p": {10: 0.5, 1_000: 2.0, 10**6: 3.0}}}
    memory = {"n": 100, "key_bytes": 12.0, "bytes_per_key": {"jadefox": {"derived": 8.5, "construction": 51.0}}}
    got = [(status, detail) for status, _, detail in report.evaluate(goals, times, memory)]
    assert got == [
        ("met", "n=1,000: 2.00"),
        ("missed", "n=1,000,000: 1.50"),
        ("missed", "n=10: 0.50"),
        ("n/a", "not measured"),
        ("missed", "n=100: 8.5 bytes/key (limit 8.0)"),
        ("met", "n=100: 51.0 bytes/key (limit 52.0)"),
    ]
    assert [s for s, _, _ in report.evaluate(goals, times, None)][-2:] == ["n/a", "n/a"]
