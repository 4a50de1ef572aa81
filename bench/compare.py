#!/usr/bin/env python3
"""Compare jadefox.JadeDict with plain dicts, numpy and pandas.

Run from the repository root after installing jadefox (``pip install .[bench]``
brings numpy and pandas too):

    python bench/compare.py                     # full run, 3-4 minutes on 2 cores
    python bench/compare.py --quick             # smaller sizes, fewer repeats
    python bench/compare.py --sizes 1000,1000000 --repeat 7
    python bench/compare.py --json -            # JSON on stdout, table on stderr
    python bench/compare.py --only "same key order,shuffled"   # some rows only
    python bench/compare.py --merge a.json,b.json,c.json   # medians of runs

Every timing is the best of --repeat samples taken in this one process with
time.perf_counter_ns; a sample of a fast operation loops over it until it lasts
at least ~20 ms. Times are nanoseconds per key and every ratio is
"peer time / jadefox time", so a ratio above 1 means jadefox is faster (for the
memory rows: peer bytes / jadefox bytes, above 1 means jadefox is smaller).
Every jadefox result is checked bit for bit against a plain-Python reference
before it is timed. Nothing here asserts anything about speed: it only prints.
"""

from __future__ import annotations

import argparse
import array
import ctypes
import gc
import itertools
import json
import math
import os
import platform
import random
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
DEFAULT_JSON = os.path.join(REPO, "build", "bench-results.json")
DEFAULT_SIZES = (10, 1_000, 100_000, 1_000_000)
QUICK_SIZES = (10, 1_000, 100_000)
MEMORY_COPIES = 20
MEMORY_COPIES_DICT = 5  # each dict copy is ~60 MB at 1,000,000 keys
LOOKUP_CAP = 200_000  # lookups per sample at most: a uniform sample of the keys
LONG_CALL_NS = 250_000_000
SLOW_BUDGET_NS = 1_500_000_000
perf_counter_ns = time.perf_counter_ns

KEYED_SHUFFLED = "add, keyed (same keys shuffled)"
KEYED_SHUFFLED_DISTINCT = "add, keyed (shuffled, distinct str)"
SEPARATE_SHARED = "add, same key order (shared str)"
SEPARATE_DISTINCT = "add, same key order (distinct str)"

# --------------------------------------------------------------------------
# optional peers

try:
    import numpy as np
except ImportError:  # pragma: no cover - depends on the environment
    np = None
try:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        import pandas as pd
except ImportError:  # pragma: no cover
    pd = None


def _import_jadefox():
    try:
        import jadefox
    except ImportError as exc:
        sys.stderr.write(
            f"cannot import jadefox ({exc}).\n"
            "Install it first, e.g. `pip install .[bench]` from the repository root.\n")
        sys.exit(2)
    return jadefox


# --------------------------------------------------------------------------
# data: identifier-like keys (some non-ASCII) and seeded random floats

_COLOURS = ("blue", "red", "green", "black", "white", "grey", "navy", "teal")
_PATTERNS = (
    (30, lambda i, r: f"user_{i:06d}"),
    (20, lambda i, r: f"sku-{i}-{r.choice(_COLOURS)}"),
    (10, lambda i, r: f"order.{i:x}"),
    (10, lambda i, r: f"metric/cpu{i % 64}/{i}"),
    (10, lambda i, r: f"acct:{i:08d}:eur"),
    (7, lambda i, r: f"café_{i}"),
    (7, lambda i, r: f"straße_{i}"),
    (6, lambda i, r: f"東京_{i}"),
)
_ABSENT_OFFSET = 10_000_000


def make_keys(n: int, rng: random.Random, offset: int = 0) -> list[str]:
    """n distinct keys; every pattern embeds the running number, so keys never
    repeat, and offset > n gives keys that are absent from the first set."""
    weights = [w for w, _ in _PATTERNS]
    makers = [m for _, m in _PATTERNS]
    picks = rng.choices(range(len(makers)), weights=weights, k=n)
    return [makers[p](i + offset, rng) for i, p in enumerate(picks)]


def make_values(n: int, rng: random.Random) -> list[float]:
    u = rng.uniform
    return [u(-1000.0, 1000.0) for _ in range(n)]


def shuffled(items, rng: random.Random) -> list:
    out = list(items)
    rng.shuffle(out)
    return out


# --------------------------------------------------------------------------
# bit-exact checks


class CheckFailed(Exception):
    pass


def _bits(v: float) -> bytes:
    return struct.pack("<d", v)


def same(a, b) -> bool:
    if type(a) is not float or type(b) is not float:
        return False
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return _bits(a) == _bits(b)


def check_float(got, want, what: str) -> None:
    if not same(got, want):
        raise CheckFailed(f"{what}: got {got!r}, want {want!r}")


def check_dict(got, want: dict, what: str) -> None:
    if type(got) is not dict:
        raise CheckFailed(f"{what}: to_dict gave {type(got).__name__}, not dict")
    if len(got) != len(want) or list(got) != list(want):
        raise CheckFailed(f"{what}: keys or key order differ from the reference")
    gv = list(got.values())
    if not all(type(v) is float for v in gv):
        raise CheckFailed(f"{what}: a value is not a float")
    if array.array("d", gv).tobytes() == array.array("d", want.values()).tobytes():
        return
    for k, v in want.items():  # slow path: NaN-aware, names the first bad key
        if not same(got[k], v):
            raise CheckFailed(f"{what}: [{k!r}] got {got[k]!r}, want {v!r}")


def check_jd(x, want: dict, what: str) -> None:
    check_dict(x.to_dict, want, what)


def fold_sum(values) -> float:
    acc = -0.0
    for v in values:
        acc += v
    return acc


# --------------------------------------------------------------------------
# timing


def measure(fn, per: int, repeat: int, min_sample_ns: int) -> float:
    """Best of `repeat` samples, in ns per key (`per` keys per call).

    A call that takes longer than LONG_CALL_NS is its own warm-up and counts
    as a sample, and such calls get at most max(2, SLOW_BUDGET_NS / call)
    samples, so the slowest peers at 1,000,000 keys do not dominate the run."""
    gc.collect()
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        t0 = perf_counter_ns()
        fn()
        one = perf_counter_ns() - t0
        inner = 1
        best = None
        if one < min_sample_ns:
            inner = max(1, min_sample_ns // max(one, 1))
            t0 = perf_counter_ns()
            for _ in itertools.repeat(None, inner):
                fn()
            el = perf_counter_ns() - t0
            inner = max(1, math.ceil(inner * min_sample_ns / max(el, 1)))
        elif one >= LONG_CALL_NS:
            best = one
            repeat = max(1, min(repeat - 1, SLOW_BUDGET_NS // one))
        for _ in range(repeat):
            t0 = perf_counter_ns()
            for _ in itertools.repeat(None, inner):
                fn()
            el = perf_counter_ns() - t0
            if best is None or el < best:
                best = el
    finally:
        if was_enabled:
            gc.enable()
    return best / inner / per


def _spin(seconds: float) -> None:
    end = perf_counter_ns() + int(seconds * 1e9)
    while perf_counter_ns() < end:
        pass


# --------------------------------------------------------------------------
# the C fold


def build_c_fold():
    """Compile bench/_fold.c with -O2 into a temporary directory; returns
    (callable taking (address, n), compiler description) or (None, reason)."""
    cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if not cc:
        return None, "no C compiler found"
    src = os.path.join(HERE, "_fold.c")
    tmp = tempfile.mkdtemp(prefix="jadefox-bench-")
    lib = os.path.join(tmp, "fold.so")
    try:
        r = subprocess.run([cc, "-O2", "-shared", "-fPIC", "-o", lib, src],
                           capture_output=True, text=True, timeout=120)
        if r.returncode != 0:
            return None, f"{cc} failed: {r.stderr.strip()[:200]}"
        dll = ctypes.CDLL(lib)
    except (OSError, subprocess.SubprocessError) as exc:
        return None, f"cannot build the C fold: {exc}"
    finally:
        shutil.rmtree(tmp, ignore_errors=True)  # the loaded mapping stays valid
    fold = dll.fold
    fold.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    fold.restype = ctypes.c_double
    try:
        ver = subprocess.run([cc, "--version"], capture_output=True, text=True,
                             timeout=30).stdout.splitlines()[0]
    except (OSError, subprocess.SubprocessError, IndexError):
        ver = cc
    return fold, ver


# --------------------------------------------------------------------------
# loops (same shape for jadefox and dict)


def _lookup_jd(x, keys):
    for k in keys:
        x[k]


def _lookup_get(d, keys):
    for k in keys:
        d.get(k)


def _lookup_subscript(d, keys):
    for k in keys:
        d[k]


# --------------------------------------------------------------------------
# the workloads


class Runner:
    def __init__(self, jf, args, out):
        self.jf = jf
        self.args = args
        self.out = out
        self.rows: list[dict] = []
        self.failures = 0
        self.min_ns = 5_000_000 if args.quick else 20_000_000

    def say(self, msg: str) -> None:
        print(msg, file=self.out, flush=True)

    def row(self, workload, n, check, jd_fn, peers, per=None, notes=()):
        """check: callable raising CheckFailed; peers: list of (name, fn or
        None, note)."""
        if self.args.only and not any(w in workload for w in self.args.only):
            return None
        per = per or n
        rec = {"workload": workload, "n": n, "unit": "ns/key", "check": "ok",
               "jadefox": None, "peers": [], "notes": list(notes)}
        try:
            check()
        except CheckFailed as exc:
            rec["check"] = f"FAILED: {exc}"
            self.failures += 1
            self.say(f"  !! {workload} n={n}: {rec['check']}")
            self.rows.append(rec)
            return rec
        rep, mn = self.args.repeat, self.min_ns
        t_row = time.monotonic()
        jd = measure(jd_fn, per, rep, mn)
        rec["jadefox"] = jd
        for name, fn, note in peers:
            if fn is None:
                rec["peers"].append({"name": name, "ns": None, "ratio": None, "note": note})
                continue
            try:
                t = measure(fn, per, rep, mn)
            except Exception as exc:  # a peer library's API changed: report, go on
                rec["peers"].append({"name": name, "ns": None, "ratio": None,
                                     "note": f"failed: {type(exc).__name__}: {exc}"[:120]})
                continue
            rec["peers"].append({"name": name, "ns": t, "ratio": t / jd if jd else None,
                                 "note": note})
        self.rows.append(rec)
        peers_txt = ", ".join(
            f"{p['name']} {p['ratio']:.2f}x" for p in rec["peers"] if p["ratio"] is not None)
        self.say(f"  {workload:<36} n={n:<9,} jadefox {fmt_num(jd)} ns/key  {peers_txt}"
                 f"  [{time.monotonic() - t_row:.1f} s]")
        return rec

    # ----------------------------------------------------------------
    def run_size(self, n, master_keys, master_vals, absent_master, c_fold):
        jf = self.jf
        JadeDict = jf.JadeDict
        rng = random.Random(self.args.seed * 1_000_003 + n)
        keys = master_keys[:n]
        vals = master_vals[:n]
        d1 = dict(zip(keys, vals))
        np_skip = "numpy not installed" if np is None else None
        pd_skip = "pandas not installed" if pd is None else None

        # ---- build
        def chk_build():
            check_jd(JadeDict(d1), d1, "JadeDict(d)")
        self.row("build", n, chk_build, lambda: JadeDict(d1), [
            ("dict comprehension", lambda: {k: float(v) for k, v in d1.items()}, None),
            ("pandas.Series(d)", None if pd is None else (lambda: pd.Series(d1)), pd_skip),
        ])

        x = JadeDict(d1)
        s1 = pd.Series(d1) if pd is not None else None

        # ---- export
        self.row("export to_dict", n, lambda: check_dict(x.to_dict, d1, "to_dict"),
                 lambda: x.to_dict, [
                     ("pandas to_dict()", None if pd is None else s1.to_dict, pd_skip),
                 ])

        # ---- lookup
        m = min(n, LOOKUP_CAP)
        present = rng.sample(keys, m)  # uniform over all n keys, random order
        absent = rng.sample(absent_master[:n], m)

        def chk_present():
            for k in present:
                check_float(x[k], d1[k], f"x[{k!r}]")

        def chk_absent():
            for k in absent:
                if x[k] is not None:
                    raise CheckFailed(f"x[{k!r}] gave {x[k]!r} for an absent key")

        self.row("lookup present", n, chk_present, lambda: _lookup_jd(x, present), [
            ("dict.get(k)", lambda: _lookup_get(d1, present), None),
            ("dict d[k] (info)", lambda: _lookup_subscript(d1, present), None),
        ], per=m)
        self.row("lookup absent", n, chk_absent, lambda: _lookup_jd(x, absent), [
            ("dict.get(k)", lambda: _lookup_get(d1, absent), None),
        ], per=m)

        # ---- pairwise add, one family (positional)
        b = x.multiply_scalar(1.5)
        db = {k: v * 1.5 for k, v in d1.items()}
        ref = {k: v + db[k] for k, v in d1.items()}
        na = nb = s2 = None
        if np is not None:
            na = np.fromiter(d1.values(), dtype=np.float64, count=n)
            nb = na * 1.5
        if pd is not None:
            s2 = s1 * 1.5

        def chk_pos():
            check_jd(b, db, "x.multiply_scalar(1.5)")
            check_jd(x.add(b), ref, "x.add(b) (one family)")
        self.row("add, positional (one family)", n, chk_pos, lambda: x.add(b), [
            ("numpy a + b", None if np is None else (lambda: na + nb), np_skip),
            ("pandas s1 + s2", None if pd is None else (lambda: s1 + s2), pd_skip),
            ("dict comprehension", lambda: {k: v + db[k] for k, v in d1.items()}, None),
        ])

        # ---- keyed add between separately built dictionaries
        for label, other_keys in (
                (KEYED_SHUFFLED, shuffled(keys, rng)),
                ("add, keyed (other has half)", rng.sample(keys, n // 2))):
            d2 = dict(zip(other_keys, make_values(len(other_keys), rng)))
            y = JadeDict(d2)
            ref = {k: v + d2.get(k, 0.0) for k, v in d1.items()}
            t2 = pd.Series(d2) if pd is not None else None

            def chk_keyed(y=y, d2=d2, ref=ref):
                check_jd(y, d2, "JadeDict(other)")
                check_jd(x.add(y), ref, "x.add(y) (keyed)")
            self.row(label, n, chk_keyed, lambda y=y: x.add(y), [
                ("pandas reindex + add", None if pd is None else
                 (lambda t2=t2: s1 + t2.reindex(s1.index, fill_value=0.0)), pd_skip),
                ("dict comprehension", lambda d2=d2: {k: v + d2.get(k, 0.0) for k, v in d1.items()},
                 None),
            ])
            del d2, y, ref, t2

        self._separate_same_keys(n, rng, x, d1, s1)

        # ---- multiply_scalar
        ref = {k: v * 2.0 for k, v in d1.items()}
        self.row("multiply_scalar(2.0)", n,
                 lambda: check_jd(x.multiply_scalar(2.0), ref, "x.multiply_scalar(2.0)"),
                 lambda: x.multiply_scalar(2.0), [
                     ("numpy a * 2.0", None if np is None else (lambda: na * 2.0), np_skip),
                     ("pandas s * 2.0", None if pd is None else (lambda: s1 * 2.0), pd_skip),
                     ("dict comprehension", lambda: {k: v * 2.0 for k, v in d1.items()}, None),
                 ])

        # ---- sum
        want = fold_sum(d1.values())
        buf = na if na is not None else array.array("d", d1.values())
        addr = buf.ctypes.data if na is not None else buf.buffer_info()[0]
        c_fold_fn, c_note = c_fold
        if c_fold_fn is not None and not same(c_fold_fn(addr, n), want):
            c_fold_fn, c_note = None, "the C fold disagreed with the reference"

        def chk_sum():
            check_float(x.sum(), want, "x.sum()")
        self.row("sum()", n, chk_sum, x.sum, [
            ("C fold (-O2)", None if c_fold_fn is None else (lambda: c_fold_fn(addr, n)), c_note),
            ("sum(d.values())", lambda: sum(d1.values()), None),
        ], notes=["sum(d.values()) is compensated (Neumaier) on Python >= 3.12"])
        del buf

        # ---- pipelines
        self._pipelines(n, rng, x, d1, s1, na)

    def _separate_same_keys(self, n, rng, x, d1, s1):
        """Two dictionaries built separately from dicts over the same keys:
        in the same order (the key indexes are equal, so the add is
        positional), with the very same str objects or with distinct equal
        ones, and shuffled with distinct objects (keyed)."""
        JadeDict = self.jf.JadeDict
        pd_skip = "pandas not installed" if pd is None else None
        keys = list(d1)
        distinct = [k.encode().decode() for k in keys]
        shared_objects = sum(a is b for a, b in zip(keys, distinct))
        values = make_values(n, rng)
        for label, other_keys in ((SEPARATE_SHARED, keys), (SEPARATE_DISTINCT, distinct),
                                  (KEYED_SHUFFLED_DISTINCT, shuffled(distinct, rng))):
            d2 = dict(zip(other_keys, values))
            y = JadeDict(d2)
            ref = {k: v + d2[k] for k, v in d1.items()}
            t2 = pd.Series(d2) if pd is not None else None
            peers = []
            if label != KEYED_SHUFFLED_DISTINCT:
                peers.append(("pandas s1 + s2", None if pd is None else
                              (lambda t2=t2: s1 + t2), pd_skip))
            peers.append(("pandas reindex + add", None if pd is None else
                          (lambda t2=t2: s1 + t2.reindex(s1.index, fill_value=0.0)), pd_skip))

            def chk(y=y, d2=d2, ref=ref):
                check_jd(y, d2, "JadeDict(other)")
                check_jd(x.add(y), ref, "x.add(y) (built separately)")
            notes = ([f"{shared_objects} of {n} keys share one str object"]
                     if label != SEPARATE_SHARED else [])
            self.row(label, n, chk, lambda y=y: x.add(y), peers, notes=notes)
            del d2, y, ref, t2

    def _pipelines(self, n, rng, x, d1, s1, na):
        JadeDict = self.jf.JadeDict
        np_skip = "numpy not installed" if np is None else None
        pd_skip = "pandas not installed" if pd is None else None
        keys = list(d1)

        # one family: every operand derived from x by arithmetic
        a = x
        b, c, d = a.multiply_scalar(1.5), a.add_scalar(2.0), a.multiply_scalar(-0.75)
        db = {k: v * 1.5 for k, v in d1.items()}
        dc = {k: v + 2.0 for k, v in d1.items()}
        dd = {k: v * -0.75 for k, v in d1.items()}
        ref = {k: ((v + db[k]) * dc[k] - dd[k]) * 0.5 for k, v in d1.items()}
        want = fold_sum(ref.values())

        def jd_fam():
            return a.add(b).multiply(c).subtract(d).multiply_scalar(0.5).sum()

        def chk_fam():
            check_jd(a.add(b).multiply(c).subtract(d).multiply_scalar(0.5), ref,
                     "pipeline (one family)")
            check_float(jd_fam(), want, "pipeline sum (one family)")

        def chain_fam():
            t = {k: v + db[k] for k, v in d1.items()}
            t = {k: v * dc[k] for k, v in t.items()}
            t = {k: v - dd[k] for k, v in t.items()}
            t = {k: v * 0.5 for k, v in t.items()}
            return sum(t.values())

        def fused_fam():
            return sum(((v + db[k]) * dc[k] - dd[k]) * 0.5 for k, v in d1.items())

        peers = [("dict comprehension chain", chain_fam, None),
                 ("fused generator", fused_fam, None)]
        if pd is not None:
            sb, sc, sd = s1 * 1.5, s1 + 2.0, s1 * -0.75
            peers.append(("pandas", lambda: (((s1 + sb) * sc - sd) * 0.5).sum(), None))
        else:
            peers.append(("pandas", None, pd_skip))
        if np is not None:
            nb, nc, nd = na * 1.5, na + 2.0, na * -0.75
            peers.append(("numpy", lambda: (((na + nb) * nc - nd) * 0.5).sum(), None))
        else:
            peers.append(("numpy", None, np_skip))
        self.row("pipeline, one family", n, chk_fam, jd_fam, peers)
        del ref, db, dc, dd, peers

        # separately built: b, c, d hold the same keys in other orders
        ds = []
        for _ in range(3):
            ks = shuffled(keys, rng)
            ds.append(dict(zip(ks, make_values(n, rng))))
        db, dc, dd = ds
        b, c, d = (JadeDict(t) for t in ds)
        ref = {k: ((v + db.get(k, 0.0)) * dc.get(k, 0.0) - dd.get(k, 0.0)) * 0.5
               for k, v in d1.items()}
        want = fold_sum(ref.values())

        def jd_sep():
            return a.add(b).multiply(c).subtract(d).multiply_scalar(0.5).sum()

        def chk_sep():
            check_jd(a.add(b).multiply(c).subtract(d).multiply_scalar(0.5), ref,
                     "pipeline (separate)")
            check_float(jd_sep(), want, "pipeline sum (separate)")

        def chain_sep():
            t = {k: v + db.get(k, 0.0) for k, v in d1.items()}
            t = {k: v * dc.get(k, 0.0) for k, v in t.items()}
            t = {k: v - dd.get(k, 0.0) for k, v in t.items()}
            t = {k: v * 0.5 for k, v in t.items()}
            return sum(t.values())

        def fused_sep():
            return sum(((v + db.get(k, 0.0)) * dc.get(k, 0.0) - dd.get(k, 0.0)) * 0.5
                       for k, v in d1.items())

        peers = [("dict comprehension chain", chain_sep, None),
                 ("fused generator", fused_sep, None)]
        if pd is not None:
            tb, tc, td = (pd.Series(t) for t in ds)
            ix = s1.index

            def pandas_sep():
                return (((s1 + tb.reindex(ix, fill_value=0.0))
                         * tc.reindex(ix, fill_value=0.0)
                         - td.reindex(ix, fill_value=0.0)) * 0.5).sum()
            peers.append(("pandas", pandas_sep, None))
        else:
            peers.append(("pandas", None, pd_skip))
        self.row("pipeline, separate dicts", n, chk_sep, jd_sep, peers)


# --------------------------------------------------------------------------
# memory: each candidate in a fresh interpreter


def _rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _settle() -> None:
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def memory_probe(cand: str, n: int, seed: int) -> dict:
    """In a fresh interpreter: RSS growth of one construction from the dict,
    then of MEMORY_COPIES derived copies of the constructed object."""
    rng = random.Random(seed)
    keys = make_keys(n, rng)
    vals = make_values(n, rng)
    d = dict(zip(keys, vals))
    key_bytes = sum(len(k.encode("utf-8")) for k in keys) / n
    if cand == "jadefox":
        jf = _import_jadefox()
        build, derive = (lambda: jf.JadeDict(d)), (lambda o: o.multiply_scalar(1.0))
    elif cand == "dict":
        build = lambda: {k: float(v) for k, v in d.items()}  # noqa: E731
        derive = lambda o: {k: v * 1.0 for k, v in o.items()}  # noqa: E731
    elif cand == "pandas":
        if pd is None:
            return {"name": cand, "skipped": "pandas not installed"}
        build, derive = (lambda: pd.Series(d)), (lambda o: o * 1.0)
    elif cand == "numpy":
        if np is None:
            return {"name": cand, "skipped": "numpy not installed"}
        build = lambda: np.fromiter(d.values(), dtype=np.float64, count=n)  # noqa: E731
        derive = lambda o: o * 1.0  # noqa: E731
    else:
        raise SystemExit(f"unknown memory probe {cand!r}")
    _settle()
    r0 = _rss()
    base = build()
    _settle()
    r1 = _rss()
    derive(base)  # a first derivation may set up something lazily; not counted
    _settle()
    r2 = _rss()
    copies = MEMORY_COPIES_DICT if cand == "dict" else MEMORY_COPIES
    objs = [derive(base) for _ in range(copies)]
    _settle()
    r3 = _rss()
    del objs, base
    return {"name": cand, "n": n, "key_bytes_per_key": key_bytes,
            "construction": (r1 - r0) / n, "construction_rss_growth": r1 - r0,
            "derived": (r3 - r2) / copies / n, "derived_rss_growth": r3 - r2,
            "copies": copies}


MEMORY_PEERS = {"dict": "dict comprehension", "pandas": "pandas Series",
                "numpy": "numpy array (values only)"}


def run_memory(n: int, seed: int, say) -> list[dict]:
    res = {}
    for cand in ("jadefox", "dict", "pandas", "numpy"):
        try:
            p = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-probe",
                                cand, "--memory-n", str(n), "--seed", str(seed)],
                               capture_output=True, text=True, timeout=900)
            line = p.stdout.strip().splitlines()[-1] if p.stdout.strip() else ""
            res[cand] = json.loads(line) if p.returncode == 0 and line else {
                "name": cand, "skipped": f"probe failed: {p.stderr.strip()[-300:]}"}
        except (subprocess.SubprocessError, ValueError) as exc:
            res[cand] = {"name": cand, "skipped": f"probe failed: {exc}"}
    rows = []
    for kind in ("derived", "construction"):
        jd = res["jadefox"]
        rec = {"workload": f"memory: {kind}", "n": n, "unit": "bytes/key",
               "check": "ok" if kind in jd else jd.get("skipped", "failed"),
               "jadefox": jd.get(kind), "peers": [],
               "key_bytes": jd.get("key_bytes_per_key"), "notes": []}
        if kind == "derived":
            rec["notes"].append(f"RSS growth of {MEMORY_COPIES} x.multiply_scalar(1.0) / "
                                f"{MEMORY_COPIES} / n; pandas/numpy: {MEMORY_COPIES} x * 1.0; "
                                f"dict: {MEMORY_COPIES_DICT} {{k: v * 1.0}} comprehensions")
        else:
            rec["notes"].append("RSS growth of one construction / n; the dict comprehension "
                                "shares the input's float objects (float(v) returns v)")
        for cand, label in MEMORY_PEERS.items():
            r = res[cand]
            v = r.get(kind)
            ratio = v / rec["jadefox"] if v is not None and rec["jadefox"] else None
            rec["peers"].append({"name": label, "ns": v, "ratio": ratio, "note": r.get("skipped")})
        rows.append(rec)
        extra = f" (key bytes/key {rec['key_bytes']:.2f})" if rec["key_bytes"] else ""
        say(f"  {rec['workload']:<34} n={n:<9,} jadefox "
            f"{fmt_num(rec['jadefox'])} bytes/key{extra}")
    return rows


# --------------------------------------------------------------------------
# targets


def _find(rows, workload, n=None):
    return [r for r in rows if r["workload"] == workload and (n is None or r["n"] == n)
            and r.get("jadefox") is not None]


def _peer(row, name):
    for p in row["peers"]:
        if p["name"] == name and p.get("ratio") is not None:
            return p
    return None


def evaluate_targets(rows) -> list[dict]:
    out = []

    def add(goal, row, met, detail):
        out.append({"goal": goal, "n": row["n"] if row else None,
                    "status": "n/a" if met is None else ("met" if met else "missed"),
                    "detail": detail})

    # positional add and multiply_scalar vs numpy
    for wl, peer in (("add, positional (one family)", "numpy a + b"),
                     ("multiply_scalar(2.0)", "numpy a * 2.0")):
        for n, limit in ((1_000_000, 1.2), (1_000, 1.5)):
            goal = f"{wl} <= {limit}x numpy's time at n={n:,}"
            rs = _find(rows, wl, n)
            p = _peer(rs[0], peer) if rs else None
            if not p:
                add(goal, None, None, "not measured")
                continue
            rel = 1.0 / p["ratio"]  # jadefox time / numpy time
            add(goal, rs[0], rel <= limit,
                f"jadefox {fmt_num(rs[0]['jadefox'])} vs numpy {fmt_num(p['ns'])} ns/key "
                f"= {rel:.2f}x numpy's time")

    def faster_than(wl, peer, need, only_n=None):
        """wl >= need x faster than peer at every n >= 1,000 (or at only_n)."""
        rs = [r for r in _find(rows, wl) if r["n"] >= 1_000 and only_n in (None, r["n"])]
        goal = (f"{wl}: >= {need}x faster than {peer} "
                + (f"(n = {only_n:,})" if only_n else "(n >= 1,000)"))
        if not rs:
            add(goal, None, None, "not measured")
        for r in rs:
            p = _peer(r, peer)
            if p is None:
                add(goal, r, None, "peer not measured")
                continue
            add(goal, r, p["ratio"] >= need, f"{p['ratio']:.2f}x faster")

    # keyed add
    for wl in (KEYED_SHUFFLED, "add, keyed (other has half)"):
        for peer, need in (("pandas reindex + add", 1.5), ("dict comprehension", 5.0)):
            faster_than(wl, peer, need)
    faster_than(KEYED_SHUFFLED, "pandas reindex + add", 2.5, only_n=1_000_000)

    # separately built dictionaries over the same keys
    for wl in (SEPARATE_SHARED, SEPARATE_DISTINCT):
        faster_than(wl, "pandas s1 + s2", 3.0)
        faster_than(wl, "pandas reindex + add", 5.0)
    faster_than(KEYED_SHUFFLED_DISTINCT, "pandas reindex + add", 3.0)

    # build
    for peer, need, strict in (("pandas.Series(d)", 1.0, True), ("dict comprehension", 3.0, False)):
        rs = [r for r in _find(rows, "build") if r["n"] >= 1_000]
        goal = (f"build faster than {peer} (n >= 1,000)" if strict else
                f"build >= {need}x faster than the {peer} (n >= 1,000)")
        for r in rs:
            p = _peer(r, peer)
            if p is None:
                add(goal, r, None, "peer not measured")
                continue
            ok = p["ratio"] > need if strict else p["ratio"] >= need
            add(goal, r, ok, f"{p['ratio']:.2f}x faster")

    # to_dict
    for r in _find(rows, "export to_dict"):
        p = _peer(r, "pandas to_dict()")
        goal = "to_dict >= 1.5x faster than pandas to_dict()"
        if p is None:
            add(goal, r, None, "peer not measured")
        else:
            add(goal, r, p["ratio"] >= 1.5, f"{p['ratio']:.2f}x faster")

    # lookups
    for wl in ("lookup present", "lookup absent"):
        for r in _find(rows, wl):
            p = _peer(r, "dict.get(k)")
            goal = f"x[k] no slower than d.get(k) ({wl.split()[1]} keys)"
            if p is None:
                add(goal, r, None, "peer not measured")
            else:
                add(goal, r, p["ratio"] >= 1.0,
                    f"jadefox {fmt_num(r['jadefox'])} vs d.get {fmt_num(p['ns'])} ns/key "
                    f"({p['ratio']:.2f}x)")

    # sum
    for r in _find(rows, "sum()"):
        p = _peer(r, "C fold (-O2)")
        goal = "sum() within 1.1x of the C fold"
        if p is None:
            add(goal, r, None, "C fold not measured")
        else:
            rel = 1.0 / p["ratio"]
            add(goal, r, rel <= 1.1, f"{rel:.2f}x the C fold's time")
        p = _peer(r, "sum(d.values())")
        goal = "sum() >= 5x faster than sum(d.values())"
        if p is None:
            add(goal, r, None, "peer not measured")
        else:
            add(goal, r, p["ratio"] >= 5.0, f"{p['ratio']:.2f}x faster")

    # memory
    for r in _find(rows, "memory: derived"):
        add("derived dictionary <= 8.1 bytes/key", r, r["jadefox"] <= 8.1,
            f"{r['jadefox']:.2f} bytes/key")
    for r in _find(rows, "memory: construction"):
        kb = r.get("key_bytes") or 0.0
        add("construction <= 40 bytes/key + key bytes", r, r["jadefox"] <= 40.0 + kb,
            f"{r['jadefox']:.2f} bytes/key, limit {40.0 + kb:.2f} (key bytes {kb:.2f})")
    return out


# --------------------------------------------------------------------------
# output


def fmt_num(v) -> str:
    if v is None:
        return "-"
    a = abs(v)
    if a >= 1000:
        return f"{v:,.0f}"
    if a >= 100:
        return f"{v:.0f}"
    if a >= 10:
        return f"{v:.1f}"
    return f"{v:.2f}"


def print_table(rows, out, title="results") -> None:
    w = (36, 10, 12, 28, 12, 8)
    head = ("workload", "n", "jadefox", "peer", "peer", "ratio")
    sub = ("", "", "ns/key", "", "ns/key", "peer/jf")
    line = lambda cells: "  ".join(  # noqa: E731
        str(c).ljust(w[i]) if i in (0, 3) else str(c).rjust(w[i]) for i, c in enumerate(cells))
    print(f"\n== {title} (ratio = peer time / jadefox time; > 1 means jadefox is faster;"
          " memory rows: bytes/key) ==", file=out)
    print(line(head), file=out)
    print(line(sub), file=out)
    print("-" * (sum(w) + 10), file=out)
    last = None
    for r in rows:
        if r["workload"] != last:
            if last is not None:
                print("", file=out)
            last = r["workload"]
        if r.get("jadefox") is None:
            print(line((r["workload"], f"{r['n']:,}", "-", r.get("check", ""), "", "")), file=out)
            continue
        first = True
        peers = r["peers"] or [{"name": "", "ns": None, "ratio": None}]
        for p in peers:
            cells = (r["workload"] if first else "", f"{r['n']:,}" if first else "",
                     fmt_num(r["jadefox"]) if first else "", p["name"],
                     fmt_num(p["ns"]) if p["ns"] is not None else (p.get("note") or "skipped"),
                     f"{p['ratio']:.2f}" if p.get("ratio") is not None else "-")
            print(line(cells), file=out)
            first = False
        if r.get("key_bytes"):
            print(line(("", "", "", "(key bytes/key)", fmt_num(r["key_bytes"]), "")), file=out)


def print_targets(targets, out) -> None:
    print("\n== targets ==", file=out)
    width = max((len(t["goal"]) for t in targets), default=10)
    for t in targets:
        n = f"n={t['n']:,}" if t["n"] else ""
        print(f"  [{t['status']:<6}] {t['goal']:<{width}}  {n:<12} {t['detail']}", file=out)
    met = sum(t["status"] == "met" for t in targets)
    missed = sum(t["status"] == "missed" for t in targets)
    print(f"  {met} met, {missed} missed", file=out)


def machine_info(jf, c_note) -> dict:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for ln in f:
                if ln.lower().startswith("model name"):
                    cpu = ln.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "cpu": cpu, "cpus": os.cpu_count(), "python": platform.python_version(),
        "python_implementation": platform.python_implementation(),
        "platform": platform.platform(),
        "numpy": getattr(np, "__version__", None), "pandas": getattr(pd, "__version__", None),
        "jadefox": getattr(jf, "__file__", None) if jf else None,
        "c_fold_compiler": c_note,
        "loadavg_at_start": _loadavg(),
    }


def _loadavg():
    try:
        return list(os.getloadavg())
    except (OSError, AttributeError):
        return None


def print_machine(meta, out) -> None:
    print(f"\nmachine: {meta['cpu']} ({meta['cpus']} CPUs), {meta['python_implementation']} "
          f"{meta['python']}, numpy {meta['numpy'] or 'not installed'}, "
          f"pandas {meta['pandas'] or 'not installed'}, C fold: {meta['c_fold_compiler']}",
          file=out)
    la = meta.get("loadavg_at_start")
    if la:
        print(f"load average at start {la[0]:.2f}"
              + (f", at end {meta['loadavg_at_end'][0]:.2f}" if meta.get("loadavg_at_end") else "")
              + f" (on {meta['cpus']} CPUs; other work on the machine makes timings noisy)",
              file=out)
    if meta.get("loadavg_runs"):
        txt = ", ".join(f"{a:.1f}->{b:.1f}" for a, b in meta["loadavg_runs"]
                        if a is not None and b is not None)
        print(f"load average per run, start->end: {txt} (on {meta['cpus']} CPUs)", file=out)
    if meta.get("runs"):
        print(f"medians of {meta['runs']} runs (ratio = median peer time / median jadefox "
              "time; per-run figures are in the JSON)", file=out)


def write_json(data, path, out) -> None:
    text = json.dumps(data, indent=1)
    if path == "-":
        sys.stdout.write(text + "\n")
        return
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w") as f:
        f.write(text + "\n")
    print(f"\nresults written to {path}", file=out)


# --------------------------------------------------------------------------
# merging runs


def merge(paths, out) -> dict:
    runs = []
    for p in paths:
        with open(p) as f:
            runs.append(json.load(f))
    med = lambda xs: statistics.median(xs) if xs else None  # noqa: E731
    rows = []
    for r in runs[0]["rows"]:
        same_rows = [x for run in runs for x in run["rows"]
                     if x["workload"] == r["workload"] and x["n"] == r["n"]
                     and x.get("jadefox") is not None]
        m = dict(r)
        m["jadefox"] = med([x["jadefox"] for x in same_rows])
        m["jadefox_samples"] = [x["jadefox"] for x in same_rows]
        m["peers"] = []
        for p in r["peers"]:
            ps = [q for x in same_rows for q in x["peers"]
                  if q["name"] == p["name"] and q.get("ns") is not None]
            pm = med([q["ns"] for q in ps])
            m["peers"].append({
                "name": p["name"], "ns": pm,
                "ratio": pm / m["jadefox"] if pm is not None and m["jadefox"] else None,
                "note": p.get("note"), "samples": [q["ns"] for q in ps],
                "run_ratios": [q["ratio"] for q in ps if q.get("ratio") is not None]})
        if r.get("key_bytes") is not None:
            m["key_bytes"] = med([x["key_bytes"] for x in same_rows if x.get("key_bytes")])
        rows.append(m)
    meta = dict(runs[0]["machine"])
    meta["runs"] = len(runs)
    meta["loadavg_runs"] = [[(r["machine"].get("loadavg_at_start") or [None])[0],
                             (r["machine"].get("loadavg_at_end") or [None])[0]] for r in runs]
    meta.pop("loadavg_at_start", None)
    meta.pop("loadavg_at_end", None)
    return {"machine": meta, "rows": rows, "targets": evaluate_targets(rows),
            "merged_from": list(paths)}


# --------------------------------------------------------------------------


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", help="comma-separated key counts (default 10,1000,100000,1000000)")
    ap.add_argument("--repeat", type=int, default=None, help="samples per timing (default 5)")
    ap.add_argument("--quick", action="store_true",
                    help="sizes 10,1000,100000, 3 repeats, 5 ms samples, memory at 200,000")
    ap.add_argument("--json", default=DEFAULT_JSON,
                    help=f"where to write the results ('-' for stdout; default {DEFAULT_JSON})")
    ap.add_argument("--no-memory", action="store_true", help="skip the memory probes")
    ap.add_argument("--memory-n", type=int, default=None, help="keys for the memory probes")
    ap.add_argument("--seed", type=int, default=20240517)
    ap.add_argument("--only", type=lambda v: [w for w in v.split(",") if w],
                    help="comma-separated parts of workload names: time only those rows "
                         "(and skip the memory probes)")
    ap.add_argument("--merge", help="comma-separated JSON files of earlier runs: print medians")
    ap.add_argument("--memory-probe", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.memory_probe:
        res = memory_probe(args.memory_probe, args.memory_n or 1_000_000, args.seed)
        print(json.dumps(res))
        return 0

    out = sys.stderr if args.json == "-" else sys.stdout

    if args.merge:
        data = merge([p for p in args.merge.split(",") if p], out)
        print_table(data["rows"], out, title=f"medians of {data['machine']['runs']} runs")
        print_machine(data["machine"], out)
        print_targets(data["targets"], out)
        if args.json:
            write_json(data, args.json, out)
        return 0

    jf = _import_jadefox()
    if args.repeat is None:
        args.repeat = 3 if args.quick else 5
    if args.sizes:
        sizes = [int(s.replace("_", "")) for s in args.sizes.split(",") if s.strip()]
    else:
        sizes = list(QUICK_SIZES if args.quick else DEFAULT_SIZES)
    mem_n = args.memory_n or (200_000 if args.quick else 1_000_000)

    if np is None or pd is None:
        missing = " and ".join(m for m, mod in (("numpy", np), ("pandas", pd)) if mod is None)
        print(f"note: {missing} not installed; those peers are skipped "
              "(pip install .[bench], or pip install numpy pandas)", file=out)
    c_fold = build_c_fold()
    if c_fold[0] is None:
        print(f"note: C fold skipped ({c_fold[1]})", file=out)
    meta = machine_info(jf, c_fold[1])

    started = time.monotonic()
    top = max(sizes)
    rng = random.Random(args.seed)
    master_keys = make_keys(top, rng)
    master_vals = make_values(top, rng)
    absent_master = make_keys(top, random.Random(args.seed + 1), offset=_ABSENT_OFFSET)

    runner = Runner(jf, args, out)
    _spin(0.5)  # let the CPU leave its idle clocks before the first sample
    for n in sizes:
        print(f"-- n = {n:,}", file=out, flush=True)
        t_size = time.monotonic()
        runner.run_size(n, master_keys, master_vals, absent_master, c_fold)
        print(f"   ({time.monotonic() - t_size:.0f} s)", file=out, flush=True)
        gc.collect()
    del master_keys, master_vals, absent_master
    gc.collect()

    rows = runner.rows
    if not args.no_memory and not args.only:
        if not os.path.exists("/proc/self/statm"):
            print("note: memory probes need /proc/self/statm; skipped", file=out)
        else:
            print(f"-- memory, n = {mem_n:,} (fresh interpreter per candidate)", file=out,
                  flush=True)
            t_mem = time.monotonic()
            rows += run_memory(mem_n, args.seed, lambda m: print(m, file=out, flush=True))
            print(f"   ({time.monotonic() - t_mem:.0f} s)", file=out, flush=True)

    targets = evaluate_targets(rows)
    print_table(rows, out)
    print_machine(meta, out)
    print_targets(targets, out)
    elapsed = time.monotonic() - started
    meta["loadavg_at_end"] = _loadavg()
    print(f"\nelapsed {elapsed:.0f} s", file=out)
    data = {"machine": meta, "settings": {"sizes": sizes, "repeat": args.repeat,
                                          "quick": args.quick, "memory_n": mem_n,
                                          "seed": args.seed, "min_sample_ns": runner.min_ns},
            "rows": rows, "targets": targets, "elapsed_s": elapsed}
    if args.json:
        write_json(data, args.json, out)
    if runner.failures:
        print(f"\n{runner.failures} jadefox result(s) differed from the reference; "
              "those rows were not timed", file=out)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
