"""Runs one jadefox entry point under injected allocation failures.

    python fault_injection.py ENTRY

With _testcapi's allocation hooks, allocation k of the call fails
(``set_nomemory(k, k + 1)``), and separately every allocation from k on
(``set_nomemory(k, 0)``), for k = 0, 1, ... until the call no longer
reaches a failing allocation, and some more. Every outcome must be the
call's normal one, MemoryError or PanicException ("PyObject pointer is
null" for an object the interpreter could not make); after each attempt the
receiver and the arguments must be unchanged and usable, and the whole sweep,
run a second time, must leave no reference and at most a few blocks (the
interpreter's own bookkeeping) behind: a leak per failure would be dozens.

Prints one JSON object: the entry point, how many failures were injected,
the outcomes seen and every problem found (an empty list when all is well).
A crash, an abort or a hang shows as the process's exit status or timeout.
"""

import copyreg
import gc
import io
import json
import sys

try:
    import _testcapi
except ImportError:  # the tests import this file only for its table then
    _testcapi = None

from jadefox import JadeDict
from support import Grow, Raiser, Unprintable, bits, panic_instance

# Past the last allocation a call makes: this many more k after the first k
# at which failing every allocation from k on no longer changes the outcome.
MARGIN = 8
# No entry point makes anywhere near this many allocations.
LIMIT = 5000

SRC = {
    "alpha-key": 1.5,
    "beta-key": -0.0,
    "gamma-key": 10,
    "delta-key": float("nan"),
    "epsilon-key": float("-inf"),
    "zeta-key": 2**60,
}
D = JadeDict(SRC)
E = JadeDict({"alpha-key": 2.0, "gamma-key": -3.0, "only-in-e": 7.0})  # keyed: another key index
F = D.add_scalar(1.0)  # positional: D's key index


def _grow_src():
    src = {"alpha-key": 1.0}
    src["grow-key"] = Grow(src)
    return src


class Boom:
    def __float__(self):
        raise PANIC("boom")


PANIC = None  # set in main(), after the module made its PanicException

# An object the interpreter could not make; a resumed PanicException whose
# text could not be had.
PANIC_TEXTS = {"PyObject pointer is null", "Unwrapped panic from Python code"}

CALLBACK_LOST_ERROR = {
    f"<function {f.__qualname__} at 0x{id(f):x}> returned NULL without setting an exception"
    for f in (Raiser.__float__, Boom.__float__)
}


# Each entry point is called with the result of its setup (None without
# one), made before failures are injected: a class statement or an instance
# of a Python class made while allocations fail can crash the interpreter
# itself (seen with 3.12 and 3.13), and a dict the call changes must be new
# for every attempt.
SETUP = {
    "float-raises": lambda: Raiser(ValueError("from __float__")),
    "float-unprintable": lambda: Raiser(TypeError(Unprintable())),
    "panic-dict-changed": _grow_src,
    "panic-resumed": Boom,
    "rebuild": lambda: copyreg.dispatch_table[JadeDict](D),
}

ENTRIES = {
    # successes
    "constructor": lambda _: JadeDict(SRC),
    "constructor-keyword": lambda _: JadeDict(dict=SRC),
    "item": lambda _: D["alpha-key"],
    "item-absent": lambda _: D["absent-key"],
    "to_dict": lambda _: D.to_dict,
    "add": lambda _: D.add(E),
    "add-positional": lambda _: D.add(F, 2.0),
    "subtract": lambda _: D.subtract(E, fill=-1.0),
    "multiply": lambda _: D.multiply(other=E),
    "divide": lambda _: D.divide(F, fill=3),
    "add_scalar": lambda _: D.add_scalar(1.25),
    "subtract_scalar": lambda _: D.subtract_scalar(value=2),
    "multiply_scalar": lambda _: D.multiply_scalar(-0.5),
    "divide_scalar": lambda _: D.divide_scalar(3.0),
    "reset": lambda _: D.reset(4.5),
    "sum": lambda _: D.sum(),
    "product": lambda _: D.product(),
    # pickle and copy: the reducer, and the callable it hands back
    "reduce": lambda _: copyreg.dispatch_table[JadeDict](D),
    "rebuild": lambda reduced: reduced[0](*reduced[1]),
    # binding errors
    "bind-missing": lambda _: D.add(fill=1.0),
    "bind-too-many": lambda _: D.add(E, 1.0, 2.0),
    "bind-too-many-scalar": lambda _: D.reset(1.0, 2.0),
    "bind-unexpected": lambda _: D.multiply_scalar(1.0, bogus=2.0),
    "bind-multiple": lambda _: D.divide(E, 1.0, fill=2.0),
    "bind-constructor": lambda _: JadeDict(SRC, mapping=1),
    "bind-constructor-missing": lambda _: JadeDict(),
    "bind-no-arguments": lambda _: D.sum(1),
    # conversion errors
    "cast-other": lambda _: D.add(5),
    "cast-other-none": lambda _: D.subtract(None),
    "cast-dict": lambda _: JadeDict([("alpha-key", 1.0)]),
    "cast-key": lambda _: JadeDict({"alpha-key": 1.0, 12345: 2.0}),
    "cast-item": lambda _: D[1],
    "float-fill": lambda _: D.add(E, fill=None),
    "float-value": lambda _: D.add_scalar("text"),
    "float-dict": lambda _: JadeDict({"alpha-key": 1.0, "beta-key": "text"}),
    "float-overflow": lambda _: D.multiply_scalar(10**400),
    "float-raises": lambda raiser: JadeDict({"alpha-key": raiser}),
    "float-unprintable": lambda raiser: D.reset(raiser),
    "surrogate-constructor": lambda _: JadeDict({"alpha-key": 1.0, "x\ud800": 2.0}),
    "surrogate-item": lambda _: D["x\udfff"],
    # internal failures
    "panic-dict-changed": lambda src: JadeDict(src),
    "panic-resumed": lambda boom: JadeDict({"alpha-key": boom}),
}


def snapshot(obj):
    """A comparable rendering, bit-exact for floats, order-free for mappings."""
    if type(obj) is JadeDict:
        return ["JadeDict", snapshot(obj.to_dict)]
    if type(obj) is float:
        return ["float", bits(obj).hex()]
    if type(obj) is dict:
        # repr(k): a snapshot holding the key objects would change their counts
        return ["dict", sorted([repr(k), snapshot(v)] for k, v in obj.items())]
    return [type(obj).__name__, repr(obj)]


def attempt(call, arg, start, stop):
    """call(arg) with allocations start+1 .. stop failing (all from start+1 on
    when stop is 0). Runs as little as it can while the hooks are set."""
    # When a frame that raised is popped, the interpreter gives the caller's
    # frame a frame object if it has none yet; should that allocation fail,
    # it clears the exception being raised, and the call ends in
    # "SystemError: error return without exception set". Made here, now, it
    # cannot fail later.
    sys._getframe()
    _testcapi.set_nomemory(start, stop)
    try:
        result = call(arg)
    except BaseException as e:  # noqa: BLE001
        _testcapi.remove_mem_hooks()
        return None, e
    _testcapi.remove_mem_hooks()
    return result, None


def describe(result, error):
    if error is None:
        return ["result", snapshot(result)]
    return ["raised", type(error).__name__, str(error)]


def state():
    """What no call may change: the receivers and the arguments."""
    return [snapshot(D), snapshot(E), snapshot(F), snapshot(SRC), bits(D.add_scalar(0.0).sum()).hex()]


def counts():
    return [sys.getrefcount(o) for o in (D, E, F, SRC, *SRC)]


def drain_free_lists(sink):
    # Floats and dicts come from free lists while these hold any, and then
    # their allocation never fails. Emptying the lists first makes every
    # float and dict a call creates a real allocation.
    sink.extend([float(i) + 0.5 for i in range(256)])
    sink.extend([{} for _ in range(128)])


def sweep(call, setup, normal, problems, seen):
    """Returns the number of failures injected."""
    before = state()
    tried = 0
    clean_from = None
    sink = []
    k = 0
    while clean_from is None or k < clean_from + MARGIN:
        if k >= LIMIT:
            problems.append(f"still failing allocations at k={k}")
            break
        for start, stop, mode in ((k, k + 1, "single"), (k, 0, "persistent")):
            drain_free_lists(sink)
            result, error = attempt(call, setup(), start, stop)
            tried += 1
            got = describe(result, error)
            del result, error
            key = got[1] if got[0] == "raised" else "result"
            if got == normal:
                key = "normal"
            elif got[0] == "raised" and got[1] == "PanicException" and got[2] in PANIC_TEXTS:
                key = f"PanicException: {got[2]}"
            elif got[0] == "raised" and got[1] == "SystemError" and got[2] in CALLBACK_LOST_ERROR:
                # The same fault of the interpreter (see attempt) in the frame
                # of one of the Python callbacks below, whose caller is the
                # entry's own lambda: its raise is lost. Plain Python code
                # does it too; a wrapper of the module that returned null
                # without an exception would be named as a built-in.
                key = "SystemError: a callback's exception was lost"
            elif key != "MemoryError":
                problems.append(f"{mode} k={k}: {got} (normal: {normal})")
            seen[key] = seen.get(key, 0) + 1
            if mode == "persistent" and got == normal and clean_from is None:
                clean_from = k
            now = state()
            if now != before:
                changed = [f"{a} != {b}" for a, b in zip(now, before) if a != b]
                problems.append(f"{mode} k={k}: receiver or arguments changed: {changed}")
                return tried
        k += 1
    del sink
    return tried


def quiet_hook(*args):
    pass


def main():
    global PANIC
    # The module reports some failures through the interpreter: resumed
    # panics are printed with their traceback to sys.stderr, lost objects
    # go to sys.unraisablehook. Formatting a traceback takes thousands of
    # allocations of the interpreter's own; a quiet hook, and no sys.stderr
    # while the sweeps run (the printer then returns at once), keep the
    # sweep to the module's allocations.
    sys.unraisablehook = quiet_hook
    # When a hook fails, the interpreter prints with its own printer, which
    # imports modules on first use: let it do so now, not in mid-sweep.
    saved, sys.stderr = sys.stderr, io.StringIO()
    try:
        raise ValueError("warm-up")
    except ValueError as e:
        sys.__excepthook__(type(e), e, e.__traceback__)
    finally:
        sys.stderr = saved
    name = sys.argv[1]
    call = ENTRIES[name]
    setup = SETUP.get(name, lambda: None)
    PANIC = type(panic_instance())
    saved, sys.stderr = sys.stderr, None
    try:
        result, error = attempt(call, setup(), LIMIT * 10, 0)  # hooks set, nothing fails
        normal = describe(result, error)
        del result, error
        problems = []
        seen = {}
        tried = sweep(call, setup, normal, problems, seen)
        # The first sweep also fills caches of the interpreter's own and drops
        # references it held; the second must leave everything as it found it.
        gc.collect()
        blocks, refs = sys.getallocatedblocks(), counts()
        sweep(call, setup, normal, problems, {})
        gc.collect()
        grown, refs_after = sys.getallocatedblocks() - blocks, counts()
    finally:
        sys.stderr = saved
    if grown > 16:
        problems.append(f"a second sweep left {grown} more blocks allocated")
    if refs_after != refs:
        problems.append(f"a second sweep changed reference counts: {refs} -> {refs_after}")
    print(
        json.dumps(
            {"entry": name, "tried": tried, "normal": normal, "seen": seen, "blocks": grown, "problems": problems}
        )
    )


if __name__ == "__main__":
    main()
