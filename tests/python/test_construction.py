"""Construction, item access, to_dict, and results that outlive the objects
they came from."""

import gc

from jadefox import JadeDict
from single_thread import COLLECTS_GARBAGE
from support import INF, NAN, HasFloat, KeyStr, assert_jd, assert_same


def test_construction_forms():
    assert_jd(JadeDict.__new__(JadeDict, {"a": 1.0}), {"a": 1.0})
    assert_jd(JadeDict(dict={"a": 1.0, "b": 2}), {"a": 1.0, "b": 2.0})
    empty = JadeDict({})
    assert_jd(empty, {})
    assert empty[""] is None and empty["a"] is None
    assert_same(empty.sum(), -0.0)
    assert_jd(empty.add(JadeDict({})), {})
    d = JadeDict({"a": 1.0})
    d.__init__({"zzz": 5.0})  # the inherited __init__ does nothing
    assert_jd(d, {"a": 1.0})


KEYS = {
    "a": 1.0,
    "A": 2.0,
    "\u00e9": 3.0,
    "e\u0301": 4.0,
    "a\x00b": 5.0,
    "a\x00": 6.0,
    "\x00": 7.0,
    "": 8.0,
    "\U0001f600": 9.0,
    "\u00df": 10.0,
    "SS": 11.0,
    "x" * 1000: 12.0,
    "\u212b": 13.0,
    "\u00c5": 14.0,
    "tab\tnl\n": 15.0,
}
MISSES = [
    "b",
    "a\x00c",
    "\x00\x00",
    " ",
    "E\u0301",
    "\u00e9\x00",
    "ss",
    "x" * 999,
    "A\u030a",
    "\U0001f601",
    "aa",
    "\ud7ff",
]


def test_item_access_exact_texts():
    d = JadeDict(KEYS)
    for k, v in KEYS.items():
        assert_same(d[k], v, repr(k))
        assert_same(d[KeyStr(k)], v, repr(k))
    for k in MISSES:
        assert d[k] is None
    assert_jd(d, KEYS)


def test_to_dict_is_a_fresh_copy():
    src = {"zeta": -0.0, "alpha": INF, "mid": NAN, "neg": -INF, "tiny": 5e-324, "big": 1.7976931348623157e308}
    d = JadeDict(src)
    t1, t2 = d.to_dict, d.to_dict
    assert t1 is not t2 and type(t1) is dict
    assert list(t1) == list(t2) == list(src)
    for t in (t1, t2):
        for k in src:
            assert_same(t[k], src[k])
    t1["new"] = 1.0
    del t1["zeta"]
    t1["alpha"] = 0.0
    assert_jd(d, src)
    assert "new" not in t2 and "zeta" in t2
    assert d["new"] is None


def test_input_changes_after_construction_are_invisible():
    hf = HasFloat(2.0)
    src = {"a": 1.0, "b": hf, "c": 3.0}
    d = JadeDict(src)
    src["a"] = 100.0
    del src["c"]
    src["d"] = 4.0
    hf.v = 50.0
    src.clear()
    assert_jd(d, {"a": 1.0, "b": 2.0, "c": 3.0})


@COLLECTS_GARBAGE
def test_results_outlive_their_parents():
    d = JadeDict({"a": 1.0, "b": 2.0})
    e = JadeDict({"b": 10.0})
    r1 = d.add(e)
    r2 = d.multiply_scalar(3.0)
    del d, e
    gc.collect()
    assert_jd(r1, {"a": 1.0, "b": 12.0})
    assert_jd(r2, {"a": 3.0, "b": 6.0})
    r3 = r1.subtract(r2)
    del r1
    gc.collect()
    assert_jd(r3, {"a": -2.0, "b": 6.0})
    assert_jd(r3.add(r2), {"a": 1.0, "b": 12.0})
    assert_same(r3.sum(), 4.0)
