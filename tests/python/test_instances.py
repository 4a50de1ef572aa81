"""Instances that the constructor did not make."""

import json

from single_thread import CHILD_PROCESSES
from support import run_py

pytestmark = CHILD_PROCESSES


# The class is mutable, so Python code can replace __new__ by one that skips
# the constructor. That cannot be undone in a process (the original slot is
# gone), hence a subprocess.
UNMADE_SCRIPT = r"""
import gc, json, sys, sysconfig
from jadefox import JadeDict as J
g = J({"a": 1.0, "b": -0.0})
J.__new__ = lambda cls, *a, **k: object.__new__(cls)
h = J({"a": 1.0})
out = {"type": type(h) is J, "new": type(J.__new__(J, {})) is J}
calls = {
    "sum": lambda: h.sum(), "product": lambda: J.product(h), "item": lambda: h["a"],
    "item-bad-key": lambda: h[1], "item-unbound": lambda: J.__getitem__(h, "a"),
    "to_dict": lambda: h.to_dict, "to_dict-unbound": lambda: J.to_dict.__get__(h),
    "add_scalar": lambda: h.add_scalar(1.0), "reset-bad-value": lambda: h.reset(None),
    "divide_scalar-kw": lambda: h.divide_scalar(value=2.0), "subtract_scalar": lambda: h.subtract_scalar(1),
    "multiply_scalar": lambda: h.multiply_scalar(2.0), "reset": lambda: h.reset(0.0),
    "add-recv": lambda: h.add(g), "subtract-recv-int-arg": lambda: h.subtract(5),
    "multiply-recv-self": lambda: h.multiply(h), "divide-recv": lambda: J.divide(h, g, 2.0),
    "add-other": lambda: g.add(h), "subtract-other-kw": lambda: g.subtract(other=h, fill=1.0),
    "multiply-other-bad-fill": lambda: g.multiply(h, fill=None), "divide-other": lambda: g.divide(h),
    "bind-first": lambda: h.add(), "sum-args-first": lambda: h.sum(1),
    "pickle": lambda: __import__("pickle").dumps(h), "copy": lambda: __import__("copy").copy(h),
}
for name, call in calls.items():
    try:
        call()
        out[name] = "returned"
    except BaseException as e:
        out[name] = [type(e).__name__, str(e)]
J.__qualname__ = "Ünï\x00code"
for name, call in (("renamed-recv", lambda: h.sum()), ("renamed-other", lambda: g.add(h))):
    try:
        call()
    except TypeError as e:
        out[name] = str(e)
J.__qualname__ = "JadeDict"
free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
del h
gc.collect()
before = sys.getrefcount(J)
made = [J({}) for _ in range(1000)]
during = sys.getrefcount(J)
del made
gc.collect()
out["type-refs"] = free_threaded or (during - before, sys.getrefcount(J) - before)
out["g"] = [g.to_dict, g.add(g).sum()]
print(json.dumps(out))
"""


def test_instances_not_made_by_the_constructor_are_refused():
    r = run_py(UNMADE_SCRIPT)
    assert r.returncode == 0, r.stderr
    out = json.loads(r.stdout)
    not_made = ["TypeError", "'JadeDict' object was not made by its constructor"]
    other_not_made = ["TypeError", "argument 'other': 'JadeDict' object was not made by its constructor"]
    assert out.pop("type") and out.pop("new")
    assert out.pop("bind-first") == ["TypeError", "JadeDict.add() missing 1 required positional argument: 'other'"]
    assert out.pop("sum-args-first") == ["TypeError", "JadeDict.sum() takes no arguments (1 given)"]
    assert out.pop("renamed-recv") == "'Ünï\x00code' object was not made by its constructor"
    assert out.pop("renamed-other") == "argument 'other': 'Ünï\x00code' object was not made by its constructor"
    assert out.pop("type-refs") in (True, [1000, 0])
    assert out.pop("g") == [{"a": 1.0, "b": -0.0}, 2.0]
    for name, got in out.items():
        assert got == (other_not_made if "-other" in name else not_made), name
    assert r.stderr == ""
