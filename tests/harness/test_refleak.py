import subprocess
import sys
import textwrap
import xml.etree.ElementTree as ET

import pytest

from harness import config, refleak


@pytest.mark.parametrize(
    "deltas, leaking",
    [
        # Growth every time, however small: CPython's own rule.
        ([1, 1, 1, 1, 1, 1], True),
        ([5, 5, 6], True),
        ([10, 1, 1], True),
        # One-off growth and noise that comes back are not leaks.
        ([3, 0, 0], False),
        ([0, 1, 0], False),
        ([8, -8, 1], False),
        ([0, 0, 0, 0, 0, 0], False),
        ([-4, -1, 0, 0, 0, 0], False),
        ([50, -50, 0, 30, -30, 0], False),
        # A leak every other run: never shrinks, at least one per run overall.
        ([2, 0, 2, 0, 2, 0], True),
        ([1, 0, 1, 0, 1, 0], False),  # half a block per run: under the floor
        # A leak under noise: both halves grow, two per run overall.
        ([10, -2, 10, 10, -2, 10], True),
        ([30, -2, 0, 0, -1, 0], False),  # all of it in the first half: a warm-up left over
        # A bounded cache filling up (hypothesis's): growth that fades is no leak.
        ([6864, 6283, 5347, 64, 0, 0], False),
        ([4, 0, 4, 0, 2, 0], True),  # slowing, not fading
        ([], False),
    ],
)
def test_growth_verdict(deltas, leaking):
    verdict = refleak.growth_verdict(deltas)
    assert verdict.leaking is leaking, verdict.reason


def fake_counts(values):
    """A counter reading `values` in turn."""
    it = iter(values)
    return {"blocks": lambda: next(it)}


def test_measure_judges_only_the_runs_after_the_warm_ups():
    # Readings: before, after 2 warm-ups (big growth), then 4 judged runs.
    readings = [100, 900, 1700, 1700, 1701, 1701, 1701]
    outcomes = iter([0] * 6)
    result = refleak.measure("m", lambda: next(outcomes), warmups=2, runs=4, counts=fake_counts(readings))
    assert result.deltas == {"blocks": [0, 1, 0, 0]}
    assert result.ok and not result.verdicts["blocks"].leaking


def test_measure_reports_a_leak_and_failed_repetitions():
    readings = [0, 10, 13, 16, 19]
    outcomes = iter([0, 0, 2, 0])
    result = refleak.measure("m", lambda: next(outcomes), warmups=1, runs=3, counts=fake_counts(readings))
    assert result.deltas == {"blocks": [3, 3, 3]}
    assert result.verdicts["blocks"].leaking
    assert result.failed_runs == [3]
    assert not result.ok and "repetition(s) 3" in result.summary()


def test_junit_file_books_leaks_failures_and_exclusions(tmp_path):
    clean = refleak.ModuleResult(
        "test_a.py", deltas={"blocks": [0]}, verdicts={"blocks": refleak.Verdict(False, "steady")}
    )
    leaky = refleak.ModuleResult(
        "test_b.py", deltas={"blocks": [4]}, verdicts={"blocks": refleak.Verdict(True, "grew")}
    )
    path = tmp_path / "refleak.xml"
    refleak.write_junit(path, [clean, leaky], {"test_c.py": "runs in children"})
    cases = {c.get("name"): c for c in ET.parse(path).getroot()}
    assert cases["test_a.py"].find("failure") is None
    assert "blocks [4]: grew" in cases["test_b.py"].find("failure").get("message")
    assert cases["test_c.py"].find("skipped").get("message") == "runs in children"


def test_by_default_every_module_runs_but_the_excluded_ones_booked_with_their_reasons():
    every = {p.name for p in refleak.default_modules()}
    chosen, excluded = refleak.selection([])
    assert excluded == refleak.EXCLUDED and set(excluded) <= every
    assert {p.name for p in chosen} == every - set(excluded)
    asked = [refleak.TESTS / "test_nomemory.py"]
    assert refleak.selection(asked) == (asked, {})


@pytest.mark.parametrize(
    "deltas, leaking",
    [([0, 0, 0], False), ([1, 0, 0], True), ([0, 0, -1], True), ([1, -1, 0], True)],
)
def test_any_change_of_open_file_descriptors_is_a_leak(deltas, leaking):
    assert refleak.fd_verdict(deltas).leaking is leaking


LEAKY_MODULE = """
    import pytest
    KEPT = []

    @pytest.fixture(scope="session")
    def per_session():
        return object()

    def test_keeps_objects(per_session):
        KEPT.append([object() for _ in range(5)])

    @pytest.mark.parametrize("n", range(3))
    def test_clean(n):
        assert [object() for _ in range(n)] is not None
"""


def run_tool(tmp_path, module_text, *args):
    module = tmp_path / "test_sample.py"
    module.write_text(textwrap.dedent(module_text))
    xml = tmp_path / "out.xml"
    r = subprocess.run(
        [
            sys.executable,
            "-m",
            "harness.refleak",
            "--warmups",
            "2",
            "--runs",
            "4",
            "--junitxml",
            str(xml),
            *args,
            str(module),
        ],
        cwd=config.REPO,
        capture_output=True,
        text=True,
        timeout=300,
    )
    return r, ET.parse(xml).getroot()


FD_LEAKING_MODULE = """
    import os
    KEPT = []

    def test_keeps_a_descriptor():
        KEPT.append(os.open(os.devnull, os.O_RDONLY))
"""


def test_a_module_that_keeps_a_file_descriptor_each_run_fails(tmp_path):
    r, suite = run_tool(tmp_path, FD_LEAKING_MODULE)
    assert r.returncode == 1, r.stdout + r.stderr
    failure = suite.find("testcase/failure")
    assert failure is not None and "fds [1, 1, 1, 1]: open file descriptors changed" in failure.get("message")


def test_a_leaking_test_module_fails_and_a_clean_one_passes(tmp_path):
    r, suite = run_tool(tmp_path, LEAKY_MODULE)
    assert r.returncode == 1, r.stdout + r.stderr
    failure = suite.find("testcase/failure")
    assert failure is not None and "grew in every repetition" in failure.get("message")
    assert "test_sample.py  LEAK" in r.stdout

    r, suite = run_tool(tmp_path, LEAKY_MODULE, "--pytest-arg=-k", "--pytest-arg=test_clean")
    assert r.returncode == 0, r.stdout + r.stderr
    assert suite.find("testcase/failure") is None and "test_sample.py  ok" in r.stdout


def test_a_test_failing_on_repetition_fails_the_module(tmp_path):
    r, suite = run_tool(
        tmp_path,
        """
        RUNS = []
        def test_only_once():
            RUNS.append(1)
            assert len(RUNS) == 1
    """,
    )
    assert r.returncode == 1
    failure = suite.find("testcase/failure")
    assert "tests failed in repetition(s) 2, 3, 4, 5, 6" in failure.get("message")
    assert "test_only_once" in failure.text


def test_a_module_that_does_not_collect_fails(tmp_path):
    r, suite = run_tool(tmp_path, "import no_such_module_here\n")
    assert r.returncode == 1
    assert suite.find("testcase/failure").get("message").startswith("no test ran: pytest exited with status ")
