"""Argument binding and conversion: every message a caller can see."""

import collections
import math
import sys

import pytest

from jadefox import JadeDict
from single_thread import CHILD_PROCESSES, REPLACES_HOOK
from support import (
    FloatSub,
    HasFloat,
    HasIndex,
    KeyStr,
    Outer,
    Raiser,
    Unprintable,
    assert_jd,
    assert_same,
    catch,
    instance_named,
    run_py,
)

BASE = {"a": 1.0, "b": -2.5}
PAIRWISE = ["add", "subtract", "multiply", "divide"]
SCALAR = ["add_scalar", "subtract_scalar", "multiply_scalar", "divide_scalar", "reset"]


@pytest.fixture
def d():
    return JadeDict(BASE)


@pytest.fixture
def e():
    return JadeDict({"b": 10.0})


def still_usable(*jds_and_items):
    for jd, items in jds_and_items:
        assert_jd(jd, items)
        assert type(jd.add_scalar(1.0)) is JadeDict
        jd.sum()


def raises_exact(exc_type, msg, fn, *args, **kwargs):
    err = catch(fn, *args, **kwargs)
    assert type(err) is exc_type, repr(err)
    if msg is not None:
        assert str(err) == msg
    return err


# ---------------------------------------------------------------- binding --


def _pairwise_cases(m):
    F = f"JadeDict.{m}()"
    return [
        (lambda d, e: getattr(d, m)(e, 2.0, 3.0), f"{F} takes from 1 to 2 positional arguments but 3 were given"),
        (
            lambda d, e: getattr(d, m)(e, 2.0, 3.0, 4.0, fill=1.0, bogus=2),
            f"{F} takes from 1 to 2 positional arguments but 4 were given",
        ),
        (lambda d, e: getattr(d, m)(e, default=1.0), f"{F} got an unexpected keyword argument 'default'"),
        (lambda d, e: getattr(d, m)(e, zz=1, yy=2), f"{F} got an unexpected keyword argument 'zz'"),
        (lambda d, e: getattr(d, m)(e, fill=1.0, Fill=2), f"{F} got an unexpected keyword argument 'Fill'"),
        (lambda d, e: getattr(d, m)(e, fill=2.0, other=e), f"{F} got multiple values for argument 'other'"),
        (lambda d, e: getattr(d, m)(e, 1.0, fill=2.0), f"{F} got multiple values for argument 'fill'"),
        (lambda d, e: getattr(d, m)(e, 1.0, other=e, bogus=1), f"{F} got multiple values for argument 'other'"),
        (lambda d, e: getattr(d, m)(), f"{F} missing 1 required positional argument: 'other'"),
        (lambda d, e: getattr(d, m)(fill=1.0), f"{F} missing 1 required positional argument: 'other'"),
        # binding fails before conversion: a bad fill is never looked at
        (lambda d, e: getattr(d, m)(fill="x"), f"{F} missing 1 required positional argument: 'other'"),
        (lambda d, e: getattr(d, m)(5, None, None), f"{F} takes from 1 to 2 positional arguments but 3 were given"),
    ]


def _scalar_cases(m):
    F = f"JadeDict.{m}()"
    return [
        (lambda d, e: getattr(d, m)(1.0, 2.0), f"{F} takes 1 positional arguments but 2 were given"),
        (lambda d, e: getattr(d, m)(1, 2, 3, value=4), f"{F} takes 1 positional arguments but 3 were given"),
        (lambda d, e: getattr(d, m)(), f"{F} missing 1 required positional argument: 'value'"),
        (lambda d, e: getattr(d, m)(val=1.0), f"{F} got an unexpected keyword argument 'val'"),
        (lambda d, e: getattr(d, m)(1.0, value=2.0), f"{F} got multiple values for argument 'value'"),
        (lambda d, e: getattr(d, m)(value=1.0, other=2.0), f"{F} got an unexpected keyword argument 'other'"),
        (lambda d, e: getattr(d, m)("bad", value=None), f"{F} got multiple values for argument 'value'"),
    ]


NEW = "JadeDict.__new__()"
CTOR_CASES = [
    (lambda: JadeDict({}, {}), f"{NEW} takes 1 positional arguments but 2 were given"),
    (lambda: JadeDict(1, 2, 3, dict={}), f"{NEW} takes 1 positional arguments but 3 were given"),
    (lambda: JadeDict(), f"{NEW} missing 1 required positional argument: 'dict'"),
    (lambda: JadeDict({}, dict={}), f"{NEW} got multiple values for argument 'dict'"),
    (lambda: JadeDict(mapping={}), f"{NEW} got an unexpected keyword argument 'mapping'"),
    (lambda: JadeDict(x=1, y=2), f"{NEW} got an unexpected keyword argument 'x'"),
    (lambda: JadeDict(dict={}, y=2, x=1), f"{NEW} got an unexpected keyword argument 'y'"),
    (lambda: JadeDict.__new__(JadeDict), f"{NEW} missing 1 required positional argument: 'dict'"),
    (lambda: JadeDict.__new__(JadeDict, **{"x": 1}), f"{NEW} got an unexpected keyword argument 'x'"),
    (lambda: JadeDict.__new__(JadeDict, {}, {}), f"{NEW} takes 1 positional arguments but 2 were given"),
    (lambda: JadeDict.__new__(JadeDict, "not a dict", dict={}), f"{NEW} got multiple values for argument 'dict'"),
]

BINDING = [pytest.param(m, fn, msg, id=f"{m}-{i}") for m in PAIRWISE for i, (fn, msg) in enumerate(_pairwise_cases(m))]
BINDING += [pytest.param(m, fn, msg, id=f"{m}-{i}") for m in SCALAR for i, (fn, msg) in enumerate(_scalar_cases(m))]


@pytest.mark.parametrize("method, call, msg", BINDING)
def test_method_binding_errors(d, e, method, call, msg):
    raises_exact(TypeError, msg, call, d, e)
    still_usable((d, BASE), (e, {"b": 10.0}))


@pytest.mark.parametrize("call, msg", CTOR_CASES)
def test_constructor_binding_errors(call, msg):
    raises_exact(TypeError, msg, call)


def test_equivalent_bindings(d, e):
    for m in PAIRWISE:
        f = getattr(d, m)
        ref = f(e, 2.0).to_dict
        for alt in (f(other=e, fill=2.0), f(fill=2.0, other=e), f(e, fill=2.0)):
            assert alt.to_dict == ref
        assert f(e).to_dict == f(other=e).to_dict
    for m in SCALAR:
        f = getattr(d, m)
        assert f(3.0).to_dict == f(value=3.0).to_dict
    assert (
        JadeDict({"a": 1.0}).to_dict
        == JadeDict(dict={"a": 1.0}).to_dict
        == JadeDict.__new__(JadeDict, {"a": 1.0}).to_dict
        == {"a": 1.0}
    )


class NameStr(str):
    def __str__(self):
        return "shown-name"


def test_keyword_names_are_matched_by_text_and_reported_by_str(d, e):
    assert_jd(d.add(e, **{NameStr("fill"): 5.0}), {"a": 6.0, "b": 7.5})
    raises_exact(
        TypeError,
        "JadeDict.add() got an unexpected keyword argument 'shown-name'",
        lambda: d.add(e, **{NameStr("nope"): 1.0}),
    )
    raises_exact(
        TypeError, "JadeDict.add() got multiple values for argument 'other'", lambda: d.add(e, **{NameStr("other"): e})
    )
    raises_exact(
        TypeError,
        "JadeDict.add() got an unexpected keyword argument 'fi\udc80ll'",
        lambda: d.add(e, **{"fi\udc80ll": 1.0}),
    )
    raises_exact(
        TypeError,
        "JadeDict.__new__() got an unexpected keyword argument '\udc80'",
        lambda: JadeDict.__new__(JadeDict, **{"\udc80": {}}),
    )
    still_usable((d, BASE))


@pytest.mark.parametrize(
    "call", [lambda d: d.sum(1), lambda d: d.product(None), lambda d: d.sum(x=1), lambda d: d.product(*[1, 2])]
)
def test_no_argument_methods_reject_arguments(d, call):
    err = raises_exact(TypeError, None, call, d)
    assert "takes no" in str(err)
    still_usable((d, BASE))


@pytest.mark.parametrize(
    "call",
    [
        lambda: JadeDict.sum(5),
        lambda: JadeDict.product({"a": 1.0}),
        lambda: JadeDict.add(5, JadeDict({})),
        lambda: JadeDict.add_scalar(None, 1.0),
        lambda: JadeDict.__getitem__("a", "a"),
        lambda: JadeDict.to_dict.__get__(5, int),
        lambda: JadeDict.__new__(int, {}),
        lambda: JadeDict.__new__(5, {}),
    ],
)
def test_wrong_receiver_rejected(call):
    raises_exact(TypeError, None, call)


# ------------------------------------------------------------- conversion --

ABSENT = object()


@pytest.mark.parametrize("m", PAIRWISE)
@pytest.mark.parametrize(
    "other, fill, msg",
    [
        (5, ABSENT, "argument 'other': 'int' object is not an instance of 'JadeDict'"),
        (None, ABSENT, "argument 'other': 'None' is not an instance of 'JadeDict'"),
        ({"b": 1.0}, ABSENT, "argument 'other': 'dict' object is not an instance of 'JadeDict'"),
        (JadeDict, ABSENT, "argument 'other': 'type' object is not an instance of 'JadeDict'"),
        (Outer.Inner(), ABSENT, "argument 'other': 'Outer.Inner' object is not an instance of 'JadeDict'"),
        (5, "x", "argument 'other': 'int' object is not an instance of 'JadeDict'"),
        (None, None, "argument 'other': 'None' is not an instance of 'JadeDict'"),
        ("e", None, "argument 'fill': must be real number, not NoneType"),
        ("e", "x", "argument 'fill': must be real number, not str"),
        ("e", [1.0], "argument 'fill': must be real number, not list"),
        ("e", 1j, "argument 'fill': must be real number, not complex"),
        ("d", "x", "argument 'fill': must be real number, not str"),
    ],
)
def test_pairwise_conversion_errors(d, e, m, other, fill, msg):
    other = {"e": e, "d": d}[other] if isinstance(other, str) else other
    kwargs = {} if fill is ABSENT else {"fill": fill}
    raises_exact(TypeError, msg, getattr(d, m), other, **kwargs)
    raises_exact(TypeError, msg, lambda: getattr(d, m)(other=other, **kwargs))
    if kwargs:
        raises_exact(TypeError, msg, getattr(d, m), other, fill)
    still_usable((d, BASE), (e, {"b": 10.0}))


@pytest.mark.parametrize("m", SCALAR)
@pytest.mark.parametrize(
    "value, msg",
    [
        (None, "argument 'value': must be real number, not NoneType"),
        ("1.0", "argument 'value': must be real number, not str"),
        (b"1", "argument 'value': must be real number, not bytes"),
        ({"a": 1.0}, "argument 'value': must be real number, not dict"),
        (Outer.Inner(), "argument 'value': must be real number, not Inner"),
    ],
)
def test_scalar_conversion_errors(d, m, value, msg):
    raises_exact(TypeError, msg, getattr(d, m), value)
    raises_exact(TypeError, msg, lambda: getattr(d, m)(value=value))
    still_usable((d, BASE))


def test_other_checked_before_fill_even_when_fill_raises(d):
    class Loud:
        called = 0

        def __float__(self):
            Loud.called += 1
            raise ValueError("should not be converted")

    raises_exact(TypeError, "argument 'other': 'int' object is not an instance of 'JadeDict'", d.add, 5, Loud())
    assert Loud.called == 0


def test_fill_converted_even_when_unused(d):
    # positional path (same key index) never reads fill, but it is still converted
    for m in PAIRWISE:
        raises_exact(TypeError, "argument 'fill': must be real number, not str", getattr(d, m), d, "x")
        raises_exact(TypeError, "argument 'fill': must be real number, not NoneType", getattr(d, m), d, fill=None)
    empty = JadeDict({})
    raises_exact(TypeError, "argument 'fill': must be real number, not str", empty.add, empty, "x")
    raises_exact(TypeError, "argument 'fill': must be real number, not str", empty.divide, d, fill="x")
    assert_jd(empty, {})


@pytest.mark.parametrize(
    "value, expected",
    [
        (True, 1.0),
        (False, 0.0),
        (10, 10.0),
        (-1, -1.0),
        (2**53 + 1, 2.0**53),
        (-(2**63), -(2.0**63)),
        (FloatSub(2.5), 2.5),
        (HasIndex(7), 7.0),
        (HasIndex(-1), -1.0),
        (HasFloat(-1.0), -1.0),
        (HasFloat(-0.0), -0.0),
        (HasFloat(math.inf), math.inf),
        (1.5, 1.5),
        (2**1023 * (2**53 - 1) // 2**52, 1.7976931348623157e308),
    ],
)
def test_float_conversion_accepts(value, expected):
    d = JadeDict({"z": -0.0})
    assert_same(d.add_scalar(value)["z"], expected)
    assert_same(d.reset(value)["z"], expected)
    assert_same(JadeDict({"z": value})["z"], expected)
    assert_same(JadeDict({"z": 0.0}).add(d, fill=value)["z"], 0.0)  # 'z' present: fill unused
    assert_same(JadeDict({"y": 0.0}).add(d, fill=value)["y"], expected + 0.0)


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize(
    "exc", [ValueError("nope"), MyTypeError("sub"), OverflowError("ov"), KeyboardInterrupt("ki"), ZeroDivisionError()]
)
def test_non_typeerror_conversion_failures_pass_unchanged(d, e, exc):
    # A fresh exception per run: raising one object again extends its
    # traceback, which would keep every earlier run's frames alive.
    exc = type(exc)(*exc.args)
    bad = Raiser(exc)
    for call in (
        lambda: d.add_scalar(bad),
        lambda: d.reset(value=bad),
        lambda: d.add(e, bad),
        lambda: d.divide(d, fill=bad),
        lambda: JadeDict({"a": 1.0, "b": bad}),
    ):
        assert catch(call) is exc
    still_usable((d, BASE), (e, {"b": 10.0}))


def test_overflowing_int_passes_unchanged(d):
    for call in (
        lambda: d.add_scalar(10**400),
        lambda: d.multiply(d, fill=-(10**400)),
        lambda: JadeDict({"a": 10**400}),
        lambda: d.reset(HasIndex(10**400)),
    ):
        err = raises_exact(OverflowError, "int too large to convert to float", call)
        assert "argument" not in str(err)
    still_usable((d, BASE))


def test_exact_typeerror_gets_prefix_and_keeps_its_cause(d):
    cause = KeyError("root")

    class WithCause:
        def __float__(self):
            raise TypeError("bad float") from cause

    err = raises_exact(TypeError, "argument 'value': bad float", d.subtract_scalar, WithCause())
    assert err.__cause__ is cause
    err = raises_exact(TypeError, "argument 'fill': plain", d.add, d, Raiser(TypeError("plain")))
    assert err.__cause__ is None
    err = raises_exact(TypeError, "argument 'dict': bad float", JadeDict, {"q": WithCause()})
    assert err.__cause__ is cause
    # The interpreter words this one itself, differently across versions.
    own = str(raises_exact(TypeError, None, float, HasFloat("1.0")))
    raises_exact(TypeError, f"argument 'value': {own}", d.reset, HasFloat("1.0"))
    still_usable((d, BASE))


@REPLACES_HOOK
def test_unprintable_typeerror_message(d, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_value))
    err = TypeError()
    err.args = (Unprintable(),)
    raises_exact(TypeError, "argument 'value': <unprintable TypeError object>", d.add_scalar, Raiser(err))
    assert len(seen) == 1 and type(seen[0]) is ValueError and str(seen[0]) == "no text"
    still_usable((d, BASE))


# --------------------------------------------------------- dict and keys --


@pytest.mark.parametrize(
    "arg, msg",
    [
        ({"a": "x"}, "argument 'dict': must be real number, not str"),
        ({"a": None}, "argument 'dict': must be real number, not NoneType"),
        ({1: 1.0}, "argument 'dict': 'int' object is not an instance of 'str'"),
        ({None: 1.0}, "argument 'dict': 'None' is not an instance of 'str'"),
        ({b"a": 1.0}, "argument 'dict': 'bytes' object is not an instance of 'str'"),
        ({"ok": 1.0, ("t",): 1.0}, "argument 'dict': 'tuple' object is not an instance of 'str'"),
        ({1: "x"}, "argument 'dict': 'int' object is not an instance of 'str'"),
        ({"a": "x", 1: 1.0}, "argument 'dict': must be real number, not str"),
        ({"a": 1.0, 2: "x"}, "argument 'dict': 'int' object is not an instance of 'str'"),
        ([("a", 1.0)], "argument 'dict': 'list' object is not an instance of 'dict'"),
        (None, "argument 'dict': 'None' is not an instance of 'dict'"),
        (collections.UserDict({"a": 1.0}), "argument 'dict': 'UserDict' object is not an instance of 'dict'"),
        (type(vars(int))({"a": 1.0}), "argument 'dict': 'mappingproxy' object is not an instance of 'dict'"),
        ({"a": 1.0}.items(), "argument 'dict': 'dict_items' object is not an instance of 'dict'"),
        (JadeDict({"a": 1.0}), "argument 'dict': 'JadeDict' object is not an instance of 'dict'"),
    ],
)
def test_constructor_conversion_errors(arg, msg):
    raises_exact(TypeError, msg, JadeDict, arg)
    raises_exact(TypeError, msg, lambda: JadeDict(dict=arg))
    raises_exact(TypeError, msg, JadeDict.__new__, JadeDict, arg)


class DictSub(dict):
    def __iter__(self):
        return iter(["ghost"])

    def items(self):
        return [("ghost", 0.0)]

    def keys(self):
        return ["ghost"]


def test_dict_subclasses_and_str_subclass_keys_accepted():
    src = DictSub(a=1.0, b=2.0)
    assert_jd(JadeDict(src), {"a": 1.0, "b": 2.0})  # the dict's own storage, not its overrides
    assert_jd(JadeDict(collections.OrderedDict([("z", 1.0), ("y", 2.0)])), {"z": 1.0, "y": 2.0})
    assert_jd(JadeDict(collections.defaultdict(float, {"q": 3})), {"q": 3.0})
    jd = JadeDict({KeyStr("k1"): 1.0, "k2": FloatSub(2.0)})
    assert_jd(jd, {"k1": 1.0, "k2": 2.0})
    assert all(type(k) is str for k in jd.to_dict)
    assert jd[KeyStr("k1")] == 1.0 and jd[KeyStr("nope")] is None


class TwinKey(str):
    """Equal texts that the dict still keeps apart."""

    def __hash__(self):
        return id(self)

    def __eq__(self, other):
        return self is other


def test_equal_key_texts_keep_first_place_last_value():
    src = {TwinKey("a"): 1.0, "b": 2.0, TwinKey("a"): 3.0, "c": 4.0, TwinKey("b"): 5.0}
    assert len(src) == 5
    jd = JadeDict(src)
    assert_jd(jd, {"a": 3.0, "b": 5.0, "c": 4.0})
    assert_same(jd.sum(), 12.0)
    assert_jd(jd.add(JadeDict({"a": 1.0, "b": 1.0, "c": 1.0})), {"a": 4.0, "b": 6.0, "c": 5.0})


# The class renamed, in a child process: the interpreter keeps a method's
# qualified name from the first time anything asks for it, so a renaming
# would show in every later test of the process (JadeDict.sum.__qualname__
# read as '\x00.sum').
RENAMED_CLASS_SCRIPT = """
from jadefox import JadeDict
from support import instance_named
from test_binding import BASE, raises_exact, still_usable
d, y = JadeDict(BASE), instance_named(qualname)
JadeDict.__qualname__ = qualname
raises_exact(TypeError, f"argument 'other': 'int' object is not an instance of '{shown}'", d.add, 5)
raises_exact(TypeError, f"argument 'other': 'None' is not an instance of '{shown}'", d.multiply, None, 2.0)
raises_exact(TypeError, f"argument 'other': '{shown}' object is not an instance of '{shown}'", d.subtract, y)
JadeDict.__qualname__ = "JadeDict"
raises_exact(TypeError, "argument 'other': 'int' object is not an instance of 'JadeDict'", d.add, 5)
still_usable((d, BASE))
print("ok")
"""


# Qualified names are Python text: they may hold NULs, which must not cut the
# message, and lone surrogates, which are replaced.
@pytest.mark.parametrize(
    "qualname, shown",
    [
        ("Ünï\x00code", "Ünï\x00code"),
        ("\x00", "\x00"),
        ("a\x00\x00b\x00", "a\x00\x00b\x00"),
        ("x\ud800\x00y", "x?\x00y"),
    ],
)
@CHILD_PROCESSES
def test_cast_messages_keep_whole_type_names(d, qualname, shown):
    y = instance_named(qualname)
    for call, target in [
        (lambda: d.add(y), "other' JadeDict"),
        (lambda: d.divide(other=y, fill=2.0), "other' JadeDict"),
        (lambda: d[y], "key' str"),
        (lambda: JadeDict.__getitem__(d, y), "key' str"),
        (lambda: JadeDict(y), "dict' dict"),
        (lambda: JadeDict({"a": 1.0, y: 2.0}), "dict' str"),
    ]:
        name, target = target.split("' ")
        raises_exact(TypeError, f"argument '{name}': '{shown}' object is not an instance of '{target}'", call)
    still_usable((d, BASE))
    r = run_py(f"qualname, shown = {qualname!r}, {shown!r}\n" + RENAMED_CLASS_SCRIPT)
    assert (r.returncode, r.stdout) == (0, "ok\n"), r.stderr


@pytest.mark.parametrize("key", ["\ud800", "ok\udfffx", "\udc80"])
def test_lone_surrogate_keys(key):
    for src in ({key: 1.0}, {"fine": 1.0, key: 2.0}):
        err = raises_exact(UnicodeEncodeError, None, JadeDict, src)
        assert err.encoding == "utf-8" and "surrogates not allowed" in str(err)
    d = JadeDict({"fine": 1.0})
    raises_exact(UnicodeEncodeError, None, lambda: d[key])
    raises_exact(UnicodeEncodeError, None, lambda: d[KeyStr(key)])
    still_usable((d, {"fine": 1.0}))


@pytest.mark.parametrize(
    "key, msg",
    [
        (1, "argument 'key': 'int' object is not an instance of 'str'"),
        (None, "argument 'key': 'None' is not an instance of 'str'"),
        (b"a", "argument 'key': 'bytes' object is not an instance of 'str'"),
        (("a",), "argument 'key': 'tuple' object is not an instance of 'str'"),
        (1.0, "argument 'key': 'float' object is not an instance of 'str'"),
        (Outer.Inner(), "argument 'key': 'Outer.Inner' object is not an instance of 'str'"),
        (slice(0, 1), "argument 'key': 'slice' object is not an instance of 'str'"),
    ],
)
def test_item_access_key_errors(d, key, msg):
    raises_exact(TypeError, msg, lambda: d[key])
    raises_exact(TypeError, msg, JadeDict.__getitem__, d, key)
    still_usable((d, BASE))
