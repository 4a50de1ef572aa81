"""Reference counts around construction and every call, on success and on
every error path."""

import sys

import pytest

from jadefox import JadeDict
from support import FREE_THREADED, SOLE, FloatSub, HasFloat, KeyStr, catch

refcounts = pytest.mark.skipif(FREE_THREADED, reason="reference counts are not exact on free-threaded builds")


def fresh(text):
    """A str object nobody else holds (not interned, not a code constant)."""
    assert len(text) > 1
    return "".join(list(text))


@refcounts
def test_refcounts_around_construction():
    k1, k2, k3 = fresh("alpha-key"), KeyStr("beta-key"), fresh("gamma-key")
    v1, v2, v3 = float("1.25"), FloatSub(2.5), HasFloat(3.5)
    src = {k1: v1, k2: v2, k3: v3}
    objs = (src, k1, k2, k3, v1, v2, v3)
    before = [sys.getrefcount(o) for o in objs]
    d = JadeDict(src)
    d2 = JadeDict(dict=src)
    assert [sys.getrefcount(o) for o in objs] == before
    assert sys.getrefcount(d) == SOLE and sys.getrefcount(d2) == SOLE
    for bad in ("x", None, KeyStr("\ud800"), 10**400):
        bad_src = dict(src)
        bad_key = fresh("last-key")
        bad_src[bad_key] = bad
        rc = [sys.getrefcount(o) for o in (bad, bad_key) + objs[1:]]
        catch(JadeDict, bad_src)
        assert [sys.getrefcount(o) for o in (bad, bad_key) + objs[1:]] == rc
        assert sys.getrefcount(bad_src) == SOLE
    del bad_src
    bad_key = KeyStr("\udc80")
    rc = sys.getrefcount(bad_key)
    catch(JadeDict, {"ok": v1, bad_key: v1})
    catch(JadeDict, {fresh("ok-key"): v1, 5: v1})
    assert sys.getrefcount(bad_key) == rc
    assert [sys.getrefcount(o) for o in objs] == before


@refcounts
def test_refcounts_around_calls():
    d = JadeDict({"ka": 1.0, "kb": 2.0})
    e = JadeDict({"kb": 5.0})
    fill, value = float("7.5"), float("-2.25")
    key, missing = fresh("ka"), fresh("nope-key")
    idx = HasFloat(3.0)
    objs = (d, e, fill, value, key, missing, idx)
    before = [sys.getrefcount(o) for o in objs]
    pairwise = [
        ((e,), {}),
        ((e, fill), {}),
        ((), {"other": e, "fill": idx}),
        ((d, fill), {}),
        ((e, "bad"), {}),
        ((5, fill), {}),
        ((e, fill, 1), {}),
        ((e, fill), {"other": e}),
    ]
    scalar = [
        ((value,), {}),
        ((), {"value": idx}),
        ((None,), {}),
        ((value, value), {}),
        ((), {}),
        ((value,), {"value": value}),
    ]
    calls = [(m, a, k) for m in ("add", "subtract", "multiply", "divide") for a, k in pairwise]
    calls += [
        (m, a, k)
        for m in ("add_scalar", "subtract_scalar", "multiply_scalar", "divide_scalar", "reset")
        for a, k in scalar
    ]
    for m, args, kwargs in calls:
        try:
            r = getattr(d, m)(*args, **kwargs)
        except TypeError:
            pass
        else:
            assert sys.getrefcount(r) == SOLE
            del r
    del pairwise, scalar, calls, args, kwargs  # they hold the arguments too
    s, p = d.sum(), d.product()
    assert sys.getrefcount(s) == SOLE and sys.getrefcount(p) == SOLE
    x = d[key]
    assert sys.getrefcount(x) == SOLE and d[missing] is None
    catch(lambda: d[1])
    t = d.to_dict
    assert sys.getrefcount(t) == SOLE
    tk = next(iter(t))
    tv = t[tk]
    # held by the dict and by one local each
    assert sys.getrefcount(tk) == SOLE + 1 and sys.getrefcount(tv) == SOLE + 1
    del t, tk, tv
    assert [sys.getrefcount(o) for o in objs] == before
