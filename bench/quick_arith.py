#!/usr/bin/env python3
"""A first look at jadefox arithmetic speed, with nothing but the standard
library: the positional add (both operands from one family), the keyed add
(separately built dictionaries) and multiply_scalar at 1,000,000 keys, each
against the equivalent dict comprehension.

    python bench/quick_arith.py [--n 1000000] [--repeat 5]

Each jadefox result is checked bit for bit against the comprehension's before
anything is timed. Times are the best of --repeat calls; the ratio is
"comprehension time / jadefox time" (above 1: jadefox is faster). It only
prints; bench/compare.py has the full comparison with numpy and pandas.
"""

from __future__ import annotations

import argparse
import array
import gc
import random
import sys
import time


def make_data(n: int, seed: int):
    rng = random.Random(seed)
    shapes = ("user_{:06d}", "sku-{}-blue", "order.{:x}", "café_{}", "straße_{}", "東京_{}")
    keys = [shapes[i % len(shapes)].format(i) for i in range(n)]
    rng.shuffle(keys)
    return keys, [rng.uniform(-1000.0, 1000.0) for _ in range(n)], rng


def same_dict(got: dict, want: dict) -> bool:
    return (list(got) == list(want)
            and all(type(v) is float for v in got.values())
            and array.array("d", got.values()).tobytes()
            == array.array("d", want.values()).tobytes())


def best_ns(fn, repeat: int) -> int:
    gc.collect()
    gc.disable()
    try:
        fn()  # warm-up
        best = None
        for _ in range(repeat):
            t0 = time.perf_counter_ns()
            fn()
            t = time.perf_counter_ns() - t0
            best = t if best is None or t < best else best
        return best
    finally:
        gc.enable()


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--seed", type=int, default=7)
    args = ap.parse_args()
    try:
        import jadefox
    except ImportError as exc:
        sys.exit(f"cannot import jadefox ({exc}); install it first (pip install .)")

    n = args.n
    keys, vals, rng = make_data(n, args.seed)
    d1 = dict(zip(keys, vals))
    x = jadefox.JadeDict(d1)

    b = x.multiply_scalar(1.5)  # one family: shares x's key index
    db = {k: v * 1.5 for k, v in d1.items()}
    other_keys = list(keys)
    rng.shuffle(other_keys)
    d2 = dict(zip(other_keys, (rng.uniform(-1000.0, 1000.0) for _ in other_keys)))
    y = jadefox.JadeDict(d2)  # built separately: keyed path

    cases = [
        ("add, positional (one family)", lambda: x.add(b),
         lambda: {k: v + db[k] for k, v in d1.items()}),
        ("add, keyed (separately built)", lambda: x.add(y),
         lambda: {k: v + d2.get(k, 0.0) for k, v in d1.items()}),
        ("multiply_scalar(2.0)", lambda: x.multiply_scalar(2.0),
         lambda: {k: v * 2.0 for k, v in d1.items()}),
    ]
    print(f"n = {n:,} keys, best of {args.repeat}; ratio = comprehension / jadefox")
    print(f"{'workload':<32}{'jadefox ns/key':>16}{'dict ns/key':>14}{'ratio':>9}")
    bad = 0
    for name, jd_fn, py_fn in cases:
        if not same_dict(jd_fn().to_dict, py_fn()):
            print(f"{name:<32}  result differs from the comprehension; not timed")
            bad += 1
            continue
        tj = best_ns(jd_fn, args.repeat) / n
        tp = best_ns(py_fn, args.repeat) / n
        print(f"{name:<32}{tj:>16.2f}{tp:>14.1f}{tp / tj:>9.1f}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
