"""The docs stage's own logic: which browser events fail a page, how an
example's output is judged, and that its tools are pinned."""

import sys

import pytest

from harness import page_check
from harness.results import StageReport, stage_counts
from harness.stages import docs


def event(method, **params):
    return {"method": method, "params": params}


@pytest.mark.parametrize(
    ("message", "expected"),
    [
        (
            event(
                "Runtime.exceptionThrown",
                exceptionDetails={"text": "Uncaught", "exception": {"description": "ReferenceError: f"}},
            ),
            "script error: ReferenceError: f",
        ),
        (
            event("Network.loadingFailed", errorText="net::ERR_FILE_NOT_FOUND", type="Image"),
            "failed to load a resource: net::ERR_FILE_NOT_FOUND (Image)",
        ),
        (event("Network.loadingFailed", errorText="net::ERR_ABORTED", type="Other", canceled=True), None),
        (
            event("Network.requestWillBeSent", request={"url": "https://example.org/font.woff2"}),
            "request leaves the filesystem: https://example.org/font.woff2",
        ),
        (event("Network.requestWillBeSent", request={"url": "file:///site/_static/furo.js"}), None),
        (event("Network.requestWillBeSent", request={"url": "data:image/svg+xml,<svg/>"}), None),
        (
            event(
                "Log.entryAdded", entry={"level": "error", "text": "Failed to load resource", "url": "file:///x.png"}
            ),
            "console: Failed to load resource file:///x.png",
        ),
        (event("Log.entryAdded", entry={"level": "warning", "text": "deprecated"}), None),
        (
            event("Runtime.consoleAPICalled", type="error", args=[{"value": "boom"}, {"description": "Error: x"}]),
            "console.error: boom Error: x",
        ),
        (event("Runtime.consoleAPICalled", type="log", args=[{"value": "fine"}]), None),
        (event("Page.loadEventFired", timestamp=1.0), None),
    ],
)
def test_browser_events(message, expected):
    assert page_check._problem(message) == expected


@pytest.fixture
def examples(tmp_path, monkeypatch, results_root):
    folder = tmp_path / "examples"
    folder.mkdir()
    monkeypatch.setattr(docs, "EXAMPLES", folder)
    return folder


def run_examples(report_name="docs-test"):
    report = StageReport(report_name)
    docs._examples(sys.executable, report)
    return stage_counts(report_name)


@pytest.mark.parametrize(
    ("script", "out", "passed"),
    [
        ("print('a')\nprint(1.5)\n", "a\n1.5\n", True),
        ("print('a')\nprint(1.5000000000000002)\n", "a\n1.5\n", False),  # a changed result fails
        ("print('a')\n", "a", False),  # so does a missing newline
        ("print('a')\n", None, False),  # no expected output: a failure
        ("print('a')\nraise SystemExit(3)\n", "a\n", False),  # the right output, a failed exit
    ],
)
def test_example_output_is_compared_exactly(examples, script, out, passed):
    (examples / "recipe.py").write_text(script)
    if out is not None:
        (examples / "recipe.out").write_text(out)
    counts = run_examples()
    assert (counts.passed, counts.failed) == ((1, 0) if passed else (0, 1))


def test_an_example_run_elsewhere_is_skipped_with_its_reason(examples):
    (examples / "dask_shards.py").write_text("raise SystemExit(1)\n")
    (examples / "ok.py").write_text("print('x')\n")
    (examples / "ok.out").write_text("x\n")
    counts = run_examples()
    assert (counts.passed, counts.failed, counts.skipped) == (1, 0, 1)
    assert "suite" in counts.skip_reasons[0]
