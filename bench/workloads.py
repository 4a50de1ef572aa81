"""The workloads, as data. Every statement and operand is a Python expression
over named operands; an operand is built from its expression the first time
something names it, so a worker process that times one peer builds only what
that peer uses (and imports pandas only for a pandas peer)."""

from __future__ import annotations

import ast
import functools
from array import array
from collections.abc import Callable
from dataclasses import dataclass
from importlib import import_module
from importlib.util import find_spec

from jadefox import JadeDict

from . import c_fold
from .checks import expect_same, plain_fold
from .data import absent_keys, distinct_copies, make_keys, make_values, sample, shuffled

SIZES = (10, 1_000, 100_000, 1_000_000)
LOOKUP_CAP = 200_000  # lookups per call at most: a uniform sample of the keys

HELPERS = dict(
    JadeDict=JadeDict,
    array=array,
    import_module=import_module,
    load_c_fold=c_fold.load,
    plain_fold=plain_fold,
    make_keys=make_keys,
    absent_keys=absent_keys,
    make_values=make_values,
    shuffled=shuffled,
    sample=sample,
    distinct_copies=distinct_copies,
)

# Operands every workload may name.
BASE = {
    "keys": "make_keys(n)",
    "d1": "dict(zip(keys, make_values(n)))",
    "x": "JadeDict(d1)",
    "np": "import_module('numpy')",
    "pd": "import_module('pandas')",
    "na": "np.fromiter(d1.values(), np.float64, n)",
    "s1": "pd.Series(d1)",
}

# Operands that need something the machine may lack: what depends on them is skipped.
OPTIONAL = {
    "np": ("numpy is not installed", lambda: find_spec("numpy") is not None),
    "pd": ("pandas is not installed", lambda: find_spec("pandas") is not None),
    "c_fold": ("no C compiler", lambda: c_fold.compiler() is not None),
}


@dataclass(frozen=True)
class Workload:
    name: str
    operands: dict[str, str]  # name -> expression, beside BASE
    jadefox: str  # the statement timed
    peers: dict[str, str]  # peer name -> the statement timed
    checks: tuple[tuple[str, str], ...]  # (jadefox expression, plain-Python expression)
    sizes: tuple[int, ...] = SIZES
    keys_per_call: Callable[[int], int] = lambda n: n

    def candidates(self) -> dict[str, str]:
        return {"jadefox": self.jadefox, **self.peers}

    def check(self, n: int) -> None:
        """Raises CheckFailed unless every jadefox expression equals its
        plain-Python counterpart bit for bit."""
        ops = Operands(self, n)
        for jadefox_expr, python_expr in self.checks:
            expect_same(ops.evaluate(jadefox_expr), ops.evaluate(python_expr), f"{self.name}, n={n}: {jadefox_expr}")

    def missing(self, statement: str) -> str | None:
        """Why statement cannot run here, or None."""
        for name in self._reached(statement):
            if name in OPTIONAL and not OPTIONAL[name][1]():
                return OPTIONAL[name][0]
        return None

    def _reached(self, expr: str) -> set[str]:
        recipes = {**BASE, **self.operands}
        seen: set[str] = set()
        todo = set(names_in(expr) & recipes.keys())
        while todo:
            name = todo.pop()
            seen.add(name)
            todo |= (names_in(recipes[name]) & recipes.keys()) - seen
        return seen


@functools.cache
def names_in(expr: str) -> frozenset[str]:
    return frozenset(node.id for node in ast.walk(ast.parse(expr)) if isinstance(node, ast.Name))


class Operands(dict):
    """A workload's operands for n keys, each built on first use."""

    def __init__(self, workload: Workload, n: int):
        super().__init__(n=n)
        self.recipes = {**BASE, **workload.operands}

    def __missing__(self, name: str):
        value = self[name] = self.evaluate(self.recipes[name])
        return value

    def used_by(self, code: str) -> list[str]:
        return sorted(names_in(code) & (self.recipes.keys() | {"n"}))

    def evaluate(self, expr: str):
        return eval(expr, {**HELPERS, **{name: self[name] for name in self.used_by(expr)}})


ADD_KEYED = "{k: v + d2.get(k, 0.0) for k, v in d1.items()}"
KEYED_PANDAS = "s1 + t2.reindex(s1.index, fill_value=0.0)"


def other_dict(keys: str, **extra) -> dict[str, str]:
    """Operands of an add with a dictionary built separately over keys."""
    return {
        "d2": f"dict(zip({keys}, make_values(len({keys}), 2)))",
        "y": "JadeDict(d2)",
        "t2": "pd.Series(d2)",
        **extra,
    }


def add_with_other(name: str, operands: dict[str, str], peers: dict[str, str]) -> Workload:
    return Workload(name, operands, "x.add(y)", peers, (("y", "d2"), ("x.add(y)", ADD_KEYED)))


PIPELINE = "x.add(b).multiply(c).subtract(d).multiply_scalar(0.5)"


def pipeline(name: str, operands: dict[str, str], get: str, pandas: str) -> Workload:
    """x + b, times c, minus d, halved, summed; get reads the other operands' values."""
    step = lambda other: get.format(other=other)  # noqa: E731 - a one-line template, read four times below
    values = f"((v + {step('db')}) * {step('dc')} - {step('dd')}) * 0.5"
    chain = (
        f"t = {{k: v + {step('db')} for k, v in d1.items()}}\n"
        f"t = {{k: v * {step('dc')} for k, v in t.items()}}\n"
        f"t = {{k: v - {step('dd')} for k, v in t.items()}}\n"
        "sum({k: v * 0.5 for k, v in t.items()}.values())"
    )
    peers = {
        "dict comprehension chain": chain,
        "fused generator": f"sum({values} for k, v in d1.items())",
        "pandas": pandas,
    }
    if "nb" in operands:
        peers["numpy"] = "(((na + nb) * nc - nd) * 0.5).sum()"
    checks = (
        ("b", "db"),
        ("c", "dc"),
        ("d", "dd"),
        (PIPELINE, f"{{k: {values} for k, v in d1.items()}}"),
        (f"{PIPELINE}.sum()", f"plain_fold({values} for k, v in d1.items())"),
    )
    return Workload(name, operands, f"{PIPELINE}.sum()", peers, checks)


WORKLOADS = [
    Workload(
        "build",
        {},
        "JadeDict(d1)",
        {"dict comprehension": "{k: float(v) for k, v in d1.items()}", "pandas.Series(d)": "pd.Series(d1)"},
        (("JadeDict(d1)", "d1"),),
    ),
    Workload("export to_dict", {}, "x.to_dict", {"pandas to_dict()": "s1.to_dict()"}, (("x.to_dict", "d1"),)),
    Workload(
        "lookup present",
        {"present": f"sample(keys, min(n, {LOOKUP_CAP}))"},
        "for k in present: x[k]",
        {"dict.get(k)": "for k in present: d1.get(k)", "dict d[k] (info)": "for k in present: d1[k]"},
        (("[x[k] for k in present]", "[d1[k] for k in present]"),),
        keys_per_call=lambda n: min(n, LOOKUP_CAP),
    ),
    Workload(
        "lookup absent",
        {"absent": f"sample(absent_keys(n), min(n, {LOOKUP_CAP}))"},
        "for k in absent: x[k]",
        {"dict.get(k)": "for k in absent: d1.get(k)"},
        (("[x[k] for k in absent]", "[d1.get(k) for k in absent]"),),
        keys_per_call=lambda n: min(n, LOOKUP_CAP),
    ),
    Workload(
        "add, positional (one family)",
        {
            "b": "x.multiply_scalar(1.5)",
            "db": "{k: v * 1.5 for k, v in d1.items()}",
            "nb": "na * 1.5",
            "s2": "s1 * 1.5",
        },
        "x.add(b)",
        {
            "numpy a + b": "na + nb",
            "pandas s1 + s2": "s1 + s2",
            "dict comprehension": "{k: v + db[k] for k, v in d1.items()}",
        },
        (("b", "db"), ("x.add(b)", "{k: v + db[k] for k, v in d1.items()}")),
    ),
    add_with_other(
        "add, keyed (same keys shuffled)",
        other_dict("shuffled(keys, 1)"),
        {"pandas reindex + add": KEYED_PANDAS, "dict comprehension": ADD_KEYED},
    ),
    add_with_other(
        "add, keyed (other has half)",
        other_dict("sample(keys, n // 2, 1)"),
        {"pandas reindex + add": KEYED_PANDAS, "dict comprehension": ADD_KEYED},
    ),
    # Built separately from dicts over the same keys, in the same order: the key
    # indexes are equal, so the add is positional, with the very same str
    # objects or with equal new ones; then shuffled new ones (keyed).
    add_with_other(
        "add, same key order (shared str)",
        other_dict("keys"),
        {"pandas s1 + s2": "s1 + t2", "pandas reindex + add": KEYED_PANDAS},
    ),
    add_with_other(
        "add, same key order (distinct str)",
        other_dict("other_keys", other_keys="distinct_copies(keys)"),
        {"pandas s1 + s2": "s1 + t2", "pandas reindex + add": KEYED_PANDAS},
    ),
    add_with_other(
        "add, keyed (shuffled, distinct str)",
        other_dict("other_keys", other_keys="shuffled(distinct_copies(keys), 1)"),
        {"pandas reindex + add": KEYED_PANDAS},
    ),
    Workload(
        "multiply_scalar(2.0)",
        {},
        "x.multiply_scalar(2.0)",
        {
            "numpy a * 2.0": "na * 2.0",
            "pandas s * 2.0": "s1 * 2.0",
            "dict comprehension": "{k: v * 2.0 for k, v in d1.items()}",
        },
        (("x.multiply_scalar(2.0)", "{k: v * 2.0 for k, v in d1.items()}"),),
    ),
    # sum(d.values()) is compensated (Neumaier) from Python 3.12 on: it rounds
    # less than a strict fold, and costs more.
    Workload(
        "sum()",
        {"c_fold": "load_c_fold()", "va": "array('d', d1.values())", "address": "va.buffer_info()[0]"},
        "x.sum()",
        {"C fold (-O2)": "c_fold(address, n)", "sum(d.values())": "sum(d1.values())"},
        (("x.sum()", "plain_fold(d1.values())"),),
    ),
    pipeline(
        "pipeline, one family",
        {
            "b": "x.multiply_scalar(1.5)",
            "db": "{k: v * 1.5 for k, v in d1.items()}",
            "c": "x.add_scalar(2.0)",
            "dc": "{k: v + 2.0 for k, v in d1.items()}",
            "d": "x.multiply_scalar(-0.75)",
            "dd": "{k: v * -0.75 for k, v in d1.items()}",
            "sb": "s1 * 1.5",
            "sc": "s1 + 2.0",
            "sd": "s1 * -0.75",
            "nb": "na * 1.5",
            "nc": "na + 2.0",
            "nd": "na * -0.75",
        },
        get="{other}[k]",
        pandas="(((s1 + sb) * sc - sd) * 0.5).sum()",
    ),
    # b, c and d hold the same keys in other orders, with other values.
    pipeline(
        "pipeline, separate dicts",
        {
            "db": "dict(zip(shuffled(keys, 2), make_values(n, 2)))",
            "dc": "dict(zip(shuffled(keys, 3), make_values(n, 3)))",
            "dd": "dict(zip(shuffled(keys, 4), make_values(n, 4)))",
            "b": "JadeDict(db)",
            "c": "JadeDict(dc)",
            "d": "JadeDict(dd)",
            "sb": "pd.Series(db)",
            "sc": "pd.Series(dc)",
            "sd": "pd.Series(dd)",
        },
        get="{other}.get(k, 0.0)",
        pandas="(((s1 + sb.reindex(s1.index, fill_value=0.0)) * sc.reindex(s1.index, "
        "fill_value=0.0) - sd.reindex(s1.index, fill_value=0.0)) * 0.5).sum()",
    ),
]
