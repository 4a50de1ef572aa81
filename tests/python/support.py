"""Shared helpers for the jadefox test-suite: bit-exact float checks and an
exact IEEE 754 binary64 reference that does not trust the host FPU (x87
builds of the interpreter round twice, so expected values are derived with
integer arithmetic through ``fractions.Fraction``)."""

from __future__ import annotations

import math
import os
import struct
import sys
import sysconfig
from contextlib import contextmanager
from fractions import Fraction

NAN = math.nan
INF = math.inf
IS_32BIT = struct.calcsize("P") == 4
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
ON_LINUX = sys.platform.startswith("linux")
PAGE = os.sysconf("SC_PAGE_SIZE") if hasattr(os, "sysconf") else 4096
# How many times slower than usual this run may be: a sanitizer multiplies
# the cost of memory accesses (ThreadSanitizer by 5 to 15), so the deadlines
# that only catch a hang are multiplied by it. Correctness never is.
SLOWDOWN = float(os.environ.get("JADEFOX_SLOWDOWN") or 1)


# Injected allocation failures per entry point (test_nomemory), printed at
# the end of the run.
INJECTED_FAILURES: dict = {}


def bits(x: float) -> bytes:
    return struct.pack("<d", x)


def from_bits(hex_le: str) -> float:
    return struct.unpack("<d", bytes.fromhex(hex_le))[0]


def same(a: float, b: float) -> bool:
    """Both exact floats, bit for bit equal, except that any NaN matches any NaN."""
    if not (type(a) is type(b) is float):
        return False
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return bits(a) == bits(b)


def assert_same(actual, expected, what=""):
    assert type(actual) is float, (what, type(actual))
    assert same(actual, expected), (
        f"{what}: got {actual!r} ({bits(actual).hex()}), want {expected!r} ({bits(expected).hex()})"
    )


def assert_jd(jd, expected) -> None:
    """``jd.to_dict`` has exactly the items of ``expected`` (a dict or a list
    of pairs), in that order, bit for bit."""
    items = list(expected.items()) if isinstance(expected, dict) else list(expected)
    got = jd.to_dict
    assert type(got) is dict
    assert list(got) == [k for k, _ in items]
    for k, v in items:
        assert type(k) is str
        assert_same(got[k], v, repr(k))
        assert_same(jd[k], v, f"[{k!r}]")


def _round(fr: Fraction, sign_hint: float) -> float:
    try:
        # int / int is correctly rounded, except that CPython divides two
        # operands of at most 53 bits as doubles, and an x87 FPU rounds that
        # quotient twice. Scaling both past 53 bits forces the exact path.
        r = (fr.numerator << 64) / (fr.denominator << 64)
    except OverflowError:
        r = math.inf if fr > 0 else -math.inf
    if r == 0.0:  # underflow keeps the sign of the exact result
        r = math.copysign(0.0, sign_hint)
    return r


def ieee(op: str, a: float, b: float) -> float:
    """One binary64 operation, round to nearest even, computed exactly."""
    if not (math.isfinite(a) and math.isfinite(b)) or a == 0.0 or b == 0.0:
        # special operands give exact results on every FPU
        if op == "+":
            return a + b
        if op == "-":
            return a - b
        if op == "*":
            return a * b
        if b == 0.0:
            if math.isnan(a) or a == 0.0:
                return math.nan
            return math.copysign(math.inf, math.copysign(1.0, a) * math.copysign(1.0, b))
        return a / b
    x, y = Fraction(a), Fraction(b)
    if op == "+":
        r = x + y
    elif op == "-":
        r = x - y
    elif op == "*":
        r = x * y
    else:
        r = x / y
    if r == 0:
        return 0.0  # exact cancellation gives +0.0 in round-to-nearest
    return _round(r, float(r > 0) - 0.5)


def fold_sum(values) -> float:
    acc = -0.0
    for v in values:
        acc = ieee("+", acc, v)
    return acc


def fold_product(values) -> float:
    acc = 1.0
    for v in values:
        acc = ieee("*", acc, v)
    return acc


def _sole_refcount() -> int:
    o = object()
    return sys.getrefcount(o)


# What sys.getrefcount reports for an object held by one local variable: 2
# before 3.14, 1 from 3.14 on, where reading a local may borrow its reference.
SOLE = _sole_refcount()


def settle() -> None:
    """Let pending frees happen before memory is measured. Free-threaded
    builds defer some frees until threads pass a quiescent point; starting
    and joining a thread gets them there."""
    import gc

    gc.collect()
    if FREE_THREADED:
        import threading

        t = threading.Thread(target=lambda: None)
        t.start()
        t.join()
        gc.collect()


def run_py(code, timeout=240, env=None):
    """Runs Python code in a fresh interpreter that can import this module;
    returns the completed process."""
    import subprocess
    import textwrap

    env = dict(os.environ if env is None else env)
    env["PYTHONPATH"] = os.pathsep.join(
        filter(None, [os.path.dirname(os.path.abspath(__file__)), env.get("PYTHONPATH")])
    )
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout * SLOWDOWN,
        env=env,
    )


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


@contextmanager
def quiet_stderr():
    """Silence fd 2 (native diagnostics) and sys.stderr (printed tracebacks)."""
    sys.stderr.flush()
    saved_fd, saved_obj = os.dup(2), sys.stderr
    # Errors handled as sys.stderr handles them: a message with a lone
    # surrogate must print (under -X dev a failure to print a traceback is
    # reported as an unraisable exception).
    null = open(os.devnull, "w", errors="backslashreplace")
    try:
        os.dup2(null.fileno(), 2)
        sys.stderr = null
        yield
    finally:
        sys.stderr = saved_obj
        os.dup2(saved_fd, 2)
        os.close(saved_fd)
        null.close()


def catch(fn, *args, **kwargs):
    """Run fn, return the BaseException it raised (or fail)."""
    try:
        fn(*args, **kwargs)
    except BaseException as e:  # noqa: BLE001 - PanicException is a BaseException
        return e
    raise AssertionError(f"{fn!r} did not raise")


class KeyStr(str):
    pass


class FloatSub(float):
    def __float__(self):  # never consulted: the stored value is read directly
        return 99.0


class Gives:
    """Its conversion hook gives `v`: raises it (an exception), returns what
    calling it returns (anything callable), or returns it."""

    def __init__(self, v):
        self.v = v

    def give(self):
        if isinstance(self.v, BaseException):
            raise self.v
        return self.v() if callable(self.v) else self.v


class HasFloat(Gives):
    __float__ = Gives.give


class HasIndex(Gives):
    __index__ = Gives.give


class Raiser(HasFloat):
    """A value whose conversion to float raises the exception it holds, the
    same object every time."""


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


class Outer:
    class Inner:
        pass


def instance_named(qualname):
    """An instance of a class whose qualified name is `qualname`."""
    cls = type("Y", (), {"__hash__": lambda self: 1})
    cls.__qualname__ = qualname
    return cls()


class Grow:
    """A value whose conversion inserts a key into the dict being converted."""

    def __init__(self, target: dict):
        self.target = target

    def __float__(self):
        self.target[f"grown{len(self.target)}"] = 0.0
        return 2.0


class Mutate:
    """A value whose conversion runs `action(src)` once, then gives 1.0."""

    def __init__(self, src, action):
        self.src, self.action = src, action

    def __float__(self):
        action, self.action = self.action, None
        if action:
            action(self.src)
        return 1.0


def mutating_src(before, key, after, action):
    """A dict of the entries `before`, `key` (a Mutate running `action`) and
    `after`, in that order."""
    src = dict(before)
    src[key] = None
    src.update(after)
    src[key] = Mutate(src, action)
    return src


def pop_reinsert(key, value):
    """An action that takes `key` out of the dict and puts it back, last, with `value`."""
    return lambda src: src.__setitem__(key, (src.pop(key), value)[1])


def panic_instance():
    """Obtain a PanicException instance the only way Python code can."""
    import jadefox

    src = {"a": 1.0}
    src["b"] = Grow(src)
    with quiet_stderr():
        return catch(jadefox.JadeDict, src)
