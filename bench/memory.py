"""python -m bench memory [-n 1000000] [-o memory.json]

Bytes per key, each candidate measured in a fresh interpreter: the growth of
the resident set for one construction from a dict, and for COPIES derived
copies (`x.multiply_scalar(1.0)`, `x * 1.0`, a `{k: v * 1.0}` comprehension)."""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import subprocess
import sys
from pathlib import Path

from .checks import support
from .data import make_keys, make_values

COPIES = {
    "jadefox": 20,
    "dict comprehension": 5,
    "pandas Series": 20,  # a dict copy is
    "numpy array (values only)": 20,
}  # ~60 MB at 1,000,000 keys


def candidate(name: str, d: dict):
    """(build from d, derive from what build made)."""
    if name == "jadefox":
        from jadefox import JadeDict

        return JadeDict, lambda o: o.multiply_scalar(1.0)
    if name == "dict comprehension":
        return (lambda d: {k: float(v) for k, v in d.items()}, lambda o: {k: v * 1.0 for k, v in o.items()})
    if name == "pandas Series":
        import pandas as pd

        return pd.Series, lambda o: o * 1.0
    import numpy as np

    return lambda d: np.fromiter(d.values(), np.float64, len(d)), lambda o: o * 1.0


def settled_rss() -> int:
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)  # hand freed pages back before reading
    return support.rss_bytes()


def probe(name: str, n: int) -> dict:
    d = dict(zip(make_keys(n), make_values(n), strict=True))
    build, derive = candidate(name, d)
    before = settled_rss()
    base = build(d)
    built = settled_rss()
    derive(base)  # a first derivation may set something up lazily: not counted
    ready = settled_rss()
    copies = [derive(base) for _ in range(COPIES[name])]
    derived = settled_rss()
    del copies
    return {"construction": (built - before) / n, "derived": (derived - ready) / COPIES[name] / n}


def main(argv: list[str]) -> int:
    ap = argparse.ArgumentParser(prog="python -m bench memory", description=__doc__.split("\n\n")[1].replace("\n", " "))
    ap.add_argument("-n", type=int, default=1_000_000, help="keys (default 1,000,000)")
    ap.add_argument("-o", "--output", help="write the results to this JSON file")
    ap.add_argument("--probe", choices=COPIES, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.probe:
        print(json.dumps(probe(args.probe, args.n)))
        return 0
    results = {
        "n": args.n,
        "key_bytes": sum(len(k.encode()) for k in make_keys(args.n)) / args.n,
        "copies": COPIES,
        "bytes_per_key": {},
    }
    for name in COPIES:
        done = subprocess.run(
            [sys.executable, "-m", "bench", "memory", "--probe", name, "-n", str(args.n)],
            capture_output=True,
            text=True,
            timeout=900,
        )
        if done.returncode:
            print(f"{name}: probe failed\n{done.stderr[-2000:]}", file=sys.stderr)
            continue
        results["bytes_per_key"][name] = json.loads(done.stdout)
        print(
            f"{name:<28} "
            + ", ".join(f"{what} {v:.1f} bytes/key" for what, v in results["bytes_per_key"][name].items()),
            flush=True,
        )
    if args.output:
        Path(args.output).parent.mkdir(parents=True, exist_ok=True)
        Path(args.output).write_text(json.dumps(results, indent=1) + "\n")
    return 0 if len(results["bytes_per_key"]) == len(COPIES) else 1
