import os
import sys

import pytest

# Make the shared helpers importable whatever import mode pytest runs in
# (once: pytest runs this file again in every session of one process).
HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import support  # noqa: E402


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
