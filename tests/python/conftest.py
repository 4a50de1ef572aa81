import collections
import os
import sys

import pytest

# Make the shared helpers importable whatever import mode pytest runs in
# (once: pytest runs this file again in every session of one process).
HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import support  # noqa: E402


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "plain_allocator: holds only with the interpreter's usual allocator, so the run under "
        "AddressSanitizer leaves it out: ASan's allocator aborts where an exhausted one fails, its "
        "shadow memory defeats an RLIMIT_AS, and its quarantine holds freed memory on purpose "
        "(LeakSanitizer covers leaks in that run)")


@pytest.fixture(scope="session")
def panic_type():
    p = support.panic_instance()
    assert type(p).__name__ == "PanicException", repr(p)
    return type(p)


def pytest_terminal_summary(terminalreporter):
    counts = support.INJECTED_FAILURES
    if counts:
        terminalreporter.write_sep("-", f"injected allocation failures: {sum(counts.values())} "
                                        f"over {len(counts)} entry points")
        terminalreporter.write_line(", ".join(f"{name} {n}" for name, n in counts.items()))
    # Name what a -m or -k expression left out (pytest itself only counts it).
    left_out = collections.Counter(item.nodeid.split("[")[0]
                                   for item in terminalreporter.stats.get("deselected", []))
    if left_out:
        terminalreporter.write_sep("-", f"deselected: {left_out.total()}")
        for test, n in left_out.items():
            terminalreporter.write_line(f"{test} ({n})" if n > 1 else test)
