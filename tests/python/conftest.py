import os
import sys

import pytest

# Make the shared helpers importable whatever import mode pytest runs in.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import support  # noqa: E402


@pytest.fixture(scope="session")
def panic_type():
    p = support.panic_instance()
    assert type(p).__name__ == "PanicException", repr(p)
    return type(p)
