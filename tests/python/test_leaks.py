"""No call leaks memory: every entry point, on success and on every kind of
failure, many times over."""

import sys
import tracemalloc
from contextlib import nullcontext

import pytest

from jadefox import JadeDict
from single_thread import MEASURES_MEMORY
from support import (
    FREE_THREADED,
    Grow,
    Raiser,
    assert_jd,
    instance_named,
    mutating_src,
    pop_reinsert,
    quiet_stderr,
    rss_bytes,
    settle,
)

pytestmark = MEASURES_MEMORY


def _expect(exc, call):
    def run():
        try:
            call()
        except exc:
            return
        raise AssertionError(f"{call} did not raise {exc}")

    return run


WIDE = {f"wide-key-number-{i:04d}-with-some-length": float(i) for i in range(64)}
D = JadeDict(WIDE)
E = JadeDict({k: 2.0 for k in list(WIDE)[::2]})
R = JadeDict(dict(reversed(list(WIDE.items()))))


def _with_last(value, key="zz-last-key"):
    src = dict(WIDE)
    src[key] = value
    return src


def _typeerror_with_cause():
    try:
        raise KeyError("inner")
    except KeyError as inner:
        e = TypeError("outer")
        e.__cause__ = inner
    return e


def _grow_src():
    src = dict(WIDE)
    src["zz"] = Grow(src)
    return src


def _boom_class(panic_type):
    class Boom:
        def __float__(self):
            raise panic_type("boom")

    return Boom


_instance_named_nul = instance_named("Ünï\x00code")

LEAK_CASES = {
    # successes
    "build": lambda p: lambda: JadeDict(WIDE),
    "build-kw": lambda p: lambda: JadeDict(dict=WIDE),
    "getitem": lambda p: lambda: (D["wide-key-number-0007-with-some-length"], D["absent"]),
    "to_dict": lambda p: lambda: D.to_dict,
    "add-keyed": lambda p: lambda: D.add(E, 1.0),
    "add-equal": lambda p: lambda: D.subtract(R),
    "add-self": lambda p: lambda: D.multiply(D),
    "divide-derived": lambda p: lambda: D.divide(D.add_scalar(1.0), fill=2.0),
    "scalars": lambda p: (
        lambda: (
            D.add_scalar(1),
            D.subtract_scalar(2.0),
            D.multiply_scalar(3.0),
            D.divide_scalar(value=4.0),
            D.reset(5.0),
        )
    ),
    "reductions": lambda p: lambda: (D.sum(), D.product()),
    # binding errors
    "bind-missing": lambda p: _expect(TypeError, lambda: D.add(fill=1.0)),
    "bind-many": lambda p: _expect(TypeError, lambda: D.add(E, 1.0, 2.0)),
    "bind-keyword": lambda p: _expect(TypeError, lambda: D.reset(1.0, bogus=2.0)),
    "bind-multiple": lambda p: _expect(TypeError, lambda: D.divide(E, 1.0, fill=2.0)),
    "bind-ctor": lambda p: _expect(TypeError, lambda: JadeDict(WIDE, mapping=1)),
    "sum-args": lambda p: _expect(TypeError, lambda: D.sum(1)),
    # cast errors
    "cast-other": lambda p: _expect(TypeError, lambda: D.add(5)),
    "cast-dict": lambda p: _expect(TypeError, lambda: JadeDict(list(WIDE.items()))),
    "cast-key": lambda p: _expect(TypeError, lambda: JadeDict(_with_last(1.0, key=12345))),
    "cast-item": lambda p: _expect(TypeError, lambda: D[None]),
    # float conversion errors
    "float-fill": lambda p: _expect(TypeError, lambda: D.add(E, fill="x")),
    "float-value": lambda p: _expect(TypeError, lambda: D.reset(None)),
    "float-dict": lambda p: _expect(TypeError, lambda: JadeDict(_with_last("nope"))),
    "float-raises": lambda p: _expect(ValueError, lambda: JadeDict(_with_last(Raiser(ValueError("v"))))),
    "float-cause": lambda p: _expect(TypeError, lambda: D.add_scalar(Raiser(_typeerror_with_cause()))),
    "float-overflow": lambda p: _expect(OverflowError, lambda: D.multiply(E, 10**400)),
    # unencodable keys
    "surrogate-ctor": lambda p: _expect(UnicodeEncodeError, lambda: JadeDict(_with_last(1.0, key="x\ud800"))),
    "surrogate-item": lambda p: _expect(UnicodeEncodeError, lambda: D["x\udfff"]),
    # internal failures
    "panic-size": lambda p: _expect(p, lambda: JadeDict(_grow_src())),
    "panic-resumed": lambda p: (lambda boom: _expect(p, lambda: JadeDict({"a": boom()})))(_boom_class(p)),
    "panic-keys": lambda p: _expect(
        p, lambda: JadeDict(mutating_src(list(WIDE.items()), "zz", [("zz2", 1.0)], pop_reinsert("zz", 7.0)))
    ),
    "cast-nul-name": lambda p: _expect(TypeError, lambda: D.add(_instance_named_nul)),
}


@pytest.mark.plain_allocator
@pytest.mark.parametrize("case", list(LEAK_CASES))
def test_no_leaks(case, panic_type):
    fn = LEAK_CASES[case](panic_type)
    n = 3_000 if case.startswith("panic") else 20_000
    noisy = case.startswith("panic")
    with quiet_stderr() if noisy else nullcontext():
        for _ in range(500):
            fn()
        settle()
        blocks0, rss0 = sys.getallocatedblocks(), rss_bytes()
        tracemalloc.start()
        own0 = tracemalloc.get_tracemalloc_memory()
        for _ in range(n):
            fn()
        settle()
        traced, _peak = tracemalloc.get_traced_memory()
        own = tracemalloc.get_tracemalloc_memory() - own0
        tracemalloc.stop()
        blocks1, rss1 = sys.getallocatedblocks(), rss_bytes()
    # a leak of one block per call would show as n; printed tracebacks add some noise
    assert blocks1 - blocks0 < (n // 4 if noisy else 200), (case, blocks1 - blocks0)
    assert traced < 64 * 1024, (case, traced)
    # Free-threaded builds keep freed pages in per-thread heaps for a while,
    # so RSS says little there; the block count and tracemalloc still do.
    if not FREE_THREADED:
        assert rss1 - rss0 - max(own, 0) < 3 * 2**20, (case, rss1 - rss0, own)
    assert_jd(D, WIDE)
