"""Faults that could end the process: daemon threads ended by the interpreter
at exit, the printing of a resumed PanicException, and a PanicException class
changed by Python code. Each runs in a child interpreter with a time limit,
so a crash, an abort, an exit or a hang shows as what it is."""

import os

import pytest

from single_thread import CHILD_PROCESSES
from support import run_py

pytestmark = CHILD_PROCESSES

TIMEOUT = 60

# A PanicException of our own ("dictionary changed size during iteration")
# from a dict whose value's __float__ grows it.
GROWN_PANIC = """
import sys, threading
import jadefox
J = jadefox.JadeDict
PANIC_TEXT = "dictionary changed size during iteration"

def grown():
    src = {"a": 1.0}
    class Grow:
        def __float__(self):
            src["grown"] = 0.0
            return 2.0
    src["b"] = Grow()
    return src

def caught(call):
    try:
        call()
    except BaseException as e:  # PanicException is a BaseException
        return e
    raise AssertionError("no exception")

P = type(caught(lambda: J(grown())))
assert P.__name__ == "PanicException"
"""


# --- daemon threads at interpreter exit ----------------------------------------
#
# At finalization, CPython 3.12 and 3.13 end a daemon thread that asks for the
# interpreter back with pthread_exit, a forced unwind through whatever frames
# the thread is in; 3.14 lets it wait for good instead. Two daemon threads
# keep calling one entry point whose argument's __float__ runs Python code,
# where the interpreter changes hands, so they wait for it inside the entry
# point. A finalizer that runs once the interpreter has begun to end such
# threads (an object in a module of its own, cleared with sys.modules)
# sleeps, handing the interpreter to them, and the interpreter ends them
# there. They must end silently, as in pure Python code; the process used to
# crash (SIGSEGV) in nearly every run.
DAEMON_SCRIPT = """
import sys, threading, time, types
import jadefox
J = jadefox.JadeDict

class Slow:
    def __float__(self):
        total = 0
        for i in range(300):
            total += i
        return 1.5

SLOW = Slow()
SRC = {"k%d" % i: Slow() for i in range(50)}
d = J({"a": 1.0, "b": 2.0})
e = J({"a": 3.0, "c": 4.0})
CALLS = {
    "constructor": lambda: J(SRC),
    "add_scalar": lambda: d.add_scalar(SLOW),
    "subtract_scalar": lambda: d.subtract_scalar(value=SLOW),
    "multiply_scalar": lambda: d.multiply_scalar(SLOW),
    "divide_scalar": lambda: d.divide_scalar(SLOW),
    "reset": lambda: d.reset(SLOW),
    "add": lambda: d.add(e, fill=SLOW),
    "subtract": lambda: d.subtract(e, SLOW),
    "multiply": lambda: d.multiply(e, fill=SLOW),
    "divide": lambda: d.divide(other=e, fill=SLOW),
}
call = CALLS[ENTRY]

def worker():
    while True:
        call()

class HandOver:
    def __del__(self, sleep=time.sleep):
        sleep(0.05)

holder = types.ModuleType("hand_over_at_exit")
holder.hand_over = HandOver()
sys.modules[holder.__name__] = holder
del holder
for _ in range(2):
    threading.Thread(target=worker, daemon=True).start()
time.sleep(0.1)
print("exiting")
"""

DAEMON_ENTRIES = [
    "constructor",
    "add_scalar",
    "subtract_scalar",
    "multiply_scalar",
    "divide_scalar",
    "reset",
    "add",
    "subtract",
    "multiply",
    "divide",
]


def without_leak_checking():
    """The environment for a child whose daemon threads the interpreter ends:
    it leaks what they held (their thread handles, the objects in their
    frames), which LeakSanitizer would report under the sanitized run. The
    address and undefined-behaviour checks stay on."""
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return env


@pytest.mark.parametrize("entry", DAEMON_ENTRIES)
def test_daemon_threads_inside_an_entry_point_end_silently_at_exit(entry):
    for _ in range(3):  # one run crashed nearly always; three make a miss unlikely
        r = run_py(f"ENTRY = {entry!r}\n" + DAEMON_SCRIPT, timeout=TIMEOUT, env=without_leak_checking())
        assert (r.returncode, r.stdout, r.stderr) == (0, "exiting\n", ""), r.stderr[-3000:]


# --- a PanicException resumed from Python code -----------------------------------
#
# It is printed, traceback and all, but not through the interpreter's
# top-level handler: no sys.excepthook runs (a "log and exit" hook used to end
# the process inside the call) and a PanicException that is also a SystemExit
# exits nothing. The caller gets a new PanicException with the same message,
# in any thread.
RESUMED_SCRIPT = (
    GROWN_PANIC
    + """
def hook(*args):
    print("hook ran", flush=True)
    sys.exit(3)
sys.excepthook = threading.excepthook = hook

class X(P, SystemExit):
    pass

class Resumes:
    def __float__(self):
        if KIND == "systemexit":
            raise X(7)
        return J(grown()).sum()  # our own PanicException, out of __float__

def call():
    e = caught(lambda: J({"a": Resumes()}))
    print("caught", type(e) is P, isinstance(e, SystemExit), repr(str(e)), flush=True)

if WHERE == "thread":
    t = threading.Thread(target=call)
    t.start()
    t.join()
else:
    call()
print("after", J({"ok": 1.5}).to_dict)
"""
)

BANNER = (
    "jadefox: resuming an internal failure: a PanicException was fetched from the interpreter\n"
    "Python stack trace below:\n"
)


@pytest.mark.parametrize("where", ["main", "thread"])
@pytest.mark.parametrize(
    "kind, message, printed",
    [
        (
            "panic",
            "dictionary changed size during iteration",
            "PanicException: dictionary changed size during iteration",
        ),
        ("systemexit", "7", "X: 7"),
    ],
)
def test_resumed_panic_is_printed_without_hooks_or_exit(where, kind, message, printed):
    r = run_py(f"WHERE = {where!r}\nKIND = {kind!r}\n" + RESUMED_SCRIPT, timeout=TIMEOUT)
    assert r.returncode == 0, r.stderr[-3000:]
    assert r.stdout.splitlines() == [f"caught True False {message!r}", "after {'ok': 1.5}"]
    # The banner, then the traceback of the exception met on the way back.
    assert BANNER in r.stderr
    traceback = r.stderr.split(BANNER, 1)[1]
    assert traceback.startswith("Traceback (most recent call last):\n"), r.stderr
    assert "in __float__" in traceback
    assert traceback.splitlines()[-1].endswith(printed)


# --- a PanicException class changed by Python code -------------------------------
#
# The class is mutable and reachable from any caught instance, and a change
# cannot be undone in a process (hence a child). Making the exception for the
# next internal failure calls the changed class; whatever that leaves raised
# reaches the caller, as Python's own `raise P(message)` would. It used to
# abort the process with "uncaught panic at ffi boundary".
CHANGED_CLASS_SCRIPT = (
    GROWN_PANIC
    + """
class Sub(P):
    pass

def bad_init(self, *args):
    raise ValueError("no PanicException today")

if CHANGE == "init":
    P.__init__ = bad_init
elif CHANGE == "new-subclass":
    P.__new__ = lambda cls, *args: BaseException.__new__(Sub, *args)
elif CHANGE == "new-other":
    P.__new__ = lambda cls, *args: KeyError(*args)
elif CHANGE == "new-not-an-exception":
    P.__new__ = lambda cls, *args: 42

d = J({"a": 1.0})
for _ in range(2):  # the second failure finds everything as the first did
    e = caught(lambda: J(grown()))
    print(type(e).__name__, e.args)
print("after", d.add_scalar(1.0).to_dict)
"""
)


@pytest.mark.parametrize(
    "change, outcome",
    [
        ("init", "ValueError ('no PanicException today',)"),
        ("new-subclass", "Sub ('dictionary changed size during iteration',)"),
        ("new-other", "KeyError ('dictionary changed size during iteration',)"),
    ],
)
def test_changed_panic_class_reaches_the_caller(change, outcome):
    r = run_py(f"CHANGE = {change!r}\n" + CHANGED_CLASS_SCRIPT, timeout=TIMEOUT)
    assert r.returncode == 0, r.stderr[-3000:]
    assert r.stdout.splitlines() == [outcome, outcome, "after {'a': 2.0}"]
    assert "uncaught panic" not in r.stderr


def test_panic_class_making_no_exception_gives_the_interpreters_typeerror():
    # The interpreter's own check of what an exception class made: its text
    # varies between versions, so only the type is compared.
    r = run_py("CHANGE = 'new-not-an-exception'\n" + CHANGED_CLASS_SCRIPT, timeout=TIMEOUT)
    assert r.returncode == 0, r.stderr[-3000:]
    lines = r.stdout.splitlines()
    assert [line.split(" ", 1)[0] for line in lines] == ["TypeError", "TypeError", "after"]
