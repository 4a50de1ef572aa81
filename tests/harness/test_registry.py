"""The stage registry: names written once, `all`'s order, the root rule."""

from __future__ import annotations

import re

import pytest

from harness import config, knobs, stage_runner
from harness.stages import registry, root_stages


@pytest.fixture(scope="module")
def stages():
    return registry.stages()


def test_every_stage_has_one_name_and_a_one_line_description(stages):
    names = [s.name for s in stages]
    assert len(names) == len(set(names))
    assert all(s.doc and "\n" not in s.doc for s in stages)


def test_all_runs_the_test_command_s_stages_in_order_and_nothing_else(stages):
    in_all = [s.name for s in stages if s.in_all]
    assert in_all.index("harness") < in_all.index("lint") < in_all.index("release")
    assert [n for n in in_all if n.startswith("root-")] == [f"root-{n}" for n in root_stages.ROOT_STAGES]
    assert not {"all", "test", "quickstart", "bench", "roots-prepare"} & set(in_all)
    # What `all` runs only succeeds or fails through its booked results.
    assert all(s.booked for s in stages if s.in_all)


def test_skipping_roots_by_request_skips_exactly_the_stages_that_work_in_roots(stages, monkeypatch):
    monkeypatch.setenv("JADEFOX_SKIP", "roots")
    skipped = {s.name for s in stages if stage_runner.requested_skip(s.name, s.in_root)}
    assert skipped == {s.name for s in stages if s.in_root}
    assert {"newcomer", "roots-prepare", *(f"root-{n}" for n in root_stages.ROOT_STAGES)} == skipped


def test_the_harness_reads_no_jadefox_variable_that_knobs_does_not_define():
    read = set()
    for path in (config.REPO / "harness").rglob("*.py"):
        if path.name != "knobs.py":
            read |= set(re.findall(r"os\.environ[^\n]*\"(JADEFOX_\w+)\"", path.read_text()))
    assert read == set(), f"read directly, not through harness.knobs: {sorted(read)}"
    assert len({k.name for k in knobs.ALL}) == len(knobs.ALL)
    assert knobs.TEST_TIMEOUT.value({}) == "1200" and knobs.TEST_TIMEOUT.value({"JADEFOX_TEST_TIMEOUT": ""}) == "1200"
