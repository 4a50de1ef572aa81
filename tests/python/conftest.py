import collections
import os
import sys

import pytest
from _pytest import junitxml

# Make the shared helpers importable whatever import mode pytest runs in
# (once: pytest runs this file again in every session of one process).
HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import support  # noqa: E402


def pytest_configure(config):
    # pytest-run-parallel's marker, declared here too so that runs without
    # the plugin know it (see single_thread.py).
    config.addinivalue_line("markers", "thread_unsafe(reason): pytest-run-parallel runs the test on one thread")
    config.addinivalue_line(
        "markers",
        "plain_allocator: holds only with the interpreter's usual allocator, so the runs under "
        "AddressSanitizer and ThreadSanitizer leave it out: a sanitizer's allocator aborts where an "
        "exhausted one fails, its shadow memory defeats an RLIMIT_AS, and ASan's quarantine holds "
        "freed memory on purpose (LeakSanitizer covers leaks in that run)",
    )


@pytest.fixture(scope="session")
def panic_type():
    p = support.panic_instance()
    assert type(p).__name__ == "PanicException", repr(p)
    return type(p)


def threaded_counts(config):
    """(threads per test, tests run on that many threads, tests run on one
    thread) under pytest-run-parallel, or None without it. Counted from the
    tests that ran (a deselected or skipped test is in neither)."""
    plugin = config.pluginmanager.get_plugin("_run-parallel")
    threads = int(getattr(config.option, "parallel_threads", 1) or 1)
    if plugin is None or threads < 2:
        return None
    reporter = config.pluginmanager.get_plugin("terminalreporter")
    ran = {
        r.nodeid
        for outcome in ("passed", "failed", "error")
        for r in reporter.stats.get(outcome, [])
        if getattr(r, "when", None) == "call"
    }
    if not ran:
        return None
    threaded = sum(1 for nodeid in ran if nodeid in plugin.run_in_parallel)
    return threads, threaded, len(ran) - threaded


@pytest.hookimpl(tryfirst=True)
def pytest_sessionfinish(session):
    # Into the JUnit file too, where the harness reads its figures.
    counts = threaded_counts(session.config)
    xml = session.config.stash.get(junitxml.xml_key, None)
    if counts and xml is not None:
        for name, value in zip(("parallel_threads", "tests_threaded", "tests_single_thread"), counts):
            xml.add_global_property(name, str(value))


def pytest_terminal_summary(terminalreporter):
    counts = threaded_counts(terminalreporter.config)
    if counts:
        threads, threaded, single = counts
        terminalreporter.write_sep(
            "-",
            f"threaded: {threaded} tests ran on {threads} threads at once, "
            f"{single} on one thread (marked thread_unsafe; -v lists why)",
        )
    counts = support.INJECTED_FAILURES
    if counts:
        terminalreporter.write_sep(
            "-", f"injected allocation failures: {sum(counts.values())} over {len(counts)} entry points"
        )
        terminalreporter.write_line(", ".join(f"{name} {n}" for name, n in counts.items()))
    # Name what a -m or -k expression left out (pytest itself only counts it).
    left_out = collections.Counter(item.nodeid.split("[")[0] for item in terminalreporter.stats.get("deselected", []))
    if left_out:
        terminalreporter.write_sep("-", f"deselected: {left_out.total()}")
        for test, n in left_out.items():
            terminalreporter.write_line(f"{test} ({n})" if n > 1 else test)
