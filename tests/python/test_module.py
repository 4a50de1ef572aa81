"""Module import, class registration and the public surface of JadeDict."""

import doctest
import gc
import importlib
import importlib.util
import inspect
import re
import shutil
import subprocess
import sys
import weakref

import pytest

import jadefox
from jadefox import JadeDict
from single_thread import CHANGES_CLASS, CHANGES_SYS_MODULES, CHILD_PROCESSES, REPLACES_STDOUT

TABLE_ORDER = [
    "add_scalar",
    "add",
    "subtract_scalar",
    "subtract",
    "multiply_scalar",
    "multiply",
    "divide_scalar",
    "divide",
    "sum",
    "product",
    "reset",
]


def _ex(*lines):
    return "\n\n# Examples\n\n```python\n" + "\n".join(lines) + "\n```"


def _pair(verb, op, d1, d2, *rest):
    return (
        f"{verb} values (d1 {op} d2), aligned on d1s keys. Only keys from d1 are\n"
        "considered, if key from d1 is absent from d2, a fill value can optionally\n"
        f"be used as the argument for {op}." + _ex(f">>> d1 = jf.JadeDict({d1})", f">>> d2 = jf.JadeDict({d2})", *rest)
    )


def _scalar(verb, name, src, arg, out):
    return f"{verb} a scalar value (single value) to every value in the dictionary." + _ex(
        f">>> d = jf.JadeDict({src})", f">>> d.{name}({arg}).to_dict", out
    )


DOCS = {
    "add_scalar": (
        "($self, value)",
        _scalar("Adds", "add_scalar", '{"a": 1.0, "b": 2.0}', "10.0", "{'a': 11.0, 'b': 12.0}"),
    ),
    "add": (
        "($self, other, fill=0.0)",
        _pair(
            "Adds",
            "+",
            '{"a": 1.0, "b": 2.0}',
            '{"b": 10.0}',
            ">>> d1.add(d2).to_dict",
            "{'a': 1.0, 'b': 12.0}",
            ">>> d1.add(d2, fill=5.0).to_dict",
            "{'a': 6.0, 'b': 12.0}",
        ),
    ),
    "subtract_scalar": (
        "($self, value)",
        _scalar("Subtracts", "subtract_scalar", '{"a": 5.0, "b": 10.0}', "3.0", "{'a': 2.0, 'b': 7.0}"),
    ),
    "subtract": (
        "($self, other, fill=0.0)",
        _pair(
            "Subtracts",
            "-",
            '{"a": 10.0, "b": 5.0}',
            '{"b": 2.0}',
            ">>> d1.subtract(d2).to_dict",
            "{'a': 10.0, 'b': 3.0}",
        ),
    ),
    "multiply_scalar": (
        "($self, value)",
        _scalar("Multiplies", "multiply_scalar", '{"a": 2.0, "b": 5.0}', "3.0", "{'a': 6.0, 'b': 15.0}"),
    ),
    "multiply": (
        "($self, other, fill=1.0)",
        _pair(
            "Multiplies",
            "*",
            '{"a": 2.0, "b": 3.0}',
            '{"b": 10.0}',
            ">>> d1.multiply(d2).to_dict",
            "{'a': 2.0, 'b': 30.0}",
        ),
    ),
    "divide_scalar": (
        "($self, value)",
        _scalar("Divides", "divide_scalar", '{"a": 10.0, "b": 6.0}', "2.0", "{'a': 5.0, 'b': 3.0}"),
    ),
    "divide": (
        "($self, other, fill=1.0)",
        _pair(
            "Divides", "/", '{"a": 10.0, "b": 6.0}', '{"b": 2.0}', ">>> d1.divide(d2).to_dict", "{'a': 10.0, 'b': 3.0}"
        ),
    ),
    "sum": (
        "($self)",
        "Sum of values." + _ex('>>> d = jf.JadeDict({"a": 1.0, "b": 2.0, "c": 3.0})', ">>> d.sum()", "6.0"),
    ),
    "product": (
        "($self)",
        "Product of values." + _ex('>>> d = jf.JadeDict({"a": 2.0, "b": 3.0, "c": 4.0})', ">>> d.product()", "24.0"),
    ),
    "reset": (
        "($self, value)",
        "Sets all values to passed in value"
        + _ex('>>> d = jf.JadeDict({"a": 1.0, "b": 2.0})', ">>> d.reset(99.0).to_dict", "{'a': 99.0, 'b': 99.0}"),
    ),
}
TO_DICT_DOC = "Returns the underlying dictionary." + _ex(
    '>>> d = jf.JadeDict({"x": 42.0})', ">>> d.to_dict", "{'x': 42.0}"
)


def test_docstring_literal_spot_check():
    # guards the helpers above against drift
    assert DOCS["add"][1].startswith("Adds values (d1 + d2), aligned on d1s keys. Only keys from d1 are\nconsidered, ")
    assert DOCS["sum"][1] == (
        "Sum of values.\n\n# Examples\n\n```python\n>>> d = jf.JadeDict("
        '{"a": 1.0, "b": 2.0, "c": 3.0})\n>>> d.sum()\n6.0\n```'
    )


def test_module_surface():
    assert jadefox.__all__ == ["JadeDict"] and type(jadefox.__all__) is list
    assert jadefox.JadeDict is JadeDict
    public = {n for n in vars(jadefox) if not (n.startswith("__") and n.endswith("__"))}
    assert public == {"JadeDict"}
    assert not hasattr(jadefox, "PanicException")
    doc = jadefox.__doc__
    assert isinstance(doc, str) and "Python module implemented in C++" in doc
    assert re.fullmatch(r"[^.!?\n]*\.", doc.strip()), doc  # a single sentence


def test_class_identity():
    assert JadeDict.__module__ == "builtins"
    assert JadeDict.__name__ == JadeDict.__qualname__ == "JadeDict"
    assert JadeDict.__text_signature__ == "(dict)"
    assert not JadeDict.__doc__
    assert str(inspect.signature(JadeDict)) == "(dict)"
    assert type(JadeDict) is type and JadeDict.__mro__ == (JadeDict, object)
    assert JadeDict.__itemsize__ == 0 and JadeDict.__dictoffset__ == 0
    assert JadeDict.__weakrefoffset__ == 0
    flags = JadeDict.__flags__
    for bit, name in [
        (1 << 10, "BASETYPE"),
        (1 << 14, "HAVE_GC"),
        (1 << 8, "IMMUTABLETYPE"),
        (1 << 6, "MAPPING"),
        (1 << 5, "SEQUENCE"),
        (1 << 7, "DISALLOW_INST"),
    ]:
        assert not flags & bit, name
    assert flags & (1 << 9)  # heap type


@pytest.mark.parametrize("name", TABLE_ORDER)
def test_method_signature_and_docstring(name):
    sig, doc = DOCS[name]
    meth = getattr(JadeDict, name)
    assert type(meth).__name__ == "method_descriptor"
    assert meth.__text_signature__ == sig
    assert meth.__doc__ == doc
    assert meth.__qualname__ == f"JadeDict.{name}"
    params = list(inspect.signature(meth).parameters.values())[1:]
    assert params and all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params) or name in ("sum", "product")


def test_method_table_order_and_no_extra_slots():
    names = [n for n in vars(JadeDict) if n in DOCS]
    assert names == TABLE_ORDER
    own = set(vars(JadeDict))
    for absent in (
        "__len__",
        "__iter__",
        "__contains__",
        "__setitem__",
        "__delitem__",
        "__init__",
        "__repr__",
        "__str__",
        "__hash__",
        "__eq__",
        "__add__",
        "__dict__",
        "__weakref__",
        "__slots__",
    ):
        assert absent not in own, absent
    assert {"__new__", "__getitem__", "to_dict"} <= own


def test_to_dict_property():
    prop = vars(JadeDict)["to_dict"]
    assert type(prop).__name__ == "getset_descriptor"
    assert prop.__doc__ == TO_DICT_DOC == JadeDict.to_dict.__doc__
    d = JadeDict({"a": 1.0})
    with pytest.raises(AttributeError):
        d.to_dict = {}
    with pytest.raises(AttributeError):
        del d.to_dict
    assert d.to_dict == {"a": 1.0}


@pytest.mark.parametrize(
    "name",
    [
        "add",
        "subtract",
        "multiply",
        "divide",
        "add_scalar",
        "subtract_scalar",
        "multiply_scalar",
        "divide_scalar",
        "reset",
        "sum",
        "product",
    ],
)
@REPLACES_STDOUT
def test_docstring_examples_run(name):
    """The examples in each docstring are valid doctests (jf is the module)."""
    body = getattr(JadeDict, name).__doc__
    code = body.split("```python\n", 1)[1].rsplit("```", 1)[0]
    test = doctest.DocTestParser().get_doctest(code, {"jf": jadefox}, name, None, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.DONT_ACCEPT_TRUE_FOR_1)
    runner.run(test, out=lambda s: None)
    assert runner.failures == 0 and runner.tries >= 2


def test_not_subclassable():
    with pytest.raises(TypeError):
        type("Sub", (JadeDict,), {})
    with pytest.raises(TypeError):

        class Sub(JadeDict):  # noqa: F841
            pass


def test_instance_object_protocol():
    d = JadeDict({"a": 1.0})
    e = JadeDict({"a": 1.0})
    assert gc.is_tracked(d) is False
    assert not hasattr(d, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(d)
    for attr in ("foo", "add", "sum"):
        with pytest.raises(AttributeError):
            setattr(d, attr, 1)
    with pytest.raises(TypeError):
        len(d)
    with pytest.raises(TypeError):
        iter(d)
    with pytest.raises(TypeError):
        "a" in d  # noqa: B015
    with pytest.raises(TypeError):
        d["a"] = 2.0
    with pytest.raises(TypeError):
        del d["a"]
    with pytest.raises(TypeError):
        d + e  # noqa: B018
    assert d == d and d != e and not (d == e) and (d == d.to_dict) is False
    assert hash(d) == object.__hash__(d)
    assert repr(d) == object.__repr__(d) and str(d) == repr(d)
    assert repr(d).startswith("<builtins.JadeDict object at 0x")
    assert d.to_dict == {"a": 1.0}


@CHANGES_CLASS
def test_class_attributes_are_settable():
    d = JadeDict({"a": 1.0})
    JadeDict.extra_attr = 41
    try:
        assert d.extra_attr == 41
        JadeDict.extra_attr += 1
        assert d.extra_attr == 42
    finally:
        del JadeDict.extra_attr
    assert not hasattr(d, "extra_attr")


@CHANGES_SYS_MODULES
def test_reimport_gives_new_module_same_class():
    old = sys.modules.pop("jadefox")
    try:
        new = importlib.import_module("jadefox")
        assert new is not old
        assert new.JadeDict is old.JadeDict
        assert new.__all__ == ["JadeDict"] and new.__all__ is not old.__all__
        assert old.__all__ == ["JadeDict"]
        assert new.JadeDict({"k": 2.0}).sum() == 2.0
    finally:
        sys.modules["jadefox"] = old


def _exec_fresh(**preset):
    spec = importlib.util.find_spec("jadefox")
    m = importlib.util.module_from_spec(spec)
    for k, v in preset.items():
        setattr(m, k, v)
    spec.loader.exec_module(m)
    return m


class ListSub(list):
    pass


@pytest.mark.parametrize(
    "preset, expected",
    [
        (["x"], ["x", "JadeDict"]),
        (["JadeDict"], ["JadeDict", "JadeDict"]),
        ([], ["JadeDict"]),
        (ListSub(["y"]), ["y", "JadeDict"]),
    ],
)
def test_exec_appends_to_existing_all(preset, expected):
    preset = type(preset)(preset)  # the parameter itself stays as it was, for a repeated run
    m = _exec_fresh(__all__=preset)
    assert m.__all__ is preset and m.__all__ == expected
    assert m.JadeDict is JadeDict


def test_exec_without_all_creates_list():
    m = _exec_fresh()
    assert m.__all__ == ["JadeDict"] and type(m.__all__) is list


@pytest.mark.parametrize(
    "bad, msg",
    [
        (("x",), "'tuple' object is not an instance of 'list'"),
        ("JadeDict", "'str' object is not an instance of 'list'"),
        (None, "'None' is not an instance of 'list'"),
    ],
)
def test_exec_with_non_list_all_fails(bad, msg):
    spec = importlib.util.find_spec("jadefox")
    m = importlib.util.module_from_spec(spec)
    m.__all__ = bad
    with pytest.raises(TypeError) as ei:
        spec.loader.exec_module(m)
    assert str(ei.value) == msg
    assert m.__all__ == bad
    assert not hasattr(m, "JadeDict")


def test_exec_all_lookup_error_passes_through():
    err = LookupError("no exports today")

    def module_getattr(name):
        raise err

    spec = importlib.util.find_spec("jadefox")
    m = importlib.util.module_from_spec(spec)
    m.__getattr__ = module_getattr
    with pytest.raises(LookupError) as ei:
        spec.loader.exec_module(m)
    assert ei.value is err and "JadeDict" not in vars(m)

    def attr_missing(name):
        raise AttributeError(name)

    m = importlib.util.module_from_spec(spec)
    m.__getattr__ = attr_missing
    spec.loader.exec_module(m)
    assert vars(m)["__all__"] == ["JadeDict"] and m.JadeDict is JadeDict


@CHILD_PROCESSES
def test_only_entry_point_exported():
    nm = shutil.which("nm")
    if nm is None or not jadefox.__file__.endswith(".so"):
        pytest.skip("nm or an ELF shared object is not available")
    out = subprocess.run(
        [nm, "-D", "--defined-only", jadefox.__file__], capture_output=True, text=True, check=True
    ).stdout
    names = {line.split()[-1] for line in out.splitlines() if line.strip()}
    assert names - {"_init", "_fini"} == {"PyInit_jadefox"}, sorted(names)


@CHILD_PROCESSES
def test_typing_usage_script_runs():
    import os

    path = os.path.join(os.path.dirname(__file__), "typing_usage.py")
    r = subprocess.run([sys.executable, path], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
