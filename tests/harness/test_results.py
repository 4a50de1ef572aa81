"""How results are read and booked: no broken run may look clean."""

import pytest

from harness import config, results, stage_runner
from harness.results import StageReport, StageSkipped

PYTEST_XML = """<?xml version="1.0"?><testsuites><testsuite name="pytest" errors="0" failures="1"
 skipped="1" tests="4"><testcase classname="a" name="ok" time="0.5"/>
<testcase classname="a" name="ok2" time="0.25"/>
<testcase classname="a" name="bad"><failure message="x">trace</failure></testcase>
<testcase classname="a" name="skip"><skipped message="no dask here"/></testcase>
</testsuite></testsuites>"""

# doctest writes one failure element per failed assertion of a case.
DOCTEST_XML = """<?xml version="1.0" encoding="UTF-8"?><testsuites><testsuite name="core" errors="0"
 failures="3" tests="40"><testcase classname="t.cpp" name="one" status="run">
<failure message="a"/><failure message="b"/></testcase>
<testcase classname="t.cpp" name="two" status="run"/></testsuite></testsuites>"""

# pytest's report of a test module that failed to import: an error, no case.
COLLECTION_ERROR_XML = """<?xml version="1.0"?><testsuites><testsuite name="pytest" errors="1"
 failures="0" skipped="0" tests="1"></testsuite></testsuites>"""


# pytest-run-parallel's run: the suite's conftest adds how many ran threaded.
THREADED_XML = """<?xml version="1.0"?><testsuites><testsuite name="pytest" errors="0" failures="0"
 skipped="0" tests="2"><properties><property name="parallel_threads" value="4"/>
<property name="tests_threaded" value="1"/><property name="tests_single_thread" value="1"/></properties>
<testcase classname="a" name="t" time="0.5"/><testcase classname="a" name="s" time="0.5"/>
</testsuite></testsuites>"""


def write(path, text):
    path.write_text(text)
    return path


def test_cases_are_counted_not_suite_attributes(tmp_path):
    c = results.read_junit(write(tmp_path / "p.xml", PYTEST_XML))
    assert (c.passed, c.failed, c.skipped) == (2, 1, 1)
    assert c.seconds == pytest.approx(0.75)
    assert c.skip_reasons == ["no dask here"]
    c = results.read_junit(write(tmp_path / "d.xml", DOCTEST_XML))
    assert (c.passed, c.failed) == (1, 1)
    c = results.read_junit(write(tmp_path / "e.xml", COLLECTION_ERROR_XML))
    assert (c.passed, c.failed) == (0, 1)
    assert c.threaded == 0
    c = results.read_junit(write(tmp_path / "t.xml", THREADED_XML))
    assert (c.passed, c.threaded) == (2, 1)


def test_stage_counts_include_nested_runs_and_unreadable_files(results_root):
    d = results.stage_dir("newcomer")
    (d / "inner" / "suite").mkdir(parents=True)
    write(d / "harness.xml", PYTEST_XML)
    write(d / "inner" / "suite" / "pytest.xml", DOCTEST_XML)
    write(d / "inner" / "broken.xml", "<testsuites><testsu")
    c = results.stage_counts("newcomer")
    assert (c.passed, c.failed) == (3, 3)


@pytest.mark.parametrize(
    "rc, xml, message",
    [
        (124, PYTEST_XML, "timed out"),
        (-11, None, "exited with status -11 and left no results"),
        (5, '<testsuites><testsuite name="x" tests="0"/></testsuites>', "ran no test (exit 5)"),
        (0, '<testsuites><testsuite name="x" tests="0"/></testsuites>', "ran no test (exit 0)"),
        (
            1,
            '<testsuites><testsuite><testcase name="a"/></testsuite></testsuites>',
            "exited with status 1 without a failed test",
        ),
    ],
)
def test_a_broken_run_is_one_failure(results_root, rc, xml, message):
    report = StageReport("s")
    if xml is not None:
        write(report.xml_path("pytest"), xml)
    report.runner("pytest", rc)
    c = results.stage_counts("s")
    assert c.failed >= 1
    assert message in (report.dir / results.HARNESS_FILE).read_text()


def test_a_clean_run_adds_nothing(results_root):
    report = StageReport("s")
    write(report.xml_path("pytest"), '<testsuites><testsuite><testcase name="a"/></testsuite></testsuites>')
    report.runner("pytest", 0)
    assert (results.stage_counts("s").passed, results.stage_counts("s").failed) == (1, 0)


def test_opening_a_stage_clears_stale_results(results_root):
    write(StageReport("s").xml_path("old"), PYTEST_XML)
    StageReport("s")
    assert results.stage_counts("s").ran == 0


def test_skipped_stage_fails_only_in_ci(results_root, monkeypatch):
    def body(report):
        raise StageSkipped("needs root", "sudo python3 dev.py -s x")

    monkeypatch.delenv("CI", raising=False)
    counts = stage_runner.run("x", body)
    assert counts.skip_reasons == ["needs root (run it with: sudo python3 dev.py -s x)"]
    assert not stage_runner.failed(counts)
    monkeypatch.setenv("CI", "true")
    assert stage_runner.failed(counts)


def test_a_stage_that_ran_nothing_or_raised_fails(results_root):
    assert stage_runner.failed(stage_runner.run("quiet", lambda report: None))
    counts = stage_runner.run("broken", lambda report: 1 / 0)
    assert counts.failed == 1 and stage_runner.failed(counts)


def test_skip_by_request(results_root, monkeypatch):
    monkeypatch.setenv("JADEFOX_SKIP", "roots, core-tsan")
    ran = []
    for name, in_root in (("root-cp314-i386", True), ("newcomer", True), ("core-tsan", False), ("core-asan", False)):
        stage_runner.run(name, lambda report, name=name: ran.append(name) or report.passed("x"), in_root)
    assert ran == ["core-asan"]
    assert config.skipped_by_request() == {"roots", "core-tsan"}
