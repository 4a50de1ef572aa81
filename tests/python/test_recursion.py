"""Errors raised with the stack nearly used up."""

from single_thread import CHILD_PROCESSES
from support import run_py

pytestmark = CHILD_PROCESSES


# The first failing call of a process, with the stack nearly used up: the
# error is an ordinary one and must come out as such, whatever the module
# needs in order to tell it apart from an internal failure.
DEEP_ERROR_SCRIPT = """
import sys
from jadefox import JadeDict
d = JadeDict({"a": 1.0})
sys.setrecursionlimit(100000)
def f():
    try:
        list(map(lambda _: f(), [0]))
    except RecursionError:
        d.add_scalar(None)
        raise
try:
    f()
except BaseException as e:
    print(type(e).__name__, str(e))
print(d.add_scalar(1.0).to_dict)
"""


def test_first_error_of_the_process_with_the_stack_nearly_exhausted():
    r = run_py(DEEP_ERROR_SCRIPT)
    assert r.returncode == 0, r.stderr
    first, last = r.stdout.splitlines()
    assert first == "TypeError argument 'value': must be real number, not NoneType" or first.startswith(
        "RecursionError "
    ), first
    assert last == "{'a': 2.0}"
    assert "PanicException" not in r.stderr and "panic" not in r.stderr


# The same error at every depth from the limit down: wherever the guard
# trips, the message is whole or the call raises RecursionError, never the
# "<unprintable ...>" stand-in for a text that could not be had.
DEEP_SWEEP_SCRIPT = """
import sys
from jadefox import JadeDict
d = JadeDict({"a": 1.0})
sys.setrecursionlimit(100000)
seen = set()
def dive(n):
    if n:
        return dive(n - 1)
    try:
        d.add_scalar(None)
    except BaseException as e:
        seen.add(type(e).__name__ + " " + str(e) if type(e) is TypeError else type(e).__name__)
def f():
    try:
        f()
    except RecursionError:
        if not seen:  # at the deepest frame only
            for k in range(40):
                dive(k)
        raise
try:
    f()
except RecursionError:
    pass
print(sorted(seen))
"""


def test_argument_errors_keep_their_text_near_the_recursion_limit():
    r = run_py(DEEP_SWEEP_SCRIPT)
    assert r.returncode == 0, r.stderr
    seen = eval(r.stdout)
    assert set(seen) <= {"TypeError argument 'value': must be real number, not NoneType", "RecursionError"}, seen
    assert "TypeError argument 'value': must be real number, not NoneType" in seen
