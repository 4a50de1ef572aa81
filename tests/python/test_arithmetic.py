"""Numeric behaviour of the arithmetic methods, bit for bit."""

import itertools
import random
import struct

import pytest

from jadefox import JadeDict
from support import INF, NAN, assert_jd, assert_same, bits, fold_product, fold_sum, from_bits, ieee

MAX = 1.7976931348623157e308
TINY = 5e-324
MIN_NORMAL = 2.2250738585072014e-308
SPECIALS = [
    0.0,
    -0.0,
    1.0,
    -1.0,
    INF,
    -INF,
    NAN,
    TINY,
    -TINY,
    MAX,
    -MAX,
    MIN_NORMAL,
    0.1,
    3.0,
    -7.5,
    1e16,
    2.0**-1074 * 3,
    1e-300,
    1e300,
]
PAIR_OPS = {"add": "+", "subtract": "-", "multiply": "*", "divide": "/"}
SCALAR_OPS = {"add_scalar": "+", "subtract_scalar": "-", "multiply_scalar": "*", "divide_scalar": "/"}
DEFAULT_FILL = {"add": 0.0, "subtract": 0.0, "multiply": 1.0, "divide": 1.0}
NEG_NAN = from_bits("230100000000f8ff")


def keyed(values, prefix="k"):
    return {f"{prefix}{i}": v for i, v in enumerate(values)}


def snapshot(jd):
    return [(k, bits(v)) for k, v in jd.to_dict.items()]


def grid():
    pairs = list(itertools.product(SPECIALS, repeat=2))
    return keyed([a for a, _ in pairs]), keyed([b for _, b in pairs])


def three_ways(r_items, o_items):
    """(receiver, other) pairs for the identity, equal-index and keyed paths."""
    zero = JadeDict({k: -0.0 for k in r_items})  # -0.0 + x == x for every x
    yield "shared", zero.add(JadeDict(r_items)), zero.add(JadeDict(o_items))
    yield "equal", JadeDict(r_items), JadeDict(o_items)
    yield "keyed", JadeDict(r_items), JadeDict(dict(reversed(list(o_items.items()))))


@pytest.mark.parametrize("method", PAIR_OPS)
def test_pairwise_grid_all_paths(method):
    r_items, o_items = grid()
    expected = {k: ieee(PAIR_OPS[method], r_items[k], o_items[k]) for k in r_items}
    for path, r, o in three_ways(r_items, o_items):
        before = snapshot(r), snapshot(o)
        res = getattr(r, method)(o, fill=NAN)  # fill must not leak in: every key is present
        assert type(res) is JadeDict, path
        assert_jd(res, expected)
        assert (snapshot(r), snapshot(o)) == before


@pytest.mark.parametrize("method", PAIR_OPS)
@pytest.mark.parametrize("fill", SPECIALS + [True, 7])
def test_pairwise_fill_grid(method, fill):
    r_items = keyed(SPECIALS)
    r = JadeDict(r_items)
    f = float(fill)
    want = {k: ieee(PAIR_OPS[method], v, f) for k, v in r_items.items()}
    for other in (JadeDict({}), JadeDict({"elsewhere": 1.0, "K0": 2.0})):
        assert_jd(getattr(r, method)(other, fill), want)
        assert_jd(getattr(r, method)(other, fill=fill), want)
    assert_jd(r, r_items)


@pytest.mark.parametrize("method", SCALAR_OPS)
@pytest.mark.parametrize("value", SPECIALS)
def test_scalar_grid(method, value):
    r_items = keyed(SPECIALS)
    r = JadeDict(r_items)
    res = getattr(r, method)(value)
    assert type(res) is JadeDict
    assert_jd(res, {k: ieee(SCALAR_OPS[method], v, value) for k, v in r_items.items()})
    assert_jd(r, r_items)


@pytest.mark.parametrize("method", PAIR_OPS)
def test_default_fill_with_empty_other(method):
    src = {"nz": -0.0, "pz": 0.0, "one": 1.0, "inf": -INF, "nan": NAN, "tiny": TINY}
    d = JadeDict(src)
    want = dict(src)
    if method == "add":
        want["nz"] = 0.0  # -0.0 + 0.0
    res = getattr(d, method)(JadeDict({}))
    assert_jd(res, want)
    assert_jd(getattr(d, method)(JadeDict({}), DEFAULT_FILL[method]), want)
    assert_jd(getattr(d, method)(JadeDict({"other": 5.0})), want)


def test_receiver_is_left_operand():
    r, o = JadeDict({"x": 10.0, "y": 1.0}), JadeDict({"x": 4.0, "y": 8.0})
    assert_jd(r.subtract(o), {"x": 6.0, "y": -7.0})
    assert_jd(o.divide(r), {"x": 0.4, "y": 8.0})
    assert_jd(r.subtract(JadeDict({}), fill=3.0), {"x": 7.0, "y": -2.0})
    assert_jd(r.divide_scalar(4.0), {"x": 2.5, "y": 0.25})


def test_alignment_follows_keys_not_positions():
    d1 = JadeDict({"a": 1.0, "b": 2.0, "c": 3.0})
    d2 = JadeDict({"c": 300.0, "a": 100.0, "b": 200.0})
    assert_jd(d1.add(d2), {"a": 101.0, "b": 202.0, "c": 303.0})
    assert_jd(d2.subtract(d1), {"c": 297.0, "a": 99.0, "b": 198.0})
    # same number of keys, one differs
    d3 = JadeDict({"a": 10.0, "b": 20.0, "z": 30.0})
    assert_jd(d1.multiply(d3, fill=-1.0), {"a": 10.0, "b": 40.0, "c": -3.0})
    # keys only in other are ignored; result has the receiver's keys only
    d4 = JadeDict({"q": 1.0, "b": 5.0, "r": 2.0, "a": 1.0, "s": 9.0})
    assert_jd(d1.divide(d4, fill=2.0), {"a": 1.0, "b": 0.4, "c": 1.5})
    assert_jd(JadeDict({}).add(d4, 5.0), {})
    # case and normalisation are different keys
    u = JadeDict({"\u00e9": 1.0, "A": 2.0})
    assert_jd(u.add(JadeDict({"e\u0301": 100.0, "a": 100.0}), fill=0.5), {"\u00e9": 1.5, "A": 2.5})
    # single keys: equal indexes
    assert_jd(JadeDict({"k": 3.0}).subtract(JadeDict({"k": 1.0}), fill=NAN), {"k": 2.0})


def test_derived_dicts_combine_positionally():
    d = JadeDict({"a": 1.0, "b": 2.0, "c": -0.0})
    e = JadeDict({"c": 1.0, "a": 4.0})
    r = d.add(e)
    assert_jd(d, {"a": 1.0, "b": 2.0, "c": -0.0})
    assert_jd(r, {"a": 5.0, "b": 2.0, "c": 1.0})
    assert_jd(d.add(r, fill=NAN), {"a": 6.0, "b": 4.0, "c": 1.0})
    assert_jd(r.subtract(d, fill=NAN), {"a": 4.0, "b": 0.0, "c": 1.0})
    chain = d.multiply_scalar(2.0).reset(1.0).divide(d.add_scalar(1.0))
    assert_jd(chain, {"a": 0.5, "b": 0.3333333333333333, "c": 1.0})
    assert list(chain.to_dict) == list(d.to_dict)


@pytest.mark.parametrize("method", list(PAIR_OPS) + list(SCALAR_OPS) + ["reset"])
def test_empty_receiver(method):
    e = JadeDict({})
    arg = (JadeDict({"a": 1.0}),) if method in PAIR_OPS else (2.0,)
    res = getattr(e, method)(*arg)
    assert type(res) is JadeDict and res is not e
    assert_jd(res, {})
    assert res["a"] is None
    with pytest.raises(TypeError):
        getattr(e, method)(*arg, "bad") if method in PAIR_OPS else getattr(e, method)("bad")


def test_self_combination():
    vals = {"f": 2.5, "nz": -0.0, "pz": 0.0, "pinf": INF, "ninf": -INF, "nan": NAN, "neg": -3.0}
    d = JadeDict(vals)
    assert_jd(d.subtract(d), {"f": 0.0, "nz": 0.0, "pz": 0.0, "pinf": NAN, "ninf": NAN, "nan": NAN, "neg": 0.0})
    assert_jd(d.divide(d), {"f": 1.0, "nz": NAN, "pz": NAN, "pinf": NAN, "ninf": NAN, "nan": NAN, "neg": 1.0})
    assert_jd(d.add(d), {"f": 5.0, "nz": -0.0, "pz": 0.0, "pinf": INF, "ninf": -INF, "nan": NAN, "neg": -6.0})
    assert_jd(d.multiply(d), {"f": 6.25, "nz": 0.0, "pz": 0.0, "pinf": INF, "ninf": INF, "nan": NAN, "neg": 9.0})
    assert_jd(d, vals)


def test_division_by_zero_raises_nothing():
    d = JadeDict({"p": 1.0, "n": -1.0, "z": 0.0, "nz": -0.0, "nan": NAN})
    want = {"p": INF, "n": -INF, "z": NAN, "nz": NAN, "nan": NAN}
    assert_jd(d.divide(JadeDict({k: 0.0 for k in want})), want)
    assert_jd(d.divide(JadeDict({}), fill=0.0), want)
    assert_jd(d.divide(JadeDict({"unrelated": 1.0}), 0), want)
    assert_jd(d.divide_scalar(0.0), want)
    assert_jd(d.divide_scalar(-0.0), {"p": -INF, "n": INF, "z": NAN, "nz": NAN, "nan": NAN})
    assert_jd(d, {"p": 1.0, "n": -1.0, "z": 0.0, "nz": -0.0, "nan": NAN})


def test_signed_zero_rules():
    d = JadeDict({"nz": -0.0, "pz": 0.0})
    for res, want in [
        (d.add_scalar(0.0), (0.0, 0.0)),
        (d.add_scalar(-0.0), (-0.0, 0.0)),
        (d.subtract_scalar(0.0), (-0.0, 0.0)),
        (d.subtract_scalar(-0.0), (0.0, 0.0)),
        (d.multiply_scalar(-1.0), (0.0, -0.0)),
        (d.add(JadeDict({})), (0.0, 0.0)),
        (d.subtract(JadeDict({})), (-0.0, 0.0)),
    ]:
        assert_jd(res, {"nz": want[0], "pz": want[1]})
    assert_jd(JadeDict({"x": 5.0}).subtract_scalar(5.0), {"x": 0.0})


def test_scalar_edge_values():
    assert_jd(JadeDict({"a": 0.1}).divide_scalar(10.0), {"a": 0.01})
    assert_jd(JadeDict({"a": 1.0}).divide_scalar(3.0), {"a": 0.3333333333333333})
    assert_jd(JadeDict({"a": 0.1}).divide(JadeDict({}), 10.0), {"a": 0.01})
    assert_jd(
        JadeDict({"i": INF, "m": -INF, "n": -3.0, "p": 2.0, "nan": NAN}).multiply_scalar(0.0),
        {"i": NAN, "m": NAN, "n": -0.0, "p": 0.0, "nan": NAN},
    )
    assert_jd(JadeDict({"a": MAX}).multiply_scalar(2.0), {"a": INF})
    assert_jd(JadeDict({"a": -MAX}).add_scalar(-MAX), {"a": -INF})
    assert_jd(JadeDict({"a": TINY}).divide_scalar(2.0), {"a": 0.0})
    assert_jd(JadeDict({"a": -TINY}).multiply_scalar(0.5), {"a": -0.0})
    assert_jd(JadeDict({"a": 3 * TINY}).divide_scalar(2.0), {"a": 2 * TINY})  # ties to even
    assert_jd(JadeDict({"a": 1.0}).add_scalar(2.0**-53), {"a": 1.0})
    assert_jd(JadeDict({"a": 1.0}).add_scalar(2.0**-53 + 2.0**-78), {"a": 1.0000000000000002})
    assert_jd(JadeDict({"a": 1e16}).add_scalar(1.0), {"a": 1e16})
    assert_jd(JadeDict({"a": 1e16 + 2}).add_scalar(1.0), {"a": 1e16 + 4})


def test_reset_copies_bits_exactly():
    d = JadeDict({"a": 1.0, "b": -0.0, "c": NAN})
    for v in (NAN, NEG_NAN, -0.0, INF, TINY, 99.0):
        res = d.reset(v)
        assert [bits(x) for x in res.to_dict.values()] == [bits(v)] * 3
        assert list(res.to_dict) == ["a", "b", "c"]
    assert_jd(d.reset(True), {"a": 1.0, "b": 1.0, "c": 1.0})
    assert_jd(d, {"a": 1.0, "b": -0.0, "c": NAN})


@pytest.mark.parametrize(
    "values, total, prod",
    [
        ([], -0.0, 1.0),
        ([-0.0], -0.0, -0.0),
        ([0.0], 0.0, 0.0),
        ([-0.0, -0.0], -0.0, 0.0),
        ([1.0, 2.0, 3.0], 6.0, 6.0),
        ([2.0, 3.0, 4.0], 9.0, 24.0),
        ([1e300, 1e300], 2e300, INF),
        ([-1e300, 1e300], 0.0, -INF),
        ([1e300, 1e300, 0.0], 2e300, NAN),
        ([INF, 0.0], INF, NAN),
        ([INF, -INF], NAN, -INF),
        ([MAX, MAX], INF, INF),
        ([1.0, NAN, 2.0], NAN, NAN),
        ([TINY, 0.5], 0.5, 0.0),
        ([-TINY, 0.5], 0.5, -0.0),
        ([0.5, TINY], 0.5, 0.0),
    ],
)
def test_reductions_edges(values, total, prod):
    d = JadeDict(keyed(values))
    assert_same(d.sum(), total)
    assert_same(d.product(), prod)


@pytest.mark.parametrize(
    "order, expected",
    [
        (("x", "y", "z"), 0.0),
        (("x", "z", "y"), 1.0),
        (("y", "x", "z"), 0.0),
        (("z", "y", "x"), 0.0),
        (("y", "z", "x"), 0.0),
        (("z", "x", "y"), 1.0),
    ],
)
def test_sum_follows_insertion_order(order, expected):
    vals = {"x": 1e16, "y": 1.0, "z": -1e16}
    d = JadeDict({k: vals[k] for k in order})
    assert_same(d.sum(), expected)
    assert_same(d.multiply_scalar(1.0).sum(), expected)  # derived dicts keep positions
    assert_same(d.add(JadeDict({})).sum(), expected)
    assert list(d.to_dict) == list(order)


def test_reductions_match_left_to_right_fold():
    rng = random.Random(20240611)
    for n in (1, 2, 3, 17, 100, 1000):
        vals = [
            rng.choice(
                [rng.uniform(-1e6, 1e6), rng.uniform(-1, 1) * 10.0 ** rng.randint(-30, 30), float(rng.randint(-9, 9))]
            )
            for _ in range(n)
        ]
        src = {f"v{i}": v for i, v in enumerate(vals)}
        d = JadeDict(src)
        assert_same(d.sum(), fold_sum(vals))
        assert_same(d.product(), fold_product(vals))
        rev = list(reversed(vals))
        assert_same(JadeDict(dict(reversed(list(src.items())))).sum(), fold_sum(rev))
    mults = [1.1, 0.7, 1.3, 1e-5, 3.0, 1e200, 1e200, 1e-200]
    assert_same(JadeDict(keyed(mults)).product(), fold_product(mults))


def test_no_extended_precision_intermediates():
    assert_jd(JadeDict({"a": 1e16}).add_scalar(1.0).subtract_scalar(1e16), {"a": 0.0})
    assert_same(JadeDict({"a": 1e16, "b": 1.0, "c": -1e16}).sum(), 0.0)
    assert_same(JadeDict({"a": 1e16, "b": 1.0, "c": 1.0, "d": -1e16}).sum(), 0.0)
    assert_same(JadeDict({"a": 1e308, "b": 10.0, "c": 0.1}).product(), INF)
    assert_same(JadeDict({"a": MAX, "b": MAX, "c": -MAX}).sum(), INF)
    assert_same(JadeDict({"a": 1e-308, "b": 1e-10, "c": 1e10}).product(), fold_product([1e-308, 1e-10, 1e10]))
    assert_same(JadeDict({"a": 1.0, "b": 2.0**-53 + 2.0**-78}).sum(), 1.0000000000000002)
    assert_same(JadeDict({"a": 1.0, "b": 2.0**-53, "c": 2.0**-53}).sum(), 1.0)


# Quotients of two operands of at most 53 bits: CPython computes int / int
# for them as one double division, which an x87 FPU rounds twice. The bits
# below are the correctly rounded quotients; the module and the reference
# model must both give them on every platform.
@pytest.mark.parametrize(
    "a, b, want",
    [
        (1832.0, 4.930555271883073e16, "3d24eac09a5ce34f"),
        (1.0, 3.0, "3fd5555555555555"),
    ],
)
def test_short_operand_quotients_round_once(a, b, want):
    expected = struct.unpack(">d", bytes.fromhex(want))[0]
    assert_same(ieee("/", a, b), expected)
    assert_same(JadeDict({"k": a}).divide(JadeDict({"k": b}))["k"], expected)
    assert_same(JadeDict({"k": a}).divide_scalar(b)["k"], expected)


def _near_twins(n):
    """n keys of varied lengths (empty, NUL, non-ASCII), and variants of them:
    equal texts in new str objects, one byte changed late in the order, the
    same bytes split differently between two keys, one key moved."""
    ks = [
        "" if i == 17 else ("\x00" if i % 5 == 1 else "") + f"{i}" + ("\u6771" if i % 7 == 2 else "") for i in range(n)
    ]
    copies = [k.encode().decode() for k in ks]
    changed = list(ks)
    changed[n - 900] = changed[n - 900][:-1] + chr(ord(changed[n - 900][-1]) ^ 0x40)  # same UTF-8 length
    resplit = list(ks)
    resplit[n // 2], resplit[n // 2 + 1] = resplit[n // 2][:-1], resplit[n // 2][-1] + resplit[n // 2 + 1]
    moved = ks[:3] + ks[4:] + ks[3:4]
    return ks, {"copies": copies, "changed": changed, "resplit": resplit, "moved": moved}


@pytest.mark.parametrize("variant", ["copies", "changed", "resplit", "moved"])
def test_separately_built_near_twins_align_by_key(variant):
    # The key order is the same or nearly so: whichever way equality of the
    # two key indexes is decided, every result must be the keyed one.
    ks, variants = _near_twins(10_000)
    other_keys = variants[variant]
    assert len(set(other_keys)) == len(other_keys)
    r_items = {k: float(i) + 0.5 for i, k in enumerate(ks)}
    o_items = {k: -2.0 * i for i, k in enumerate(other_keys)}
    r, o = JadeDict(r_items), JadeDict(o_items)
    for method, op in PAIR_OPS.items():
        want = {k: ieee(op, v, o_items.get(k, NAN)) for k, v in r_items.items()}
        assert_jd(getattr(r, method)(o, fill=NAN), want)
    if variant == "copies":
        assert_jd(r.add(o, NAN), {k: v + o_items[k] for k, v in r_items.items()})
