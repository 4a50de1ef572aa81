"""Bit-exact comparison of a jadefox result with the plain-Python one. The
float helpers are the test suite's (tests/python/support.py, imported here
for all of bench/), so the two agree on what "the same float" means."""

from __future__ import annotations

import array
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))
import support  # noqa: E402 - importable once tests/python is on the path

bits, same = support.bits, support.same


class CheckFailed(Exception):
    pass


def plain_fold(values) -> float:
    """The strict left-to-right sum from -0.0 that JadeDict.sum() computes.
    support.fold_sum derives the same result exactly through Fraction, which
    is too slow at a million keys; with SSE2 doubles each `+=` is the same
    single rounding anyway."""
    acc = -0.0
    for v in values:
        acc += v
    return acc


def expect_same(got, want, what: str) -> None:
    """got (a JadeDict, dict, list or float) equals want bit for bit, keys in
    the same order; None matches None (an absent key)."""
    if hasattr(got, "to_dict"):
        got = got.to_dict
    if isinstance(want, dict):
        _expect_dict(got, want, what)
    elif isinstance(want, list):
        if type(got) is not list or len(got) != len(want):
            raise CheckFailed(f"{what}: got {type(got).__name__} of another length")
        for i, (g, w) in enumerate(zip(got, want, strict=True)):
            expect_same(g, w, f"{what}[{i}]")
    elif want is None:
        if got is not None:
            raise CheckFailed(f"{what}: got {got!r}, want None")
    elif type(got) is not float or not same(got, want):
        raise CheckFailed(f"{what}: got {got!r}, want {want!r} ({bits(want).hex()})")


def _expect_dict(got, want: dict, what: str) -> None:
    if type(got) is not dict:
        raise CheckFailed(f"{what}: got {type(got).__name__}, not dict")
    if list(got) != list(want):
        raise CheckFailed(f"{what}: keys or key order differ")
    if not all(type(v) is float for v in got.values()):
        raise CheckFailed(f"{what}: a value is not a float")
    if array.array("d", got.values()).tobytes() == array.array("d", want.values()).tobytes():
        return
    for k, v in want.items():  # the slow way: NaN-aware, names the first bad key
        if not same(got[k], v):
            raise CheckFailed(f"{what}: [{k!r}] got {got[k]!r}, want {v!r}")
